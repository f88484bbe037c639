#include "veltrax_cv_model/fused_region_cloud.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <pcl/common/transforms.h>

#include "depth_points.hpp"
#include "veltrax_cv_model/detection_cloud.hpp"
#include "veltrax_cv_model/voxel_grid_guard.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// A centroid lies within a leaf of each of its voxel's points, and float sums of many points
// stray a little further; a point farther than this outside the crop box cannot make a kept
// centroid, so the pass drops it before thinning.
constexpr float kCropSlackM = 0.01f;

// CropBox's test with the crop of crop_camera_frame, boundaries included, widened by `slack`.
bool inside_crop(float x, float y, float z, float z_min_m, float z_max_m, float slack)
{
  const float lateral = kLateralCropLimitM + slack;
  return !(x < -lateral || y < -lateral || z < z_min_m - slack || x > lateral || y > lateral ||
           z > z_max_m + slack);
}

}  // namespace

BackProjectionResult rgb_depth_to_cloud(const DepthImageView & depth, int row_length,
                                        const PixelRect & rect, const CameraView & view,
                                        float leaf_size_m, RegionScratch & scratch, Cloud & cloud,
                                        Eigen::AlignedBox3f * working_bounds, int pixel_stride)
{
  if (working_bounds != nullptr) {
    working_bounds->setEmpty();
  }
  BackProjectionResult result;
  cloud = Cloud();
  cloud.width = 0;
  cloud.height = 1;
  result.status = check_depth_region(depth, row_length, rect, view.intrinsics, leaf_size_m);
  if (result.status != BackProjectionStatus::kOk) {
    return result;
  }

  // The grid and the overflow test see every valid pixel, as VoxelGrid sees the working cloud;
  // only points that may reach the crop box are kept for thinning.
  // Grown, never shrunk: a resize down and up again would rewrite every point.
  Cloud::VectorType & kept = scratch.points;
  const std::size_t pixels = static_cast<std::size_t>(rect.right - rect.left) *
                             static_cast<std::size_t>(rect.bottom - rect.top);
  if (kept.size() < pixels) {
    kept.resize(pixels);
  }
  pcl::PointXYZ * next = kept.data();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  float min_x = kInf, min_y = kInf, min_z = kInf;
  float max_x = -kInf, max_y = -kInf, max_z = -kInf;
  const float slack = 2.0f * leaf_size_m + kCropSlackM;
  for_each_depth_point(depth, row_length, rect, view.intrinsics, std::max(pixel_stride, 1),
                       [&](float x, float y, float z) {
                         min_x = std::min(min_x, x);
                         min_y = std::min(min_y, y);
                         min_z = std::min(min_z, z);
                         max_x = std::max(max_x, x);
                         max_y = std::max(max_y, y);
                         max_z = std::max(max_z, z);
                         ++result.working_points;
                         if (inside_crop(x, y, z, view.z_min_m, view.z_max_m, slack)) {
                           // Field by field: a point built aside and copied whole would be
                           // read back before its parts are stored, a stall on every pixel.
                           pcl::PointXYZ & kept_point = *next++;
                           kept_point.x = x;
                           kept_point.y = y;
                           kept_point.z = z;
                           kept_point.data[3] = 1.0f;
                         }
                       });
  const auto kept_count = static_cast<std::size_t>(next - kept.data());
  if (result.working_points == 0) {
    return result;
  }
  const Eigen::Vector3f min_pt(min_x, min_y, min_z);
  const Eigen::Vector3f max_pt(max_x, max_y, max_z);
  if (working_bounds != nullptr) {
    *working_bounds = Eigen::AlignedBox3f(min_pt, max_pt);
  }

  // The centroids (or, where the grid would overflow, the points) cropped and transformed in
  // place, with the transform pcl::transformPointCloud applies point by point: the same bits as
  // transform_to_base, without two more passes over the cloud.
  Cloud::VectorType & out = cloud.points;
  const bool thinned = thin_in_voxel_order(kept.data(), kept_count, min_pt, max_pt, leaf_size_m,
                                           scratch.voxels, out);
  if (!thinned) {
    result.voxel_grid_skipped = true;
    out.resize(kept_count);
  }
  const pcl::PointXYZ * from = thinned ? out.data() : kept.data();
  const std::size_t count = out.size();
  const pcl::detail::Transformer<float> to_base(view.camera_to_base);
  std::size_t cropped = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (inside_crop(from[i].x, from[i].y, from[i].z, view.z_min_m, view.z_max_m, 0.0f)) {
      to_base.se3(from[i].data, out[cropped++].data);
    }
  }
  out.resize(cropped);
  cloud.width = static_cast<std::uint32_t>(out.size());
  cloud.is_dense = true;
  return result;
}

}  // namespace veltrax_cv_model
