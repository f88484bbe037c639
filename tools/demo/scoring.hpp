// Ground-truth comparison of the node's outputs for the demo runner: footprint geometry, which
// objects a camera sees whole, the camera-facing part of a footprint and how much of it the
// published outline covers. ROS-free; all positions are base_footprint metres (x forward,
// y left) unless a name says otherwise.
#pragma once

#include <Eigen/Geometry>

#include <array>
#include <string>
#include <vector>

#include "scene/scene.hpp"

namespace veltrax_demo
{

using Point2 = Eigen::Vector2d;
using Polygon = std::vector<Point2>;

/// Outline points within this distance of a footprint sample count as covering it.
inline constexpr double kCoverTolerance_m = 0.05;
/// Outline points farther than this from every true footprint are false outline.
inline constexpr double kFarTolerance_m = 0.1;
/// Spacing of the samples along a camera-facing footprint edge.
inline constexpr double kBoundaryStep_m = 0.01;
/// An edge counts as camera-facing when the camera sees it at least this far off grazing.
inline constexpr double kMinViewAngle_deg = 15.0;

/// Distance from `p` to the area of a convex or concave polygon: 0 inside or on an edge. An
/// empty polygon is infinitely far away.
double distance_to_polygon(const Polygon & polygon, const Point2 & p);

/// Points every `step_m` along the edges of the counter-clockwise `footprint` whose outward
/// normal points towards at least one of `viewpoints` at kMinViewAngle_deg or more off grazing
/// (angle between the edge and the line from its midpoint to the viewpoint). Each edge is
/// sampled from its start corner up to, not including, its end corner.
std::vector<Point2> facing_boundary(const Polygon & footprint,
                                    const std::vector<Point2> & viewpoints, double step_m);

/// For each sample, whether some outline point lies within `tolerance_m` of it.
std::vector<bool> covered_samples(const std::vector<Point2> & samples,
                                  const std::vector<Point2> & outline, double tolerance_m);

/// The q-quantile (0 .. 1) of `values` with linear interpolation; 0 for an empty list.
double quantile(std::vector<double> values, double q);

/// Single-linkage groups of `points`: two points share a group when a chain of points, each
/// within `gap_m` of the next, joins them. Groups in order of their first point.
std::vector<std::vector<int>> group_points(const std::vector<Point2> & points, double gap_m);

/// What a camera takes in, as far as the check of "in view" needs it.
struct CameraView
{
  veltrax_scene::CameraModel model;  ///< intrinsics and mount (camera_to_base)
  double z_min_m{0.0};               ///< the node's crop range along the optical axis
  double z_max_m{3.0};
};

/// Whether camera `camera` sees object `object` whole at `frame`: its projection lies between
/// the left and right image borders and reaches into the image rows, and every footprint corner
/// lies inside the crop range along the optical axis. Objects are vertical prisms, so a cut at
/// the top or bottom of the image leaves the footprint whole.
bool sees_whole(const veltrax_scene::Scene & scene, const CameraView & view, int frame, int camera,
                std::size_t object);

/// Class ids the node outlines ("obstacle", "bottle", "blood", "person").
bool is_outlined_class(int class_id);
/// Class ids the node reports on /perception/yolov5/trashes ("mask", "bottle", "blood").
bool is_trash_class(int class_id);

/// Score of one object in one frame.
struct ObjectScore
{
  std::size_t object{0};        ///< index into Scene::objects
  std::vector<int> cameras;     ///< cameras (0, 1) that see it whole
  std::vector<Point2> samples;  ///< camera-facing footprint boundary
  std::vector<bool> covered;    ///< per sample: an outline point within kCoverTolerance_m
  double share{0.0};            ///< covered samples / samples (0 when there are none)
  bool found{false};            ///< some outline point within kCoverTolerance_m of the footprint
};

/// Comparison of one outline cloud with the ground truth of its frame.
struct FrameScore
{
  int frame{0};
  std::vector<veltrax_scene::ObjectTruth> truth;
  std::vector<ObjectScore> objects;   ///< outlined classes seen whole by a camera
  std::vector<double> point_error_m;  ///< per outline point: distance to the nearest footprint
  int far_points{0};                  ///< outline points farther than kFarTolerance_m
};

/// Scores `outline` (base_footprint at `frame`) against the scene's truth at that frame.
FrameScore score_frame(const veltrax_scene::Scene & scene, const std::array<CameraView, 2> & views,
                       int frame, const std::vector<Point2> & outline);

/// A report checked against the truth: the nearest object of the reported class (any class
/// when `class_id` is negative) and the distance from the report to its footprint.
struct ReportMatch
{
  int object{-1};  ///< index into the truth list; -1 when no object of the class exists
  double error_m{0.0};
};
ReportMatch match_report(const std::vector<veltrax_scene::ObjectTruth> & truth, int class_id,
                         const Point2 & position);

}  // namespace veltrax_demo
