// The top-down pictures of a demo run (write stage): one per processed frame and the summary.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <vector>

#include "demo/evaluate.hpp"

namespace veltrax_demo
{

/// Frame `verdict.frame` in its base_footprint: fields of view, the robot, the outline (points
/// farther than kFarTolerance_m from the truth red), the true footprints with their camera-facing
/// samples (covered green, missed red) and the frame's `reports`.
cv::Mat frame_picture(const Source & source, const std::array<CameraView, 2> & views,
                      const OutlineVerdict & verdict, const std::vector<ReportRecord> & reports);

/// Scene runs in the world frame (base_footprint at frame 0) with every scored outline point,
/// the true footprints and the robot at the first and last processed frame; real runs in
/// base_footprint with the last frame's outline.
cv::Mat summary_picture(const Source & source, const std::array<CameraView, 2> & views,
                        const Evaluation & evaluation);

}  // namespace veltrax_demo
