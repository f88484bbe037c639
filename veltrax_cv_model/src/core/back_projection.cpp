#include "veltrax_cv_model/back_projection.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include <pcl/common/common.h>
#include <pcl/filters/voxel_grid.h>

#include "depth_points.hpp"
#include "veltrax_cv_model/voxel_grid_guard.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

void make_empty(Cloud & cloud)
{
  cloud = Cloud();
  cloud.width = 0;
  cloud.height = 1;
}

bool rect_inside(const PixelRect & rect, int width, int height)
{
  return rect.left >= 0 && rect.top >= 0 && rect.left <= rect.right && rect.top <= rect.bottom &&
         rect.right <= width && rect.bottom <= height;
}

// Largest |(p - c) * z / f| over the pixel span [first, last] and z < 5 m. Float rounding is
// monotonic, so a finite bound means every pixel of the span gives a finite coordinate.
bool coordinate_bound_finite(int first, int last, float c, float f)
{
  const float offset =
      std::max(std::fabs(static_cast<float>(first) - c), std::fabs(static_cast<float>(last) - c));
  return std::isfinite(offset * kFarDepthLimitM / std::fabs(f));
}

}  // namespace

const char * to_string(BackProjectionStatus status)
{
  switch (status) {
    case BackProjectionStatus::kOk:
      return "ok";
    case BackProjectionStatus::kNotSixteenBit:
      return "depth image encoding is not 16UC1 or mono16";
    case BackProjectionStatus::kWidthMismatch:
      return "depth image width differs from the colour image width";
    case BackProjectionStatus::kRowPadding:
      return "depth image row step is not two bytes per column";
    case BackProjectionStatus::kBufferTooShort:
      return "depth image buffer is shorter than the rectangle needs";
    case BackProjectionStatus::kRectOutsideImage:
      return "rectangle is inverted or outside the depth image";
    case BackProjectionStatus::kUnusableIntrinsics:
      return "camera intrinsics are unusable (zero or non-finite focal length)";
    case BackProjectionStatus::kInvalidLeafSize:
      return "voxel leaf size is not a positive finite number";
  }
  return "unknown back-projection status";
}

bool is_sixteen_bit_depth(std::string_view encoding)
{
  return encoding == "16UC1" || encoding == "mono16";
}

BackProjectionStatus check_depth_region(const DepthImageView & depth, int row_length,
                                        const PixelRect & rect, const CameraIntrinsics & intrinsics,
                                        float leaf_size_m)
{
  using S = BackProjectionStatus;
  if (!is_sixteen_bit_depth(depth.encoding)) {
    return S::kNotSixteenBit;
  }
  if (depth.width != row_length) {
    return S::kWidthMismatch;
  }
  if (depth.width < 0 || depth.height < 0 ||
      depth.row_step_bytes != 2 * static_cast<std::size_t>(depth.width)) {
    return S::kRowPadding;
  }
  if (!rect_inside(rect, depth.width, depth.height)) {
    return S::kRectOutsideImage;
  }
  const bool empty = rect.right == rect.left || rect.bottom == rect.top;
  if (!empty) {
    const std::size_t last_element =
        static_cast<std::size_t>(rect.bottom - 1) * static_cast<std::size_t>(row_length) +
        static_cast<std::size_t>(rect.right - 1);
    if (depth.data == nullptr || depth.size_bytes / 2 <= last_element) {
      return S::kBufferTooShort;
    }
  }
  if (!intrinsics.usable() ||
      (!empty &&
       (!coordinate_bound_finite(rect.left, rect.right - 1, intrinsics.cx, intrinsics.fx) ||
        !coordinate_bound_finite(rect.top, rect.bottom - 1, intrinsics.cy, intrinsics.fy)))) {
    return S::kUnusableIntrinsics;
  }
  if (!(leaf_size_m > 0.0f) || !std::isfinite(leaf_size_m) || !std::isfinite(1.0f / leaf_size_m)) {
    return S::kInvalidLeafSize;
  }
  return S::kOk;
}

BackProjectionResult back_project_depth(const DepthImageView & depth, int row_length,
                                        const PixelRect & rect, const CameraIntrinsics & intrinsics,
                                        float leaf_size_m, Cloud & cloud)
{
  BackProjectionResult result;
  result.status = check_depth_region(depth, row_length, rect, intrinsics, leaf_size_m);
  if (result.status != BackProjectionStatus::kOk || rect.right == rect.left ||
      rect.bottom == rect.top) {
    make_empty(cloud);
    return result;
  }

  auto working = std::make_shared<Cloud>();
  working->points.resize(static_cast<std::size_t>(rect.right - rect.left) *
                         static_cast<std::size_t>(rect.bottom - rect.top));

  pcl::PointXYZ * out = working->points.data();
  for_each_depth_point(depth, row_length, rect, intrinsics, 1,
                       [&](float x, float y, float z) { *out++ = pcl::PointXYZ(x, y, z); });
  working->points.resize(static_cast<std::size_t>(out - working->points.data()));
  working->width = static_cast<std::uint32_t>(working->points.size());
  working->height = 1;
  result.working_points = working->points.size();
  if (working->empty()) {
    make_empty(cloud);
    return result;
  }

  Eigen::Vector4f min_pt;
  Eigen::Vector4f max_pt;
  pcl::getMinMax3D(*working, min_pt, max_pt);
  if (voxel_grid_would_overflow(min_pt.head<3>(), max_pt.head<3>(), leaf_size_m)) {
    // VoxelGrid would warn and hand back its input; keep the points, drop the grid.
    result.voxel_grid_skipped = true;
    cloud = std::move(*working);
    return result;
  }

  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setInputCloud(working);
  grid.setLeafSize(leaf_size_m, leaf_size_m, leaf_size_m);
  grid.filter(cloud);
  return result;
}

}  // namespace veltrax_cv_model
