// From the detection clouds of both cameras to the outline the costmap reads: each cloud longer
// than the split threshold is clustered and its clusters merged around their seeds; every
// resulting cluster becomes a convex footprint; the footprints are sampled into outline points.
// Clouds in the robot frame (base_footprint: x forward, y left, z up), metres. No ROS; the node
// hands in an optional sink for its DEBUG lines.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "veltrax_cv_model/cluster.hpp"

namespace veltrax_cv_model
{

/// The clustering methods, by the number the "cluster_method" parameter gives them.
enum class ClusterMethod : int { kEuclidean = 1, kKmeans = 2, kGrid = 3 };

/// Settings of the split, merge and clustering steps.
struct ClusterSettings
{
  int method{3};                   ///< ClusterMethod; other numbers cluster nothing
  float merge_dis_m{0.8f};         ///< a cloud longer than this along x is split
  float center_threshold_m{0.5f};  ///< clusters whose centroids are closer merge
  float kd_search_radius_m{0.1f};  ///< Euclidean: neighbour distance
  int kd_min_cluster_size{30};     ///< Euclidean: smallest cluster kept, points
  int kd_max_cluster_size{25000};  ///< Euclidean: largest cluster kept, points
  float grid_step_m{0.01f};        ///< grid: cell edge
  int grid_kernel_size{3};         ///< grid: closing kernel side, cells
  int grid_th{5};                  ///< grid: points a cell needs to count as occupied
};

/// Receives the text of a DEBUG line; empty: no text is made.
using DebugSink = std::function<void(const std::string & text)>;

/// Holds only its settings and debug sink; every method is const and may run on several threads
/// at once when the sink may.
class ObstacleOutliner
{
public:
  explicit ObstacleOutliner(const ClusterSettings & settings, DebugSink debug = {});

  /// Clears `clusters` and fills them with the clusters of `cloud` by `method` (after
  /// prefilter_for_clustering). False for a method number that names no clusterer (nothing
  /// is clustered then).
  bool cloud_cluster(const pcl::PointCloud<pcl::PointXYZ> & cloud,
                     std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters, int method) const;

  /// Appends to `clusters` the cloud itself when its x extent is at most `split_threshold_m`,
  /// otherwise its clusters (settings' method) merged around their seeds. False when the
  /// settings' method names no clusterer.
  bool bbox_cluster(const pcl::PointCloud<pcl::PointXYZ> & cloud,
                    std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters,
                    float split_threshold_m) const;

  /// Seed-only merge of clusters whose centroids are closer than center_threshold_m.
  void merge_clusters(const std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters,
                      std::vector<pcl::PointCloud<pcl::PointXYZ>> & merged) const;

  /// The merge rule for one pair.
  bool distance(const pcl::PointCloud<pcl::PointXYZ> & a,
                const pcl::PointCloud<pcl::PointXYZ> & b) const;

  /// The whole chain: split every detection cloud at merge_dis_m, footprint every cluster and
  /// sample the footprints into `outline` (points kOutlineSpacingM apart, z = 0). When given,
  /// `footprints` receives the polygons. False when a cloud was to be split but the settings'
  /// method names no clusterer.
  bool outline(const std::vector<pcl::PointCloud<pcl::PointXYZ>> & detection_clouds,
               pcl::PointCloud<pcl::PointXYZ> & outline,
               std::vector<pcl::PointCloud<pcl::PointXYZ>> * footprints = nullptr) const;

  const ClusterSettings & settings() const { return settings_; }

private:
  void debug(const std::string & text) const;

  ClusterSettings settings_;
  DebugSink debug_;
};

}  // namespace veltrax_cv_model
