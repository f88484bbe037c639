// pcl::VoxelGrid's grid without the library: when it would refuse a cloud (it prints a warning and
// hands back its input when the grid's index range overflows, so callers test first and skip the
// filter), and the thinning it makes, without its sort of every point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>

namespace veltrax_cv_model
{

/// The overflow test of pcl::VoxelGrid<PointXYZ>::applyFilter for a cloud whose finite points
/// span [min_pt, max_pt] (metres), with a cubic leaf: true when (dx * dy * dz) > INT32_MAX with
/// d = (int64)((max - min) * (1 / leaf)) + 1 in float. Also true where PCL's own arithmetic would
/// overflow a cast (extent or coordinates over INT32_MAX leaves), which PCL does not guard.
bool voxel_grid_would_overflow(const Eigen::Vector3f & min_pt, const Eigen::Vector3f & max_pt,
                               float leaf_size_m);

/// Points thin_in_voxel_order refuses to thin at once: 2^29 or more.
inline constexpr std::size_t kMaxThinnedPoints = std::size_t{1} << 29;

/// Working memory of thin_in_voxel_order, kept between calls so that the clouds of a frame reuse
/// it instead of allocating. Its contents belong to that function. One per thread.
struct VoxelScratch
{
  struct Sum
  {
    float x, y, z;
    std::uint32_t count;
  };
  std::vector<Sum> sums;
  std::vector<std::uint64_t> order;
  std::vector<std::uint64_t> buffer;
};

/// Appends to `out` the cloud pcl::VoxelGrid<PointXYZ> (cubic leaf `leaf_size_m`, PCL's other
/// settings) makes of the finite points [points, points + count), given that the cloud's bounds
/// are [min_pt, max_pt] (a box holding the points; it may be wider, as for a subset of a cloud
/// whose grid is that of the whole): the same voxels, one centroid each (float sums, within
/// rounding of VoxelGrid's), in the order of VoxelGrid's voxel index (z slowest, then y, then x).
/// Returns false and leaves `out` as it is when VoxelGrid would refuse that grid
/// (voxel_grid_would_overflow), where it hands its input back, and for kMaxThinnedPoints points
/// or more. The points must not lie in `out`.
/// Allocates nothing per point once `scratch` has grown. Thread-safe with a scratch per thread.
bool thin_in_voxel_order(const pcl::PointXYZ * points, std::size_t count,
                         const Eigen::Vector3f & min_pt, const Eigen::Vector3f & max_pt,
                         float leaf_size_m, VoxelScratch & scratch,
                         pcl::PointCloud<pcl::PointXYZ>::VectorType & out);

}  // namespace veltrax_cv_model
