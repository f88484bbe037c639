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
  // Accumulated in locals: kept in the result, they were stored and loaded again for every point,
  // a chain through memory as long as the cloud.
  FiniteBounds b;
  Eigen::Array4f low = b.min;
  Eigen::Array4f high = b.max;
  std::size_t finite = 0;
  for (const auto & p : cloud.points) {
    if (pcl::isXYZFinite(p)) {
      ++finite;
      low = low.min(p.getArray4fMap());
      high = high.max(p.getArray4fMap());
    }
  }
  b.min = low;
  b.max = high;
  b.finite = finite;
  return b;
}

Cloud make_unorganised(Cloud cloud)
{
  cloud.width = static_cast<std::uint32_t>(cloud.size());
  cloud.height = 1;
  cloud.is_dense = true;
  return cloud;
}

enum class Closing { kDilate, kErode };

// One pass of a binary dilation or erosion of the row-major grid `from` into `to` by a window of
// offsets [low, high] (low <= 0 <= high) along the columns, written transposed so that the next
// pass runs along the other axis. Cells beyond the grid are left out of the window, as OpenCV's
// constant border for these operations does: a dilated cell is set when any cell of its window
// is, an eroded one when all of them are. A running count over each line keeps the cost per cell
// independent of the kernel.
void close_pass(const std::vector<std::uint8_t> & from, std::vector<std::uint8_t> & to, int rows,
                int cols, int low, int high, Closing operation)
{
  for (int r = 0; r < rows; ++r) {
    const std::uint8_t * line = from.data() + static_cast<std::size_t>(r) * cols;
    int set = 0;
    for (int c = 0; c < std::min(high, cols); ++c) {
      set += line[c];
    }
    for (int c = 0; c < cols; ++c) {
      if (c + high < cols) {
        set += line[c + high];
      }
      const int first = std::max(c + low, 0);
      const int last = std::min(c + high, cols - 1);
      const bool on = operation == Closing::kDilate ? set > 0 : set == last - first + 1;
      to[static_cast<std::size_t>(c) * rows + r] = on ? 1 : 0;
      if (c + low >= 0) {
        set -= line[c + low];
      }
    }
  }
}

// Labels the 8-connected components of the occupied cells of a grid (rows x cols, read from
// `occupied` at row stride `stride` from cell (pad, pad)) into `labels` (rows x cols, zero for
// free cells), numbered from 1 by their first cell in raster order. Returns their number.
int label_components(const std::vector<std::uint8_t> & occupied, int stride, int pad, int rows,
                     int cols, std::vector<int> & labels)
{
  const auto is_occupied = [&](int r, int c) {
    return occupied[static_cast<std::size_t>(r + pad) * stride + c + pad] != 0;
  };
  int found = 0;
  std::vector<int> pending;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const std::size_t seed = static_cast<std::size_t>(r) * cols + c;
      if (!is_occupied(r, c) || labels[seed] != 0) {
        continue;
      }
      labels[seed] = ++found;
      pending.assign(1, static_cast<int>(seed));
      while (!pending.empty()) {
        const int cell = pending.back();
        pending.pop_back();
        const int cr = cell / cols;
        const int cc = cell % cols;
        for (int nr = std::max(cr - 1, 0); nr <= std::min(cr + 1, rows - 1); ++nr) {
          for (int nc = std::max(cc - 1, 0); nc <= std::min(cc + 1, cols - 1); ++nc) {
            const std::size_t next = static_cast<std::size_t>(nr) * cols + nc;
            if (is_occupied(nr, nc) && labels[next] == 0) {
              labels[next] = found;
              pending.push_back(static_cast<int>(next));
            }
          }
        }
      }
    }
  }
  return found;
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
  // Kept by each thread: a pooled detection cloud needs megabytes of sorting memory, which would
  // otherwise be allocated and faulted in anew for every cloud of every frame.
  thread_local VoxelScratch scratch;
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
  // grid's edge, around the cloud: the erosion would otherwise keep cells that the dilation only
  // reached through the edge, and the result would depend on where the grid ends.
  const int kernel = std::min(grid_kernel_size_, std::max(rows, cols));
  const int pad = kernel > 1 ? kernel / 2 : 0;
  const int threshold = std::max(grid_th_, 1);
  const int padded_rows = rows + 2 * pad;
  const int padded_cols = cols + 2 * pad;
  std::vector<std::uint8_t> occupied(static_cast<std::size_t>(padded_rows) * padded_cols, 0);
  for (int r = 0; r < rows; ++r) {
    std::uint8_t * row = occupied.data() + static_cast<std::size_t>(r + pad) * padded_cols + pad;
    const int * counts = points_in_cell.data() + static_cast<std::size_t>(r) * cols;
    for (int c = 0; c < cols; ++c) {
      row[c] = counts[c] >= threshold ? 1 : 0;
    }
  }
  if (kernel > 1) {
    // A square kernel is a row pass and a column pass. The erosion mirrors the dilation's
    // reach, so that an even kernel shifts no cell and every occupied cell stays occupied.
    const int ahead = kernel - 1 - kernel / 2;
    std::vector<std::uint8_t> pass(occupied.size());
    close_pass(occupied, pass, padded_rows, padded_cols, -kernel / 2, ahead, Closing::kDilate);
    close_pass(pass, occupied, padded_cols, padded_rows, -kernel / 2, ahead, Closing::kDilate);
    close_pass(occupied, pass, padded_rows, padded_cols, -ahead, kernel / 2, Closing::kErode);
    close_pass(pass, occupied, padded_cols, padded_rows, -ahead, kernel / 2, Closing::kErode);
  }

  // Closing and labelling are done here rather than by OpenCV, whose morphology and labelling hand
  // a grid this small to its thread pool: on the two-core target those threads contend with the
  // transform workers for longer than the work takes. Components are numbered by their first
  // cell in raster order, as the clusters are ordered.
  std::vector<int> labels(static_cast<std::size_t>(rows) * cols, 0);
  const int clusters_found = label_components(occupied, padded_cols, pad, rows, cols, labels);
  if (clusters_found == 0) {
    return;
  }

  // Each point's cell becomes its cluster, -1 for noise.
  std::vector<int> & cluster_of_point = cell_of_point;
  std::vector<std::size_t> sizes(static_cast<std::size_t>(clusters_found), 0);
  for (int & point : cluster_of_point) {
    if (point >= 0) {
      point = labels[static_cast<std::size_t>(point)] - 1;
      if (point >= 0) {
        ++sizes[static_cast<std::size_t>(point)];
      }
    }
  }

  // Each cluster sized once and filled through its own write position.
  clusters.resize(static_cast<std::size_t>(clusters_found));
  std::vector<pcl::PointXYZ *> next(clusters.size());
  for (std::size_t k = 0; k < clusters.size(); ++k) {
    clusters[k].points.resize(sizes[k]);
    next[k] = clusters[k].points.data();
  }
  for (std::size_t i = 0; i < cloud->size(); ++i) {
    if (cluster_of_point[i] >= 0) {
      *next[static_cast<std::size_t>(cluster_of_point[i])]++ = cloud->points[i];
    }
  }
  for (auto & cluster : clusters) {
    cluster = make_unorganised(std::move(cluster));
  }
  count = clusters_found;
}

}  // namespace veltrax_cv_model
