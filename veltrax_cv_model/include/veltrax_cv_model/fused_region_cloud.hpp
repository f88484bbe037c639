// From a rectangle of a registered depth image to a voxel-thinned, cropped cloud in the robot
// frame in one pass over its pixels: the result of back_project_depth followed by
// crop_and_transform, without building the intermediate clouds or running PCL's filters. No ROS,
// no logging.
#pragma once

#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>
#include <Eigen/Geometry>

#include "veltrax_cv_model/back_projection.hpp"
#include "veltrax_cv_model/types.hpp"
#include "veltrax_cv_model/voxel_grid_guard.hpp"

namespace veltrax_cv_model
{

/// Where one camera looks from and what of its view is kept.
struct CameraView
{
  CameraIntrinsics intrinsics;
  float z_min_m{0.0f};  ///< crop range along the optical axis, metres
  float z_max_m{0.0f};
  Eigen::Matrix4f camera_to_base{Eigen::Matrix4f::Identity()};  ///< optical -> base_footprint

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

/// Working memory of the fused pass, kept between calls so that the regions of a frame reuse it
/// instead of allocating. Its contents belong to rgb_depth_to_cloud: nothing else may change
/// them. One per thread: a call may use it while no other call does.
struct RegionScratch
{
  pcl::PointCloud<pcl::PointXYZ>::VectorType points;
  VoxelScratch voxels;
};

/// The cloud that back_project_depth(depth, row_length, rect, view.intrinsics, leaf_size_m)
/// followed by crop_and_transform(view.z_min_m, view.z_max_m, view.camera_to_base) gives, without
/// their intermediate clouds: the same points (centroids within float rounding of their sums), in
/// the same order, in base_footprint (x forward, y left, z up, metres). The region is thinned by
/// thin_in_voxel_order; when its voxel grid would overflow the points are cropped and
/// transformed unthinned, as the PCL chain does.
///
/// Returns what back_project_depth returns for the region: the same refusals (then `cloud` is
/// empty), voxel_grid_skipped and working_points (valid pixels before the crop). `cloud` is
/// replaced: unorganised (height 1), empty header. `working_bounds`, when given, is set to the
/// bounds of the valid pixels' points (optical frame; empty when there are none). Allocates
/// nothing per point. Thread-safe with a scratch per thread.
///
/// A `pixel_stride` above 1 takes only every stride-th pixel of every stride-th row (from the
/// region's top left) as the region's pixels: a sparser input for a coarse leaf, whose voxels
/// such pixels still reach. A stride below 1 is taken as 1.
BackProjectionResult rgb_depth_to_cloud(const DepthImageView & depth, int row_length,
                                        const PixelRect & rect, const CameraView & view,
                                        float leaf_size_m, RegionScratch & scratch,
                                        pcl::PointCloud<pcl::PointXYZ> & cloud,
                                        Eigen::AlignedBox3f * working_bounds = nullptr,
                                        int pixel_stride = 1);

}  // namespace veltrax_cv_model
