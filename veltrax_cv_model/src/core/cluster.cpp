// Cluster extraction: 1 mm pre-filter, Euclidean extraction, k-means bands and grid components.
#include "veltrax_cv_model/cluster.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>

#include <pcl/common/point_tests.h>
#include <pcl/search/kdtree.h>
#include <pcl/segmentation/extract_clusters.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "veltrax_cv_model/kmeans_1d.hpp"
#include "veltrax_cv_model/voxel_grid_guard.hpp"

namespace veltrax_cv_model
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

namespace
{

// Lanes x, y, z and the padding, which is ignored: one min and one max a point.
struct FiniteBounds
{
  Eigen::Array4f min{Eigen::Array4f::Constant(std::numeric_limits<float>::max())};
  Eigen::Array4f max{Eigen::Array4f::Constant(-std::numeric_limits<float>::max())};
  std::size_t finite{0};

  Eigen::Vector3f low() const { return min.head<3>().matrix(); }
  Eigen::Vector3f high() const { return max.head<3>().matrix(); }
};

FiniteBounds finite_bounds(const Cloud & cloud)
{
  FiniteBounds b;
  for (const auto & p : cloud.points) {
    if (pcl::isXYZFinite(p)) {
      ++b.finite;
      b.min = b.min.min(p.getArray4fMap());
      b.max = b.max.max(p.getArray4fMap());
    }
  }
  return b;
}

Cloud make_unorganised(Cloud cloud)
{
  cloud.width = static_cast<std::uint32_t>(cloud.size());
  cloud.height = 1;
  cloud.is_dense = true;
  return cloud;
}

}  // namespace

Cloud::Ptr prefilter_for_clustering(const Cloud & cloud)
{
  auto filtered = std::make_shared<Cloud>();
  const FiniteBounds bounds = finite_bounds(cloud);
  if (bounds.finite == 0) {
    return filtered;
  }
  // Only finite points may reach the voxel index arithmetic, whatever is_dense claims.
  const pcl::PointXYZ * points = cloud.points.data();
  Cloud::VectorType finite;
  if (bounds.finite != cloud.size()) {
    finite.reserve(bounds.finite);
    std::copy_if(cloud.points.begin(), cloud.points.end(), std::back_inserter(finite),
                 [](const pcl::PointXYZ & p) { return pcl::isXYZFinite(p); });
    points = finite.data();
  }
  VoxelScratch scratch;
  if (!thin_in_voxel_order(points, bounds.finite, bounds.low(), bounds.high(),
                           kClusterPrefilterLeafM, scratch, filtered->points)) {
    filtered->points.assign(points, points + bounds.finite);
  }
  *filtered = make_unorganised(std::move(*filtered));
  return filtered;
}

std::vector<pcl::PointIndices> euclidean_cluster_indices(const Cloud::ConstPtr & cloud,
                                                         double tolerance_m, int min_size,
                                                         int max_size)
{
  std::vector<pcl::PointIndices> clusters;
  if (!cloud || cloud->empty() || !std::isfinite(tolerance_m) || tolerance_m <= 0.0) {
    return clusters;
  }
  auto tree = std::make_shared<pcl::search::KdTree<pcl::PointXYZ>>(true);
  tree->setInputCloud(cloud);

  pcl::EuclideanClusterExtraction<pcl::PointXYZ> extraction;
  extraction.setClusterTolerance(tolerance_m);
  // The library takes unsigned sizes; a negative int would wrap to "no limit" or "nothing fits".
  extraction.setMinClusterSize(static_cast<pcl::uindex_t>(std::max(min_size, 0)));
  extraction.setMaxClusterSize(static_cast<pcl::uindex_t>(std::max(max_size, 0)));
  extraction.setSearchMethod(tree);
  extraction.setInputCloud(cloud);
  extraction.extract(clusters);
  return clusters;
}

Cloud cloud_from_indices(const Cloud & cloud, const std::vector<int> & indices)
{
  Cloud out;
  out.reserve(indices.size());
  for (const int index : indices) {
    if (index >= 0 && static_cast<std::size_t>(index) < cloud.size()) {
      out.points.push_back(cloud.points[static_cast<std::size_t>(index)]);
    }
  }
  return make_unorganised(std::move(out));
}

void clouds_from_indices(const Cloud & cloud, const std::vector<pcl::PointIndices> & index_lists,
                         std::vector<Cloud> & clusters)
{
  clusters.clear();
  clusters.reserve(index_lists.size());
  for (const auto & list : index_lists) {
    clusters.push_back(cloud_from_indices(cloud, list.indices));
  }
}

void kmeans_x_clusters(const Cloud & cloud, std::vector<Cloud> & clusters)
{
  clusters.clear();
  std::vector<double> xs;
  xs.reserve(cloud.size());
  for (const auto & p : cloud.points) {
    xs.push_back(static_cast<double>(p.x));
  }
  const auto groups = kmeans_1d(xs, kKmeansClusterGroups);
  clusters.reserve(groups.size());
  for (const auto & group : groups) {
    clusters.push_back(cloud_from_indices(cloud, group));
  }
}

// ---------------------------------------------------------------------------------------------

Cluster::Cluster(rclcpp::Node * /*node*/, float grid_step, int grid_kernelSize, int grid_th)
    : grid_step_(grid_step), grid_kernel_size_(grid_kernelSize), grid_th_(grid_th)
{
}

