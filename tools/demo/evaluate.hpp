// The evaluate stage of the demo runner: the figures of a run from what the drive stage
// collected, scored against the scene's ground truth where there is one. Pure: no ROS, no
// files, no clocks.
#pragma once

#include <optional>
#include <vector>

#include "demo/demo_runner.hpp"
#include "demo/drive.hpp"
#include "demo/scoring.hpp"
#include "demo/source.hpp"

namespace veltrax_demo
{

/// Outline points joined by gaps of at most this distance form one cluster of the summary.
inline constexpr double kClusterGap_m = 0.1;

/// What became of one received outline.
struct OutlineVerdict
{
  int frame{-1};  ///< the published frame its stamp matches; -1 when none
  int repeat{0};  ///< outlines of the same frame before this one (the timer ticked twice on it)
  std::vector<Point2> points;       ///< base_footprint of its frame
  std::optional<FrameScore> score;  ///< the frame's first outline, with ground truth
};

struct Evaluation
{
  RunSummary summary;  ///< everything but out_dir, the model comparison and the wall time
  std::vector<OutlineVerdict> outlines;  ///< parallel to DriveResult::outlines
  /// Scene runs: every scored outline point in the world frame (base_footprint at frame 0),
  /// and whether it lies farther than kFarTolerance_m from every true footprint.
  std::vector<Point2> world_points;
  std::vector<bool> world_point_far;
  int last_frame{-1};               ///< the last processed frame
  std::vector<Point2> last_points;  ///< its outline
};

/// The figures of `run` on the frames of `source`.
Evaluation evaluate(const Source & source, const DriveResult & run);

/// The world frame (base_footprint at frame 0) position of `p`, given in base_footprint at
/// `frame`.
Point2 to_world(const veltrax_scene::Scene & scene, int frame, const Point2 & p);

}  // namespace veltrax_demo
