// True footprints from a recorded frame's own depth: an object's pixels are the largest
// depth-continuous region of its search box standing more than 2 cm above the floor (the fitted
// plane z = 0 of the frame's transform), within the camera's crop range; its footprint is the
// convex hull of those pixels' points in base_footprint. footprint_truth writes them into
// frame.yaml and draws a picture of the masks to check by eye; footprint_quality uses truth_in_view
// to carry a footprint into the frame of a tilted camera.
#pragma once

#include <Eigen/Core>
#include <opencv2/core.hpp>

#include "footprint/frame_data.hpp"

namespace veltrax_footprint
{

/// Height above the floor plane from which a point belongs to an object, metres.
inline constexpr float kObjectMinHeightM = 0.02f;

/// Every pixel of a depth image back-projected as the node does it (z = d / 1000, readings in
/// (0, 5) m; x = (u - cx) z / fx, y = (v - cy) z / fy in float) and carried into base_footprint.
struct PixelCloud
{
  cv::Mat base_xyz;   ///< CV_32FC3, base_footprint metres; NaN where there is no reading
  cv::Mat optical_z;  ///< CV_32F, depth along the optical axis; 0 where there is no reading
};

PixelCloud pixel_cloud(const cv::Mat & depth_mm, const veltrax_cv_model::CameraIntrinsics & k,
                       const Eigen::Matrix4f & camera_to_base);

/// Which pixels may belong to an object: inside the crop range (optical z in [z_min_m, z_max_m],
/// boundaries included, as the node crops) and more than min_height_m above the floor.
struct ObjectPixelRule
{
  float z_min_m{0.0f};
  float z_max_m{3.0f};
  float min_height_m{kObjectMinHeightM};
};

/// Depth range, metres, that a 3 x 3 neighbourhood of one surface stays within: 5 mm plus three
/// of the Kinect's disparity steps (about 2.85 mm * z^2 each).
float depth_edge_range_m(float depth_m);

/// Regions of an object closer than this in space are one object, metres.
inline constexpr float kObjectJoinM = 0.03f;

/// CV_8U mask (255 = object) of the pixels in `region` that pass `rule` and belong to its
/// largest object: the largest 8-connected region of interior pixels (whose 3 x 3 readings lie
/// within depth_edge_range_m), joined by every other such region that comes within
/// kObjectJoinM of it in space (repeatedly), plus the edge pixels beside it whose reading lies
/// within the edge range of a neighbour in it. All zero when no pixel passes.
cv::Mat object_mask(const PixelCloud & cloud, const PixelBox & region,
                    const ObjectPixelRule & rule);

/// Convex hull of the (x, y) of the masked pixels' points.
Polygon mask_footprint(const PixelCloud & cloud, const cv::Mat & mask);

/// The footprint of `object` as a camera whose transform is `view_to_base` would have to draw
/// it: the convex hull of its recorded hull's corners and of all its pixels, both carried from
/// the recorded base_footprint into the view's by view_to_base * camera_to_base^-1. Its pixels
/// are those of its search_box in the recorded frame (`frame`, clean) that pass `rule` and whose
/// recorded point lies on or inside the hull (1 mm tolerance; such a point is carried from the
/// hull), so a tall object's top, which leans under a tilt, counts. A corner is carried at the
/// heights of the object's pixels within 1 mm of it (a derived hull's corners are pixels), or
/// from the floor (z = 0) where there are none: the hull need not come from object_mask. With
/// view_to_base equal to the recorded transform this is the recorded hull again, up to float
/// rounding.
Polygon truth_in_view(const FrameData & frame, const TruthObject & object,
                      const Eigen::Matrix4f & view_to_base, const ObjectPixelRule & rule);

/// Least-squares plane z = a x + b y + c through the points within `band_m` of z = 0, refitted
/// once within `band_m` of the first fit: how far the frame's floor is from z = 0.
struct FloorFit
{
  double tilt_deg{0.0};      ///< angle between the fitted plane's normal and z
  double max_height_m{0.0};  ///< largest |height| of the fitted plane under the points used
  double rms_m{0.0};         ///< residual of the points used
  std::size_t points{0};     ///< points used
};

FloorFit refit_floor(const PixelCloud & cloud, float band_m);

/// The check picture: the colour image with each object's mask tinted and its mask box drawn
/// and named, beside a top-down view (x forward up, y left to the left) of the hulls.
cv::Mat truth_picture(const FrameData & frame, const std::vector<cv::Mat> & masks);

}  // namespace veltrax_footprint
