// The footprint sweep: seeded random scenes rendered through a structured-light sensor model,
// each object scored through the node's own pipeline exactly as footprint_quality scores a
// recorded frame, and the scores' distribution per object kind and condition.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "footprint/frame_data.hpp"
#include "footprint/pipeline_params.hpp"
#include "sweep/sensor_model.hpp"
#include "sweep/sweep_scene.hpp"

namespace veltrax_sweep
{

/// An object with fewer visible pixels in the crop range is not given a box (a detector would
/// not find it); it still counts as a true footprint for false obstacles.
inline constexpr int kMinVisiblePixels = 150;
/// Each edge of a detector box moves by up to this share of the box's size.
inline constexpr double kBoxJitter = 0.05;
/// An outline point farther than this from every true footprint is a false obstacle, metres.
inline constexpr double kFalseObstacleM = 0.10;

/// What the pipeline is given: the transform of the mount (exact_mount) or of the mount off by
/// the scene's mounting error (mount_error).
enum class Condition { kExactMount, kMountError };
inline constexpr Condition kConditions[] = {Condition::kExactMount, Condition::kMountError};

/// "exact_mount" or "mount_error".
const char * condition_name(Condition condition);

/// A scene as the pipeline sees it under one condition: the sensor's depth image, the transform
/// it is given, one detector box per object it would find (from the rendered object masks,
/// jittered) and, for each, the true footprint carried through that transform (the hull of the
/// object's exact visible points in the crop range). `all_truth` holds the true footprints of
/// every object with a visible point, boxed or not.
struct SweepFrame
{
  veltrax_footprint::FrameData frame;
  std::vector<std::size_t> scored;  ///< per truth entry of frame: index into SweepScene::objects
  std::vector<veltrax_footprint::Polygon> all_truth;
};

/// The rendered views of a scene (camera 1): exact depth, object index, sensor depth, colour.
struct SceneImages
{
  cv::Mat color_bgr;
  cv::Mat exact_depth_mm;
  cv::Mat sensor_depth_mm;
  cv::Mat part_index;  ///< CV_16SC1, index into Scene::objects or a veltrax_scene pixel code
};

SceneImages render_scene(const SweepScene & sweep, const StructuredLightSensor & sensor);

SweepFrame sweep_frame(const SweepScene & sweep, const SceneImages & images, Condition condition,
                       const veltrax_footprint::PipelineParams & params);

/// One object under one condition.
struct ObjectResult
{
  int scene{0};
  std::string name;
  std::string kind;
  std::string condition;
  int footprints{0};
  double iou{0.0};
  /// Farthest outline point of its footprints outside every true footprint of the scene, metres
  /// (a box that holds a touching neighbour outlines it too, which the costmap rightly marks).
  double outside_m{0.0};
  std::optional<double> centroid_error_m;
};

struct SweepResult
{
  std::vector<ObjectResult> objects;
  int missed{0};  ///< objects without a footprint
  std::size_t outline_points{0};
  std::size_t false_obstacle_points{0};  ///< farther than kFalseObstacleM from every truth
};

/// Scores one scene under every condition into `result`; with `save_dir`, writes each frame as
/// a folder footprint_quality reads (save_dir/scene_0007_mount_error/).
void run_scene(const SweepScene & sweep, const veltrax_footprint::PipelineParams & params,
               SweepResult & result, const std::optional<std::filesystem::path> & save_dir = {});

/// Per object kind (and "all") and condition: count, missed, split (more than one footprint),
/// IoU p5 / median / worst, outside median / p95 / worst, centroid error median; then the missed,
/// outline and false-obstacle totals.
std::string sweep_table(const SweepResult & result);

/// {"objects": [{"scene", "name", "kind", "condition", "footprints", "iou", "outside_m",
/// "centroid_error_m"}], "missed", "outline_points", "false_obstacle_points"}.
nlohmann::json sweep_json(const SweepResult & result);

/// Writes the frame as a folder of the layout load_frame_dir reads.
void save_frame_dir(const veltrax_footprint::FrameData & frame, const std::filesystem::path & dir);

}  // namespace veltrax_sweep
