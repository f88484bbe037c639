// The demo runner: drives the real Yolov5sPredictor in-process through the host graph with a
// synthetic scene (generated or loaded from make_scene's output) or with the two real RGB-D
// frames, collects every output topic, compares the outputs with the ground truth and writes
// pictures, clouds and reports to a directory. Three stages, each in its own file: drive.hpp,
// evaluate.hpp, write.hpp. Usage and output files: tools/README.md.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "demo/model_comparison.hpp"

namespace veltrax_demo
{

struct RunOptions
{
  /// Root of the workspace; the default parameter and model files are found below it.
  std::string workspace_dir{"."};
  /// Node parameter file; empty: veltrax_cv_model/config/params.yaml.
  std::string params_file;
  /// Host NPU model for the scene modes; empty: the colour-key model of the package. The real
  /// frames always use a scripted model written to the output directory.
  std::string model_file;
  /// Scene modes: a host model whose detections the run's model is compared with, frame by
  /// frame, outside the node (model_comparison.hpp); empty: no comparison.
  std::string compare_model;
  std::string out_dir{"out"};
  /// A directory written by make_scene; empty: the demo scene is generated in memory.
  std::string scene_dir;
  /// The real frames' directory (holding milk_cartoon/ and five_people/); empty: scene mode.
  std::string real_dir;
  /// A rosbag2 recording (bag directory) whose node inputs are replayed; empty: no replay.
  std::string bag_dir;
  /// Replay: recorded seconds skipped at the start, recorded seconds replayed (negative: to the
  /// end), and speed (2: twice as fast as recorded).
  double bag_start_s{0.0};
  double bag_duration_s{-1.0};
  double bag_rate{1.0};
  /// Replay: recorded topic renames "FROM:=TO", as `ros2 bag play --remap`.
  std::vector<std::string> remaps;
  /// Generated scene: its length. Real frames: how often the pair is published.
  int frames{30};
  uint32_t seed{1};
  /// Publish the next frame as soon as the outline of the previous one arrived, not at 10 Hz.
  bool fast{false};
  /// downsample_leaf_size given to the node, metres; unset: the parameter file's.
  std::optional<double> leaf_size_m;
  /// Further parameter overrides, "name:=value" each; they win over everything above.
  std::vector<std::string> params;
  /// Print a progress line while running.
  bool progress{true};
  /// Write the run as a rosbag2 recording (replay.mcap, metadata.yaml; recording.hpp).
  bool record{true};
  /// Longest wait for one frame's outline, seconds.
  double timeout_s{10.0};
  /// Raised by the caller's signal handler to stop the run at its next check; may be null. A
  /// shutdown of rclcpp's context while the node runs stops it too.
  const std::atomic<bool> * interrupt{nullptr};
};

/// What run_demo throws when it stopped early (RunOptions::interrupt).
class Interrupted : public std::runtime_error
{
public:
  Interrupted() : std::runtime_error("interrupted") {}
};

/// One object of the scene over the whole run.
struct ObjectResult
{
  std::string name;
  std::string label;
  int class_id{0};
  int frames_in_view{0};   ///< processed frames in which a camera sees it whole (outlined classes)
  int frames_found{0};     ///< of those, frames with an outline point within 0.05 m of it
  double share_mean{0.0};  ///< camera-facing boundary share within 0.05 m of an outline point
  double share_min{0.0};
  int reports{0};                  ///< report records matched to it
  double report_error_max_m{0.0};  ///< largest distance from such a report to its footprint
};

/// One record of a Trashes report.
struct ReportRecord
{
  int frame{-1};  ///< frame whose depth stamp the crop carries; -1 when unknown
  std::string topic;
  std::string label;  ///< from the crop's key colour (scene) or the scripted box size (real)
  double x_m{0.0};    ///< base_footprint
  double y_m{0.0};
  double stamp_s{0.0};
  std::string crop;      ///< PNG path relative to the output directory
  std::string object;    ///< matched scene object ("" without ground truth)
  double error_m{-1.0};  ///< distance to the matched object's footprint; -1 without truth
};

/// An outline cluster: outline points joined by gaps of at most 0.1 m.
struct ClusterRecord
{
  double x_m{0.0};  ///< centroid, base_footprint
  double y_m{0.0};
  double x_min_m{0.0};
  double x_max_m{0.0};
  double y_min_m{0.0};
  double y_max_m{0.0};
  int points{0};
};

/// One processed frame (its first outline).
struct FrameRecord
{
  int frame{0};
  int outline_points{0};
  int far_points{0};  ///< -1 without ground truth
  double cycle_ms{0.0};
};

struct RunSummary
{
  std::string mode;  ///< "scene", "real" or "bag"
  bool ground_truth{false};
  std::string out_dir;
  int frames_published{0};
  int frames_processed{0};  ///< frames with at least one outline
  int cycles{0};            ///< outline messages received
  int trash_records{0};
  int person_records{0};
  std::map<std::string, int> reports_per_class;   ///< records per label, both topics
  std::map<std::string, int> outlined_per_class;  ///< object-frames found, per class
  std::map<std::string, int> in_view_per_class;   ///< object-frames seen whole, per class
  std::map<std::string, int> scripted_per_class;  ///< real frames: the model's detections per cycle
  std::vector<ObjectResult> objects;
  int outline_points{0};  ///< over the first outline of each processed frame
  int far_points{0};      ///< of those, farther than 0.1 m from every true footprint
  double far_share{0.0};
  int cycle_samples{0};
  double cycle_p50_ms{0.0};
  double cycle_p90_ms{0.0};
  double cycle_p99_ms{0.0};
  double cycle_max_ms{0.0};
  /// Median time between consecutive outline messages: 100 ms while the node keeps up with
  /// its timer, its cycle duration when it does not.
  double outline_interval_p50_ms{0.0};
  int node_error_lines{0};
  std::vector<FrameRecord> frames;
  std::vector<ReportRecord> reports;
  std::vector<ClusterRecord> clusters;  ///< of the last processed frame
  /// Bag replays: messages published per node input topic, and messages skipped per recorded
  /// topic the node does not take.
  std::map<std::string, int> replayed_per_topic;
  std::map<std::string, int> skipped_per_topic;
  std::string compared_with;  ///< RunOptions::compare_model
  std::optional<ModelComparison> comparison;
  double wall_s{0.0};
};

/// Runs the whole demo and writes its outputs. Throws std::runtime_error when an input cannot
/// be read, an output cannot be written or the node does not take the demo's parameters, and
/// Interrupted when it stopped early; its outputs are then incomplete. Initialises and shuts
/// down rclcpp itself, so it must not run while rclcpp is initialised.
RunSummary run_demo(const RunOptions & options);

/// The host models' classes, given to the node as obj_class_num.
inline constexpr int kDemoClasses = 8;

/// The node's ROS arguments (what follows "--ros-args") for `options`: the parameter file, then
/// the demo's overrides (host model `model`, or the scene model of `options` when empty;
/// obj_class_num kDemoClasses; debug and draw_result true; downsample_leaf_size), then
/// `options.params`. Throws std::runtime_error when the parameter file does not exist.
std::vector<std::string> node_arguments(const RunOptions & options, const std::string & model = "");

}  // namespace veltrax_demo
