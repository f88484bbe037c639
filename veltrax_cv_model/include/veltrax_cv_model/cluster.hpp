// Cluster extraction for detection clouds in the robot frame (base_footprint: x forward, y left,
// z up; metres): the 1 mm pre-filter shared by all methods, Euclidean extraction over a k-d tree,
// k-means bands along x, and the grid/component clustering class Cluster. No ROS, no logging:
// the node logs the counts these functions return.
#pragma once

#include <memory>
#include <vector>

#include <pcl/PointIndices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace rclcpp
{
class Node;
}  // namespace rclcpp

namespace veltrax_cv_model
{

/// Leaf size of the voxel pre-filter on all three axes, metres. At this size the filter only
/// merges points that nearly coincide.
inline constexpr float kClusterPrefilterLeafM = 0.001f;
/// Number of bands the k-means method splits a cloud into.
inline constexpr int kKmeansClusterGroups = 3;

/// The cloud every clustering method works on: the finite points of `cloud` thinned as
/// pcl::VoxelGrid with a kClusterPrefilterLeafM leaf thins them (each occupied voxel becomes the
/// mean of its points, in the grid's voxel order; thin_in_voxel_order).
///
/// When the cloud is so wide that the voxel grid's integer indices would overflow (more than
/// 2^31 - 1 voxels over its finite bounding box, e.g. 2 m x 2 m x 1 m), the finite points pass
/// through unthinned, in order, as the voxel grid would hand them back. A cloud marked dense that
/// nevertheless holds non-finite points is treated as not dense. Nothing is printed.
///
/// @return a new cloud, never null: unorganised, is_dense true; empty when `cloud` has no finite
///         point.
pcl::PointCloud<pcl::PointXYZ>::Ptr prefilter_for_clustering(
    const pcl::PointCloud<pcl::PointXYZ> & cloud);

/// Euclidean cluster extraction (pcl::EuclideanClusterExtraction over a sorted
/// pcl::search::KdTree): points closer than `tolerance_m` join one cluster; clusters with fewer
/// than `min_size` or more than `max_size` points are dropped.
///
/// @param cloud  finite points (the output of prefilter_for_clustering); null or empty gives no
///               clusters.
/// @param tolerance_m  neighbour distance, metres; not positive or not finite gives no clusters.
/// @param min_size  a negative value counts as 0.
/// @param max_size  a negative value counts as 0 (no cluster fits).
/// @return index lists into `cloud`, in the library's order (largest cluster first).
std::vector<pcl::PointIndices> euclidean_cluster_indices(
    const pcl::PointCloud<pcl::PointXYZ>::ConstPtr & cloud, double tolerance_m, int min_size,
    int max_size);

/// The points of `cloud` at `indices`, in list order, as an unorganised cloud (width = size,
/// height 1, is_dense true, default header). Indices outside the cloud are skipped.
pcl::PointCloud<pcl::PointXYZ> cloud_from_indices(const pcl::PointCloud<pcl::PointXYZ> & cloud,
                                                  const std::vector<int> & indices);

/// Clears `clusters`, then appends cloud_from_indices(cloud, list) for every list, in order.
void clouds_from_indices(const pcl::PointCloud<pcl::PointXYZ> & cloud,
                         const std::vector<pcl::PointIndices> & index_lists,
                         std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters);

/// Splits `cloud` into kKmeansClusterGroups bands along x with kmeans_1d. Clears `clusters`, then
/// appends exactly kKmeansClusterGroups clouds in group order (the seeds are taken in increasing
/// x); a group without members is appended as an empty cloud. Points keep their cloud order.
/// `cloud` should hold finite points only (the output of prefilter_for_clustering).
void kmeans_x_clusters(const pcl::PointCloud<pcl::PointXYZ> & cloud,
                       std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters);

/// Grid/component clustering in the ground plane of the robot frame (x forward, y left).
///
/// The finite points are binned into square cells of `grid_step` metres spanning their x-y
/// bounding box (z is ignored). A cell is occupied when it holds at least `grid_th` points. The
/// occupancy grid is closed (dilation then erosion) with a square `grid_kernelSize` x
/// `grid_kernelSize` kernel, which bridges gaps up to about kernelSize - 1 cells wide, and split
/// into 8-connected components. Each component becomes one cluster holding the points of all its
/// cells, in cloud order: this includes sparse cells that the closing filled. Points whose cell
/// is empty after closing are noise and belong to no cluster.
///
/// Clusters are ordered by their first cell in x-major order: smallest x first, then smallest y.
///
/// Degenerate settings: `grid_th` below 1 counts as 1; a kernel of 1 or less disables the
/// closing; a kernel wider than the grid behaves as one exactly as wide (a closing square that
/// covers the grid already fills exactly the cells with occupied cells in all four quadrants
/// around them, so a wider one changes nothing); an even kernel closes as well as an odd one (the
/// erosion mirrors the dilation's anchor, so no occupied cell is ever lost); a step that is not
/// positive and finite yields no clusters.
/// Grid size cap: the grid has at most kMaxGridSide cells along each axis. A wider cloud (a far
/// outlier, say) is binned with the smallest coarser step that fits, so memory stays bounded
/// (a few MB) whatever the extent.
///
/// Holds only its three settings; componentCluster may be called from any one thread at a time.
class Cluster
{
public:
  /// Longest grid side, in cells.
  static constexpr int kMaxGridSide = 1024;

  /// @param node accepted for the construction contract of the node; not used.
  /// @param grid_step cell size, metres.
  /// @param grid_kernelSize side of the closing kernel, cells.
  /// @param grid_th points a cell needs to count as occupied.
  Cluster(rclcpp::Node * node, float grid_step, int grid_kernelSize, int grid_th);

  /// Clears `clusters` and appends one unorganised cloud (width = size, height 1, is_dense true,
  /// default header) per component. `count` is set to the number of clusters appended.
  /// A null or empty cloud, or one without finite points, gives no clusters.
  void componentCluster(const std::shared_ptr<pcl::PointCloud<pcl::PointXYZ>> & cloud, int & count,
                        std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters);

  float grid_step() const { return grid_step_; }
  int grid_kernel_size() const { return grid_kernel_size_; }
  int grid_th() const { return grid_th_; }

private:
  float grid_step_;
  int grid_kernel_size_;
  int grid_th_;
};

}  // namespace veltrax_cv_model
