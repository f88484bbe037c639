// Reproducible degradations of a recorded frame: relative depth noise, missing depth inside the
// boxes, and a camera mounting error that tilts the floor. Each is a function of its inputs and
// a seed: the same call gives the same bytes on every run and machine (the random numbers come
// from std::mt19937, whose sequence the standard fixes, not from the library's distributions).
#pragma once

#include <cstdint>
#include <vector>

#include <Eigen/Core>
#include <opencv2/core.hpp>

#include "footprint/frame_data.hpp"

namespace veltrax_footprint
{

/// How to degrade a frame; all zero leaves it as recorded.
struct Degradation
{
  double noise_rel{0.0};    ///< depth noise, standard deviation as a share of the depth
  double tilt_deg{0.0};     ///< mounting error about the camera's lateral (optical x) axis
  double holes_share{0.0};  ///< share of the pixels inside the boxes whose depth is lost
  std::uint32_t seed{1};

  bool any() const { return noise_rel != 0.0 || tilt_deg != 0.0 || holes_share != 0.0; }
};

/// Every depth reading d > 0 becomes round(d * (1 + noise_rel * g)) with g standard normal
/// (Box-Muller over mt19937(seed), pixels in row-major order), clamped to 1 .. 65535 so that a
/// reading never turns into "no reading". `depth_mm` is CV_16UC1; the result is a new image.
cv::Mat add_relative_depth_noise(const cv::Mat & depth_mm, double noise_rel, std::uint32_t seed);

/// Sets each pixel inside at least one of `boxes` to 0 (no reading) with probability `share`:
/// one mt19937(seed) draw per pixel of the union, row-major. The result is a new image.
cv::Mat punch_depth_holes(const cv::Mat & depth_mm, const std::vector<PixelBox> & boxes,
                          double share, std::uint32_t seed);

/// The transform of a camera whose mount is rotated by `tilt_deg` about its own lateral axis
/// (optical x, right-handed: a positive angle turns the optical axis towards the image's top
/// edge, so the camera looks less far down than `camera_to_base` says and the floor it sees
/// rises with range in the returned frame). The camera's position is kept.
Eigen::Matrix4f tilted_camera_to_base(const Eigen::Matrix4f & camera_to_base, double tilt_deg);

/// The frame as the pipeline sees it under `degradation`: noise, then holes (inside the frame's
/// boxes), then the tilted transform. The truth stays as recorded.
FrameData degrade(const FrameData & frame, const Degradation & degradation);

}  // namespace veltrax_footprint
