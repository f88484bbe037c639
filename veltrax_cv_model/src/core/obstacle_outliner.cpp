#include "veltrax_cv_model/obstacle_outliner.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "veltrax_cv_model/cluster_merge.hpp"
#include "veltrax_cv_model/fault_log.hpp"
#include "veltrax_cv_model/footprint.hpp"

namespace veltrax_cv_model
{

ObstacleOutliner::ObstacleOutliner(const ClusterSettings & settings, DebugSink debug)
    : settings_(settings), debug_(std::move(debug))
{
}

void ObstacleOutliner::debug(const std::string & text) const
{
  if (debug_) {
    debug_(text);
  }
}

bool ObstacleOutliner::cloud_cluster(const pcl::PointCloud<pcl::PointXYZ> & cloud,
                                     std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters,
                                     int method) const
{
  clusters.clear();
  const pcl::PointCloud<pcl::PointXYZ>::Ptr points = prefilter_for_clustering(cloud);
  switch (static_cast<ClusterMethod>(method)) {
    case ClusterMethod::kEuclidean: {
      const std::vector<pcl::PointIndices> index_lists =
          euclidean_cluster_indices(points, settings_.kd_search_radius_m,
                                    settings_.kd_min_cluster_size, settings_.kd_max_cluster_size);
      if (debug_) {
        debug(format_text("cluster_indices =  %d\n", static_cast<int>(index_lists.size())));
      }
      clouds_from_indices(*points, index_lists, clusters);
      return true;
    }
    case ClusterMethod::kKmeans:
      kmeans_x_clusters(*points, clusters);
      return true;
    case ClusterMethod::kGrid: {
      int count = 0;
      Cluster grid(nullptr, settings_.grid_step_m, settings_.grid_kernel_size, settings_.grid_th);
      grid.componentCluster(points, count, clusters);
      if (debug_) {
        debug(format_text("cluster size = %d", count));
      }
      return true;
    }
  }
  return false;
}

bool ObstacleOutliner::bbox_cluster(const pcl::PointCloud<pcl::PointXYZ> & cloud,
                                    std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters,
                                    float split_threshold_m) const
{
  const float extent = x_extent(cloud);
  if (!(extent > split_threshold_m)) {
    clusters.push_back(cloud);
    return true;
  }
  if (debug_) {
    debug(format_text("x_dis =  %f\n", extent));
  }
  std::vector<pcl::PointCloud<pcl::PointXYZ>> parts;
  const bool clustered = cloud_cluster(cloud, parts, settings_.method);
  std::vector<pcl::PointCloud<pcl::PointXYZ>> merged;
  merge_clusters(parts, merged);
  clusters.insert(clusters.end(), std::make_move_iterator(merged.begin()),
                  std::make_move_iterator(merged.end()));
  return clustered;
}

void ObstacleOutliner::merge_clusters(const std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters,
                                      std::vector<pcl::PointCloud<pcl::PointXYZ>> & merged) const
{
  // Each cluster's centroid once, not once per pair: as a one-point cloud (empty without one) it
  // stands in for its cluster, whose distances it gives exactly.
  std::vector<pcl::PointCloud<pcl::PointXYZ>> centroids(clusters.size());
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    if (const std::optional<Eigen::Vector3f> c = cloud_centroid(clusters[i])) {
      centroids[i].push_back(pcl::PointXYZ(c->x(), c->y(), c->z()));
    }
  }
  // merge_close_clusters hands over elements of `clusters`.
  const auto centroid_of = [&](const pcl::PointCloud<pcl::PointXYZ> & cluster)
      -> const pcl::PointCloud<pcl::PointXYZ> & {
    return centroids[static_cast<std::size_t>(&cluster - clusters.data())];
  };
  merge_close_clusters(
      clusters,
      [&](const pcl::PointCloud<pcl::PointXYZ> & seed,
          const pcl::PointCloud<pcl::PointXYZ> & candidate) {
        return distance(centroid_of(seed), centroid_of(candidate));
      },
      merged);
}

bool ObstacleOutliner::distance(const pcl::PointCloud<pcl::PointXYZ> & a,
                                const pcl::PointCloud<pcl::PointXYZ> & b) const
{
  const float d = centroid_distance(a, b);
  if (debug_) {
    debug(format_text("dist =  %f\n", d));
  }
  return is_closer_than(d, settings_.center_threshold_m);
}

bool ObstacleOutliner::outline(const std::vector<pcl::PointCloud<pcl::PointXYZ>> & detection_clouds,
                               pcl::PointCloud<pcl::PointXYZ> & outline,
                               std::vector<pcl::PointCloud<pcl::PointXYZ>> * footprints) const
{
  bool all_clustered = true;
  std::vector<pcl::PointCloud<pcl::PointXYZ>> clusters;
  for (const pcl::PointCloud<pcl::PointXYZ> & cloud : detection_clouds) {
    const std::size_t before = clusters.size();
    all_clustered = bbox_cluster(cloud, clusters, settings_.merge_dis_m) && all_clustered;
    if (debug_) {
      debug(
          format_text("merged_clusters_ size = %d\n", static_cast<int>(clusters.size() - before)));
    }
  }
  std::vector<pcl::PointCloud<pcl::PointXYZ>> polygons;
  cluster_convex_hulls(clusters, polygons);
  polygon_to_cloud(polygons, kOutlineSpacingM, outline);
  if (footprints != nullptr) {
    *footprints = std::move(polygons);
  }
  return all_clustered;
}

}  // namespace veltrax_cv_model
