// Split/merge pieces for detection clouds: extent, centroids and the seed-only merge.
#include "veltrax_cv_model/cluster_merge.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include <pcl/common/point_tests.h>

namespace veltrax_cv_model
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

float x_extent(const Cloud & cloud)
{
  constexpr float kMax = std::numeric_limits<float>::max();
  float low = kMax;
  float high = -kMax;
  // std::min/max keep their first argument when the second is NaN, so a NaN in a cloud wrongly
  // marked dense is skipped, not propagated.
  if (cloud.is_dense) {
    for (const auto & p : cloud.points) {
      low = std::min(low, p.x);
      high = std::max(high, p.x);
    }
  } else {
    for (const auto & p : cloud.points) {
      if (pcl::isXYZFinite(p)) {
        low = std::min(low, p.x);
        high = std::max(high, p.x);
      }
    }
  }
  return std::fabs(high - low);
}

std::optional<Eigen::Vector3f> cloud_centroid(const Cloud & cloud)
{
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  std::size_t n = 0;
  for (const auto & p : cloud.points) {
    if (!cloud.is_dense && !pcl::isXYZFinite(p)) {
      continue;
    }
    sum += Eigen::Vector3d(p.x, p.y, p.z);
    ++n;
  }
  if (n == 0) {
    return std::nullopt;
  }
  return (sum / static_cast<double>(n)).cast<float>();
}

float centroid_distance(const Cloud & a, const Cloud & b)
{
  const auto ca = cloud_centroid(a);
  const auto cb = cloud_centroid(b);
  if (!ca || !cb) {
    return std::numeric_limits<float>::quiet_NaN();
  }
  const Eigen::Vector3f d = *ca - *cb;
  return std::sqrt(d.x() * d.x() + d.y() * d.y() + d.z() * d.z());
}

bool centroids_closer_than(const Cloud & a, const Cloud & b, float threshold_m)
{
  return is_closer_than(centroid_distance(a, b), threshold_m);
}

void merge_close_clusters(const std::vector<Cloud> & clusters, const ClusterCloseness & close,
                          std::vector<Cloud> & merged)
{
  merged.clear();
  std::vector<bool> absorbed(clusters.size(), false);
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    if (absorbed[i]) {
      continue;
    }
    Cloud cloud = clusters[i];
    for (std::size_t j = i + 1; j < clusters.size(); ++j) {
      if (absorbed[j]) {
        continue;
      }
      if (close && close(clusters[i], clusters[j])) {
        cloud += clusters[j];
        absorbed[j] = true;
      }
    }
    merged.push_back(std::move(cloud));
  }
}

}  // namespace veltrax_cv_model
