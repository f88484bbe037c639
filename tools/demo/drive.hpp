// The drive stage of the demo runner: the node in-process with a probe node that publishes the
// frames and collects what the node publishes, unpacked into plain records for the evaluation.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Geometry>
#include <opencv2/core.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "demo/demo_runner.hpp"
#include "demo/scoring.hpp"
#include "demo/source.hpp"
#include "scene/scene.hpp"

namespace veltrax_harness
{
class Probe;
}

namespace veltrax_demo
{

struct Traffic;

using Clock = std::chrono::steady_clock;

/// An output belongs to the frame whose stamp lies this close to its own: stamps come back from
/// the outline's float conversion to within a nanosecond, and frames are 100 ms apart (fast
/// mode: at least one cycle apart).
inline constexpr double kStampMatch_s = 1e-4;

/// One outline message (obstacle cloud), base_footprint.
struct ReceivedOutline
{
  double stamp_s{0.0};  ///< header stamp: the newest input stamp of its cycle
  Clock::time_point received;
  pcl::PointCloud<pcl::PointXYZ> cloud;
};

/// One record of a Trashes message.
struct ReceivedReport
{
  std::string topic;
  double stamp_s{0.0};  ///< the crop's stamp: the depth stamp of its cycle
  double x_m{0.0};      ///< base_footprint
  double y_m{0.0};
  cv::Mat crop_bgr;  ///< empty when the crop is not an 8-bit colour image
};

/// What the node did with the frames.
struct DriveResult
{
  int published{0};                    ///< frames published
  std::vector<double> frame_stamps_s;  ///< per frame
  std::vector<Clock::time_point> published_at;
  std::vector<ReceivedOutline> outlines;  ///< in arrival order
  std::vector<ReceivedReport> reports;    ///< both topics, in arrival order
  /// Per camera, the overlays in arrival order (BGR; empty when not 8-bit colour). The n-th
  /// overlay of a camera belongs to the n-th outline: a cycle publishes both, then the outline.
  std::array<std::vector<cv::Mat>, 2> overlays_bgr;
  std::array<CameraView, 2> views;  ///< cameras with the node's crop ranges
  int node_error_lines{0};
  /// The inputs and outputs as messages, for the recording (recording.hpp); null when
  /// RunOptions::record is off.
  std::shared_ptr<const Traffic> traffic;
};

/// Starts the node with `ros_args` (its log to `log_path`), publishes the static transforms once
/// and every frame of `source` (at 10 Hz, or each after the previous one's outline with
/// `options.fast`), and collects the outputs until the last frame's outline and its reports are
/// in. Throws std::runtime_error when the node does not take the demo's parameters or cannot set
/// up its model, and Interrupted when stopped.
DriveResult drive_node(const Source & source, const RunOptions & options,
                       const std::vector<std::string> & ros_args, const std::string & log_path,
                       bool tty);

/// Publishes a run's inputs from `probe` once the node is up and records in `run` what went out
/// (published, frame_stamps_s, published_at), and the messages in `record` unless it is null;
/// returns when all is out. Runs on the caller's thread while the executor spins on its own.
/// Throws Interrupted once `stopped()` holds.
using InputFeed = std::function<void(const veltrax_harness::Probe & probe, DriveResult & run,
                                     Traffic * record, const std::function<bool()> & stopped)>;

/// drive_node with the inputs published by `feed`; `cameras` go into the crop views.
DriveResult drive_feed(const InputFeed & feed,
                       const std::array<veltrax_scene::CameraModel, 2> & cameras,
                       const RunOptions & options, const std::vector<std::string> & ros_args,
                       const std::string & log_path, bool tty);

/// Outputs the probe has received so far, for progress lines.
struct ReceivedCounts
{
  std::size_t outlines{0};
  std::size_t reports{0};
};
ReceivedCounts received(const veltrax_harness::Probe & probe);

/// Waits, polling every `poll`, until the outline of the frame stamped `stamp_s` has arrived,
/// `timeout` has passed or `stopped()` holds.
void wait_for_outline(const veltrax_harness::Probe & probe, double stamp_s, Clock::duration timeout,
                      std::chrono::milliseconds poll, const std::function<bool()> & stopped);

/// Publishes from `probe` both cameras' camera info, colour (rgb8) and depth (16UC1) image,
/// stamped with the probe's clock now; returns that stamp in seconds. Keeps the messages in
/// `record` unless it is null.
double publish_frame(const veltrax_harness::Probe & probe,
                     const std::array<veltrax_scene::CameraModel, 2> & cameras,
                     const std::array<cv::Mat, 2> & color_rgb,
                     const std::array<cv::Mat, 2> & depth_mm, Traffic * record = nullptr);

/// Publishes from `probe` base_footprint -> each camera's frame on /tf_static, stamped now.
/// Keeps the message in `record` unless it is null.
void publish_mounts(const veltrax_harness::Probe & probe,
                    const std::array<veltrax_scene::CameraModel, 2> & cameras,
                    const std::array<Eigen::Isometry3d, 2> & camera_to_base,
                    Traffic * record = nullptr);

}  // namespace veltrax_demo
