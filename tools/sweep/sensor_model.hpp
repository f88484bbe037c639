// What a structured-light depth camera makes of a scene's exact depth: readings in disparity
// steps, random disparity noise, readings mixed from two surfaces along depth edges, and holes
// where the projector's pattern does not come back (in the shadow of nearer surfaces, on dark
// surfaces, on surfaces seen at a grazing angle, and at random).
//
// The numbers are those of a 640 x 480 sensor with a 7.5 cm baseline that matches disparity to
// an eighth of a pixel: a depth step of z^2 / (f b) * step = 3.2 mm at 1 m and 28 mm at 3 m; a
// disparity noise of 0.06 pixels (1.5 mm at 1 m, 14 mm at 3 m). Every draw comes from
// std::mt19937(seed), whose sequence the standard fixes, so one seed gives the same image on every
// machine.
#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

#include "veltrax_cv_model/types.hpp"

namespace veltrax_sweep
{

struct StructuredLightSensor
{
  double baseline_m{0.075};         ///< camera to projector, along the image's x axis (rightwards)
  double disparity_step_px{0.125};  ///< readings come in steps of this disparity
  double disparity_noise_px{0.06};  ///< standard deviation of the disparity before rounding
  /// Share of the pixels beside a depth edge (on its far side) that read a mix of both surfaces.
  double mixed_pixel_share{0.5};
  /// Neighbours whose depths differ by more than this share of the nearer one lie on different
  /// surfaces (a floor seen at 85 degrees changes by about 2 % per row at 3 m).
  double depth_edge_rel{0.1};
  double dropout_share{0.01};      ///< readings lost anywhere
  double dark_dropout_share{0.3};  ///< readings lost on a dark surface
  /// Between these angles of incidence (ray to surface normal), degrees, the share of lost
  /// readings rises linearly from 0 to grazing_dropout_share.
  double grazing_start_deg{75.0};
  double grazing_end_deg{88.0};
  double grazing_dropout_share{0.8};
};

/// The sensor's depth image (CV_16UC1, millimetres, 0 = no reading) of a scene whose exact depth
/// (CV_16UC1, millimetres, 0 = nothing) and surfaces are given. `surface_id` (CV_16SC1) tells
/// surfaces apart (an edge between two ids is a depth edge whatever the depths); `dark`
/// (CV_8UC1, non-zero = dark) marks surfaces that absorb the pattern. Never makes a reading where
/// the exact image has none.
cv::Mat structured_light_depth(const cv::Mat & exact_depth_mm, const cv::Mat & surface_id,
                               const cv::Mat & dark, const veltrax_cv_model::CameraIntrinsics & k,
                               const StructuredLightSensor & sensor, std::uint32_t seed);

/// Depth step, metres, between two neighbouring readings of the sensor at depth z metres.
double disparity_step_depth_m(const StructuredLightSensor & sensor, double focal_px, double z_m);

}  // namespace veltrax_sweep
