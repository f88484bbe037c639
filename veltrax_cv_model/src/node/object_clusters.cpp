// Object clusters and footprints of the frame cycle: clustering methods, per-box split and merge,
// convex footprints and their sampled outline.
#include "veltrax_cv_model/cluster_merge.hpp"
#include "veltrax_cv_model/footprint.hpp"

#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_cv_model
{

void Yolov5sPredictor::cloud_cluster(const Cloud::Ptr & cloud, CloudList & clusters, int method)
{
  clusters.clear();
  const Cloud::Ptr points = prefilter_for_clustering(*cloud);
  switch (method) {
    case 1: {
      const std::vector<pcl::PointIndices> index_lists = euclidean_cluster_indices(
          points, KDTreeSearchRadius, KDTreeMinClusterSize, KDTreeMaxClusterSize);
      RCLCPP_DEBUG(get_logger(), "cluster_indices =  %d\n", static_cast<int>(index_lists.size()));
      clouds_from_indices(*points, index_lists, clusters);
      break;
    }
    case 2:
      kmeans_x_clusters(*points, clusters);
      break;
    case 3: {
      int count = 0;
      cluster_->componentCluster(points, count, clusters);
      RCLCPP_DEBUG(get_logger(), "cluster size = %d", count);
      break;
    }
    default:
      RCLCPP_ERROR(get_logger(), "cluster method except!");
      break;
  }
}

int Yolov5sPredictor::bbox_cluster(const Cloud::Ptr & cloud, CloudList & clusters, int method,
                                   float split_threshold)
{
  const float extent = x_extent(*cloud);
  if (!(extent > split_threshold)) {
    clusters.push_back(*cloud);
    return 0;
  }
  RCLCPP_DEBUG(get_logger(), "x_dis =  %f\n", extent);
  CloudList split;
  cloud_cluster(cloud, split, method);
  merge_clusters(split, clusters);
  return 0;
}

void Yolov5sPredictor::merge_clusters(const CloudList & clusters, CloudList & merged)
{
  merge_close_clusters(
      clusters,
      [this](const Cloud & seed, const Cloud & candidate) { return distance(seed, candidate); },
      merged);
}

bool Yolov5sPredictor::distance(const Cloud & a, const Cloud & b)
{
  const float d = centroid_distance(a, b);
  RCLCPP_DEBUG(get_logger(), "dist =  %f\n", d);
  return is_closer_than(d, center_threshold);
}

void Yolov5sPredictor::cluster_convex_hulls(const CloudList & clusters, CloudList & polygons)
{
  convex_hull_polygons(clusters, polygons);
}

void Yolov5sPredictor::polygon_to_cloud(const CloudList & polygons, Cloud & outline, float spacing)
{
  sample_polygon_outlines(polygons, spacing, outline);
}

}  // namespace veltrax_cv_model
