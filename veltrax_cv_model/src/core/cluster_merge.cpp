// Split/merge pieces for detection clouds: bounds, centroids and the seed-only merge.
#include "veltrax_cv_model/cluster_merge.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

#include <pcl/common/point_tests.h>

namespace veltrax_cv_model
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

CloudBounds cloud_bounds(const Cloud & cloud)
{
  CloudBounds b{Eigen::Vector3f::Constant(std::numeric_limits<float>::max()),
                Eigen::Vector3f::Constant(-std::numeric_limits<float>::max())};
  for (const auto & p : cloud.points) {
    if (!cloud.is_dense && !pcl::isXYZFinite(p)) {
      continue;
    }
    const float v[3] = {p.x, p.y, p.z};
    // Written as comparisons so that a NaN in a cloud wrongly marked dense is skipped, not
    // propagated.
    for (int a = 0; a < 3; ++a) {
      if (v[a] < b.min_m[a]) {
        b.min_m[a] = v[a];
      }
      if (v[a] > b.max_m[a]) {
        b.max_m[a] = v[a];
      }
    }
  }
  return b;
}

float x_extent(const Cloud & cloud)
{
  const CloudBounds b = cloud_bounds(cloud);
  return std::fabs(b.max_m.x() - b.min_m.x());
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