void Cluster::componentCluster(const std::shared_ptr<Cloud> & cloud, int & count,
                               std::vector<Cloud> & clusters)
{
  clusters.clear();
  count = 0;
  const double step_m = static_cast<double>(grid_step_);
  if (!cloud || cloud->empty() || !std::isfinite(step_m) || step_m <= 0.0) {
    return;
  }
  const FiniteBounds bounds = finite_bounds(*cloud);
  if (bounds.finite == 0) {
    return;
  }

  // Rows run along x and columns along y, so the raster order below is nearest-first.
  const double span_x = static_cast<double>(bounds.max[0]) - bounds.min[0];
  const double span_y = static_cast<double>(bounds.max[1]) - bounds.min[1];
  const double cell_m =
      std::max({step_m, span_x / (kMaxGridSide - 1), span_y / (kMaxGridSide - 1)});
  const auto side = [cell_m](double span) {
    return static_cast<int>(std::min<double>(kMaxGridSide, std::floor(span / cell_m) + 1.0));
  };
  const int rows = side(span_x);
  const int cols = side(span_y);

  std::vector<int> cell_of_point(cloud->size(), -1);
  std::vector<int> points_in_cell(static_cast<std::size_t>(rows) * cols, 0);
  // A finite point lies at or above the low bound, so the quotient is at least 0 and its
  // truncation is its floor, without the libm call std::floor is on baseline x86-64.
  const auto bin = [cell_m](float v, float lo, int n) {
    return std::min(static_cast<int>((static_cast<double>(v) - lo) / cell_m), n - 1);
  };
  for (std::size_t i = 0; i < cloud->size(); ++i) {
    const auto & p = cloud->points[i];
    if (!pcl::isXYZFinite(p)) {
      continue;
    }
    const int cell = bin(p.x, bounds.min[0], rows) * cols + bin(p.y, bounds.min[1], cols);
    cell_of_point[i] = cell;
    ++points_in_cell[static_cast<std::size_t>(cell)];
  }

  // The grid is padded by the kernel's reach so that the closing sees empty space, not the
  // image border, around the cloud: the erosion would otherwise keep cells that the dilation
  // only reached through the border, and the result would depend on where the grid ends.
  const int kernel = std::min(grid_kernel_size_, std::max(rows, cols));
  const int pad = kernel > 1 ? kernel / 2 : 0;
  const int threshold = std::max(grid_th_, 1);
  cv::Mat occupied(rows + 2 * pad, cols + 2 * pad, CV_8UC1, cv::Scalar(0));
  for (int r = 0; r < rows; ++r) {
    auto * row = occupied.ptr<std::uint8_t>(r + pad) + pad;
    const int * counts = points_in_cell.data() + static_cast<std::size_t>(r) * cols;
    for (int c = 0; c < cols; ++c) {
      row[c] = counts[c] >= threshold ? 255 : 0;
    }
  }
  if (kernel > 1) {
    // OpenCV's closing reuses one anchor for both steps, which shifts the result by a cell for
    // an even kernel; mirroring the anchor for the erosion keeps every occupied cell.
    const cv::Mat square = cv::Mat::ones(kernel, kernel, CV_8UC1);
    const cv::Point anchor(kernel / 2, kernel / 2);
    const cv::Point mirrored(kernel - 1 - anchor.x, kernel - 1 - anchor.y);
    cv::Mat dilated;
    cv::dilate(occupied, dilated, square, anchor);
    cv::erode(dilated, occupied, square, mirrored);
  }

  cv::Mat grid = occupied(cv::Rect(pad, pad, cols, rows)).clone();
  cv::Mat labels;
  const int label_count = cv::connectedComponents(grid, labels, 8, CV_32S);
  if (label_count <= 1) {
    return;
  }

  // Renumber the components by their first cell in raster order, which the labelling algorithm
  // does not promise.
  std::vector<int> cluster_of_label(static_cast<std::size_t>(label_count), -1);
  int clusters_found = 0;
  for (int r = 0; r < rows; ++r) {
    const int * row = labels.ptr<int>(r);
    for (int c = 0; c < cols; ++c) {
      if (row[c] > 0 && cluster_of_label[static_cast<std::size_t>(row[c])] < 0) {
        cluster_of_label[static_cast<std::size_t>(row[c])] = clusters_found++;
      }
    }
  }

  // Each point's cell becomes its cluster, -1 for noise.
  const int * cell_labels = labels.ptr<int>(0);  // clone() and connectedComponents: continuous
  std::vector<int> & cluster_of_point = cell_of_point;
  std::vector<std::size_t> sizes(static_cast<std::size_t>(clusters_found), 0);
  for (int & point : cluster_of_point) {
    if (point >= 0) {
      const int label = cell_labels[point];
      point = label > 0 ? cluster_of_label[static_cast<std::size_t>(label)] : -1;
      if (point >= 0) {
        ++sizes[static_cast<std::size_t>(point)];
      }
    }
  }

  clusters.resize(static_cast<std::size_t>(clusters_found));
  for (std::size_t k = 0; k < clusters.size(); ++k) {
    clusters[k].reserve(sizes[k]);
  }
  for (std::size_t i = 0; i < cloud->size(); ++i) {
    if (cluster_of_point[i] >= 0) {
      clusters[static_cast<std::size_t>(cluster_of_point[i])].points.push_back(cloud->points[i]);
    }
  }
  for (auto & cluster : clusters) {
    cluster = make_unorganised(std::move(cluster));
  }
  count = clusters_found;
}

}  // namespace veltrax_cv_model
