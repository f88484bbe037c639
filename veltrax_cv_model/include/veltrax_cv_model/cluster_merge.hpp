// Pieces of the per-detection split/merge decision: bounds and x extent of a detection cloud,
// centroids and their distance, and the seed-only merge of clusters whose centroids lie close
// together. Clouds are in the robot frame (base_footprint: x forward, y left, z up), metres.
// No ROS, no logging: the node logs the extent and every distance it is handed.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>

namespace veltrax_cv_model
{

/// Axis-aligned bounds of a cloud, metres. With no point counted, min stays at the largest float
/// and max at its negative.
/// |max x - min x| over the points of `cloud`, metres (float): a cloud not marked dense counts
/// only its points with three finite coordinates, and a NaN never enters the extent even in a
/// cloud marked dense. A cloud without counted points has an infinite extent, so a split
/// decision "extent > threshold" sends it on to the clusterers, which make nothing of it.
float x_extent(const pcl::PointCloud<pcl::PointXYZ> & cloud);

/// Mean of the points of `cloud` (of its finite points when it is not marked dense), accumulated
/// in double. Empty when no point counts.
std::optional<Eigen::Vector3f> cloud_centroid(const pcl::PointCloud<pcl::PointXYZ> & cloud);

/// Euclidean distance of the two centroids over all three axes, computed in float, metres.
/// NaN when either cloud has no centroid.
float centroid_distance(const pcl::PointCloud<pcl::PointXYZ> & a,
                        const pcl::PointCloud<pcl::PointXYZ> & b);

/// The merge rule: true when `distance_m` is strictly below `threshold_m`; false at equality and
/// whenever either value is NaN (so an empty cluster is never close to any other).
inline bool is_closer_than(float distance_m, float threshold_m) { return threshold_m > distance_m; }

/// is_closer_than(centroid_distance(a, b), threshold_m).
bool centroids_closer_than(const pcl::PointCloud<pcl::PointXYZ> & a,
                           const pcl::PointCloud<pcl::PointXYZ> & b, float threshold_m);

/// Decides whether `candidate` joins `seed`. Called once per comparison, in merge order, so a
/// caller may log each one.
using ClusterCloseness = std::function<bool(const pcl::PointCloud<pcl::PointXYZ> & seed,
                                            const pcl::PointCloud<pcl::PointXYZ> & candidate)>;

/// Seed-only merge. Clears `merged`; then for each cluster i not yet absorbed, in order: the
/// merged cloud starts as a copy of clusters[i], and every later cluster j not yet absorbed for
/// which close(clusters[i], clusters[j]) holds has its points appended in order and is marked
/// absorbed. Candidates are always compared with the seed itself, never with the growing merged
/// cloud, and an absorbed cluster never becomes a seed: for A, B, C with A-B and B-C close but
/// A-C far the result is A+B, C.
///
/// A merged cloud that absorbed something is unorganised (width = size, height 1); one that did
/// not is an exact copy of its seed. `merged` must not be `clusters`.
void merge_close_clusters(const std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters,
                          const ClusterCloseness & close,
                          std::vector<pcl::PointCloud<pcl::PointXYZ>> & merged);

}  // namespace veltrax_cv_model
