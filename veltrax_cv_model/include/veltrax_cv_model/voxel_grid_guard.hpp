// When pcl::VoxelGrid would refuse a cloud: it prints a warning and hands back its input when the
// grid's index range overflows, so callers that thin clouds test first and skip the filter.
#pragma once

#include <Eigen/Core>

namespace veltrax_cv_model
{

/// The overflow test of pcl::VoxelGrid<PointXYZ>::applyFilter for a cloud whose finite points
/// span [min_pt, max_pt] (metres), with a cubic leaf: true when (dx * dy * dz) > INT32_MAX with
/// d = (int64)((max - min) * (1 / leaf)) + 1 in float. Also true where PCL's own arithmetic would
/// overflow a cast (extent or coordinates over INT32_MAX leaves), which PCL does not guard.
bool voxel_grid_would_overflow(const Eigen::Vector3f & min_pt, const Eigen::Vector3f & max_pt,
                               float leaf_size_m);

}  // namespace veltrax_cv_model
