// One pass from a rectangle of a registered depth image to a voxel-thinned, cropped cloud in the
// robot frame: the result of back_project_depth followed by crop_and_transform, without building
// the intermediate clouds or running PCL's filters. No ROS, no logging.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>
#include <Eigen/Geometry>

#include "veltrax_cv_model/back_projection.hpp"
#include "veltrax_cv_model/types.hpp"

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

/// Working memory of the fused pass and of voxel thinning, kept between calls so that the regions
/// of a frame reuse it instead of allocating. Its contents belong to those functions (the hash
/// table is left empty by each call, not cleared by the next): nothing else may change them. One
/// per thread: a call may use it while no other call does.
struct RegionScratch
{
  struct Voxel
  {
    std::uint64_t key;
    float x, y, z;  ///< sums
    std::uint32_t count;
  };
  pcl::PointCloud<pcl::PointXYZ>::VectorType points;
  std::vector<Voxel> voxels;
  std::vector<std::uint64_t> slot_key;
  std::vector<std::uint32_t> slot_voxel;
  std::vector<std::size_t> used_slots;
  std::vector<std::uint64_t> order;
  std::vector<std::uint64_t> buffer;
};

/// Appends to `out` the cloud pcl::VoxelGrid<PointXYZ> (cubic leaf `leaf_size_m`, PCL's other
/// settings) makes of the finite points [points, points + count), given that the cloud's bounds
/// are [min_pt, max_pt] (a box holding the points; it may be wider, as for a subset of a cloud
/// whose grid is that of the whole): the same voxels, one centroid each (float sums), in the
/// order of VoxelGrid's voxel index (z slowest, then y, then x). Returns false and leaves `out`
/// as it is when VoxelGrid would refuse that grid (voxel_grid_would_overflow), where it hands its
/// input back. The points must not lie in `out`. Thread-safe with a scratch per thread.
bool thin_in_voxel_order(const pcl::PointXYZ * points, std::size_t count,
                         const Eigen::Vector3f & min_pt, const Eigen::Vector3f & max_pt,
                         float leaf_size_m, RegionScratch & scratch,
                         pcl::PointCloud<pcl::PointXYZ>::VectorType & out);

/// The cloud that back_project_depth(depth, row_length, rect, view.intrinsics, leaf_size_m)
/// followed by crop_and_transform(view.z_min_m, view.z_max_m, view.camera_to_base) gives, in one
/// pass: the same points (centroids within float rounding of their sums), in the same order,
/// in base_footprint (x forward, y left, z up, metres). When the region's voxel grid would
/// overflow the points are cropped and transformed unthinned, as the PCL chain does.
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
