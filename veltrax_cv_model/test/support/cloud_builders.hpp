// Small clouds written out point by point for the pure-module tests.
#pragma once

#include <limits>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace veltrax_cv_model::test
{

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

/// An unorganised cloud of `points`, marked dense or not as given.
inline pcl::PointCloud<pcl::PointXYZ> make_cloud(const std::vector<pcl::PointXYZ> & points,
                                                 bool dense = true)
{
  pcl::PointCloud<pcl::PointXYZ> cloud;
  for (const auto & p : points) {
    cloud.push_back(p);
  }
  cloud.is_dense = dense;
  return cloud;
}

}  // namespace veltrax_cv_model::test
