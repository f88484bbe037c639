// How well the node's footprints of one camera match the true footprints of a recorded frame.
// The frame goes through the node's own pipeline objects: DetectionCloudBuilder (scene cloud,
// crop, transform, floor model, one cloud per box) and ObstacleOutliner (split, merge, hulls,
// outline), with the settings of a parameter file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>
#include <opencv2/core.hpp>

#include "footprint/degradation.hpp"
#include "footprint/frame_data.hpp"
#include "footprint/pipeline_params.hpp"

namespace veltrax_footprint
{

/// Floor band of the truth: |z| below this is floor (base_footprint of the recorded transform).
inline constexpr double kFloorBandM = 0.02;
/// Points with |z| between kFloorBandM and this are not scored.
inline constexpr double kFloorIgnoreM = 0.03;
/// A footprint without area (a cluster of one or a few points) belongs to an object whose true
/// footprint it lies in or within this distance of, metres.
inline constexpr double kFragmentToleranceM = 0.01;

/// What the node makes of one box.
struct BoxOutput
{
  std::vector<Polygon> footprints;  ///< convex, as the node's hulls (small clusters: their hull)
  /// The node's outline points of each footprint, plus its corners, in footprint order.
  std::vector<std::vector<cv::Point2f>> outline_points;
};

/// What the node makes of one camera frame.
struct CameraOutput
{
  std::vector<BoxOutput> boxes;  ///< one per box of the frame, in frame order
  /// The scene cloud (base_footprint of the transform used) as the floor model labels it.
  std::vector<cv::Point3f> labelled_floor;
  std::vector<cv::Point3f> labelled_other;
};

/// Runs one camera's part of the frame cycle on `frame` (the depth image and transform as given;
/// degrade first to score a degraded frame): each box through DetectionCloudBuilder::build
/// alone (the floor model is rebuilt from the same scene every time, so each box gets exactly
/// the cloud it gets among the others) and ObstacleOutliner::outline; the scene cloud through
/// region_cloud, crop_and_transform and the floor model.
CameraOutput run_camera(const FrameData & frame, const PipelineParams & params, int camera);

/// The truth object each footprint of one box belongs to, as an index into `truths` (the
/// objects scored through the box): the one whose true footprint it shares the most area with;
/// for a footprint without area, the one it lies in (kFragmentToleranceM); else -1. A box holds
/// more than its objects (a neighbour's shoulder, furniture behind, stray points at depth
/// edges): those footprints are counted apart as unassigned, not held against the object.
std::vector<int> assign_footprints(const std::vector<Polygon> & footprints,
                                   const std::vector<Polygon> & truths);

/// Floor labelling against the truth. A labelled point's truth is the height, in the recorded
/// frame, of the recorded (clean) surface it was measured on: the clean frame's point at the
/// pixel it projects to (`used_to_camera` carries it into the optical frame), or its own height
/// when that pixel has no reading. Noise moves a point along its pixel's ray, so the truth
/// stays the floor's even where noise lifted the point. Floor: |z| < kFloorBandM; not floor:
/// |z| >= kFloorIgnoreM; unscored between.
struct FloorScore
{
  double precision{0.0};  ///< labelled floor that is floor; 1 when nothing is labelled floor
  double recall{0.0};     ///< floor labelled floor; 1 when there is no floor
  std::size_t true_floor{0};
  std::size_t labelled_floor{0};
  double f1() const;
};

FloorScore score_floor(const std::vector<cv::Point3f> & labelled_floor,
                       const std::vector<cv::Point3f> & labelled_other, const FrameData & recorded,
                       const Eigen::Matrix4f & used_to_camera);

/// Per truth object.
struct ObjectScore
{
  std::string name;
  int footprints{0};  ///< footprints of its box assigned to it
  double iou{0.0};    ///< of their union with the true footprint (rasterised, 5 mm)
  std::optional<double> centroid_error_m;  ///< none without footprints
  double outside_max_m{0.0};  ///< farthest outline point or corner outside the true footprint
  /// The same outside every true footprint of the frame: a box that holds part of a touching
  /// neighbour outlines it with the object, which the costmap rightly sees as occupied.
  double outside_all_max_m{0.0};
};

struct QualityReport
{
  std::string frame;
  int camera{1};
  Degradation degradation;
  std::vector<ObjectScore> objects;
  FloorScore floor;
  /// Smallest distance of any outline point of the camera to its position projected onto the
  /// floor (x, y of the transform used); none without outline points.
  std::optional<double> outline_min_distance_to_camera_m;
  int unassigned_footprints{0};  ///< footprints of scored boxes that belong to no object
  /// Ground-plane position of the camera (x, y of the transform used).
  cv::Point2f camera_floor;
  std::vector<Polygon> truth_hulls;  ///< per truth object, in the frame used
  std::vector<BoxOutput> boxes;      ///< the node's footprints, per box of the frame
  /// Per box, per footprint: the truth object it belongs to, or -1.
  std::vector<std::vector<int>> owners;
};

/// Degrades `frame`, runs the camera and scores it against the frame's truth. Under a tilted
/// transform each true footprint is carried into the tilted frame with truth_in_view (the
/// camera's crop range): the frame's own hull together with every pixel of the object on or
/// inside it, however that hull was drawn, so the score shows what the pipeline loses, not the
/// mounting error, and a tilt of a hundredth of a degree scores as none.
QualityReport evaluate_frame(const FrameData & frame, const Degradation & degradation,
                             const PipelineParams & params, int camera);

/// The report as a fixed-width table (one row per object, then the floor and distance lines).
std::string quality_table(const QualityReport & report);

/// Top-down picture (x forward up, y left to the left, 0.1 m grid): true footprints green,
/// footprints blue (grey when they belong to no object), their outline points red where more
/// than 3 cm outside their object's true footprint, the camera's floor position as a cross.
/// With `only_box`, only that box's footprints and the true footprints they belong to, zoomed
/// in, without the camera.
cv::Mat quality_picture(const QualityReport & report,
                        std::optional<std::size_t> only_box = std::nullopt);

/// {"objects": [{"name", "footprints", "iou", "centroid_error_m", "outside_max_m",
///  "outside_all_max_m"}],
///  "floor": {"precision", "recall"}, "outline_min_distance_to_camera_m"}, plus the frame,
/// camera, degradation and footprint counts. Missing values are null.
nlohmann::json quality_json(const QualityReport & report);

}  // namespace veltrax_footprint
