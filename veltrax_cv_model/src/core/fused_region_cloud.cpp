#include "veltrax_cv_model/fused_region_cloud.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include <pcl/common/transforms.h>

#include "depth_points.hpp"
#include "veltrax_cv_model/detection_cloud.hpp"
#include "veltrax_cv_model/voxel_grid_guard.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// A centroid lies within a leaf of each of its voxel's points, and float sums of many points
// stray a little further; a point farther than this outside the crop box cannot make a kept
// centroid, so the pass drops it before thinning.
constexpr float kCropSlackM = 0.01f;

// Radix digits of the voxel-index sort.
constexpr int kDigitBits = 11;
constexpr std::size_t kDigitCount = std::size_t{1} << kDigitBits;

int bit_width(std::uint64_t value)
{
  int bits = 0;
  for (; value != 0; value >>= 1) {
    ++bits;
  }
  return bits;
}

// Stable LSD radix sort of `entries` by bits [low_bit, low_bit + bits), through `buffer`.
void radix_sort(std::vector<std::uint64_t> & entries, std::vector<std::uint64_t> & buffer,
                int low_bit, int bits)
{
  buffer.resize(entries.size());
  std::array<std::size_t, kDigitCount> start;
  for (int shift = low_bit; shift < low_bit + bits; shift += kDigitBits) {
    start.fill(0);
    for (const std::uint64_t e : entries) {
      ++start[(e >> shift) & (kDigitCount - 1)];
    }
    // One digit shared by all entries leaves the order as it is.
    if (std::find(start.begin(), start.end(), entries.size()) != start.end()) {
      continue;
    }
    std::size_t sum = 0;
    for (std::size_t & s : start) {
      sum += std::exchange(s, sum);
    }
    for (const std::uint64_t e : entries) {
      buffer[start[(e >> shift) & (kDigitCount - 1)]++] = e;
    }
    entries.swap(buffer);
  }
}

// CropBox's test with the crop of crop_camera_frame, boundaries included, widened by `slack`.
bool inside_crop(const pcl::PointXYZ & p, float z_min_m, float z_max_m, float slack)
{
  const float lateral = kLateralCropLimitM + slack;
  return !(p.x < -lateral || p.y < -lateral || p.z < z_min_m - slack || p.x > lateral ||
           p.y > lateral || p.z > z_max_m + slack);
}

}  // namespace

bool thin_in_voxel_order(const pcl::PointXYZ * points, std::size_t count,
                         const Eigen::Vector3f & min_pt, const Eigen::Vector3f & max_pt,
                         float leaf_size_m, RegionScratch & scratch, Cloud::VectorType & out)
{
  if (voxel_grid_would_overflow(min_pt, max_pt, leaf_size_m)) {
    return false;
  }
  // VoxelGrid's arithmetic: cell of a coordinate is floor(c / leaf) - floor(min / leaf) in
  // float, the voxel index i + j * nx + k * nx * ny. Here in 64 bits, where PCL's int would wrap
  // on the few grids whose rounded-up sides just pass INT32_MAX cells.
  const float inverse_leaf = 1.0f / leaf_size_m;
  std::array<float, 3> low;
  std::array<std::int64_t, 3> side;
  for (int a = 0; a < 3; ++a) {
    const int low_cell = static_cast<int>(std::floor(min_pt[a] * inverse_leaf));
    const int high_cell = static_cast<int>(std::floor(max_pt[a] * inverse_leaf));
    low[a] = static_cast<float>(low_cell);
    side[a] = std::int64_t{high_cell} - low_cell + 1;
  }
  const auto cell = [&](float c, int a) {
    return static_cast<std::int64_t>(static_cast<int>(std::floor(c * inverse_leaf) - low[a]));
  };
  const int key_bits = bit_width(static_cast<std::uint64_t>(side[0] * side[1] * side[2] - 1));
  const int index_bits = bit_width(count);

  // Each entry is the voxel index above the point index: sorting by the index bits keeps the
  // points of a voxel in input order, which fixes the order of the centroid sums.
  std::vector<std::uint64_t> & entries = scratch.keys;
  entries.resize(count);
  const bool packed = key_bits + index_bits <= 64;
  for (std::size_t i = 0; i < count; ++i) {
    const pcl::PointXYZ & p = points[i];
    const auto key = static_cast<std::uint64_t>(cell(p.x, 0) + cell(p.y, 1) * side[0] +
                                                cell(p.z, 2) * side[0] * side[1]);
    entries[i] = packed ? (key << index_bits) | i : key;
  }
  out.reserve(out.size() + count);
  // Runs of one key, in key order, become one centroid each: float sums in input order divided
  // by the count, as VoxelGrid computes them.
  const auto emit_centroids = [&](auto key_at, auto point_at) {
    for (std::size_t begin = 0; begin < count;) {
      float sx = 0.0f, sy = 0.0f, sz = 0.0f;
      const std::uint64_t key = key_at(begin);
      std::size_t end = begin;
      for (; end < count && key_at(end) == key; ++end) {
        const pcl::PointXYZ & p = point_at(end);
        sx += p.x;
        sy += p.y;
        sz += p.z;
      }
      const auto n = static_cast<float>(end - begin);
      out.emplace_back(sx / n, sy / n, sz / n);
      begin = end;
    }
  };
  if (packed) {
    radix_sort(entries, scratch.sorted, index_bits, key_bits);
    const std::uint64_t index_mask = (std::uint64_t{1} << index_bits) - 1;
    emit_centroids(
        [&](std::size_t s) { return entries[s] >> index_bits; },
        [&](std::size_t s) -> const pcl::PointXYZ & { return points[entries[s] & index_mask]; });
  } else {
    // Only regions of about 2^29 points and more: sort point indices by their keys instead.
    std::vector<std::uint64_t> & order = scratch.sorted;
    order.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint64_t a, std::uint64_t b) { return entries[a] < entries[b]; });
    emit_centroids([&](std::size_t s) { return entries[order[s]]; },
                   [&](std::size_t s) -> const pcl::PointXYZ & { return points[order[s]]; });
  }
  return true;
}

BackProjectionResult fused_region_cloud(const DepthImageView & depth, int row_length,
                                        const PixelRect & rect, const CameraView & view,
                                        float leaf_size_m, RegionScratch & scratch, Cloud & cloud,
                                        Eigen::AlignedBox3f * working_bounds)
{
  if (working_bounds != nullptr) {
    working_bounds->setEmpty();
  }
  BackProjectionResult result;
  cloud = Cloud();
  cloud.width = 0;
  cloud.height = 1;
  result.status = check_depth_region(depth, row_length, rect, view.intrinsics, leaf_size_m);
  if (result.status != BackProjectionStatus::kOk) {
    return result;
  }

  // The grid and the overflow test see every valid pixel, as VoxelGrid sees the working cloud;
  // only points that may reach the crop box are kept for thinning.
  Cloud::VectorType & kept = scratch.points;
  kept.clear();
  kept.reserve(static_cast<std::size_t>(rect.right - rect.left) *
               static_cast<std::size_t>(rect.bottom - rect.top));
  constexpr float kInf = std::numeric_limits<float>::infinity();
  Eigen::Vector3f min_pt = Eigen::Vector3f::Constant(kInf);
  Eigen::Vector3f max_pt = Eigen::Vector3f::Constant(-kInf);
  const float slack = 2.0f * leaf_size_m + kCropSlackM;
  for_each_depth_point(depth, row_length, rect, view.intrinsics, [&](float x, float y, float z) {
    const pcl::PointXYZ p(x, y, z);
    min_pt = min_pt.cwiseMin(p.getVector3fMap());
    max_pt = max_pt.cwiseMax(p.getVector3fMap());
    ++result.working_points;
    if (inside_crop(p, view.z_min_m, view.z_max_m, slack)) {
      kept.push_back(p);
    }
  });
  if (result.working_points == 0) {
    return result;
  }
  if (working_bounds != nullptr) {
    *working_bounds = Eigen::AlignedBox3f(min_pt, max_pt);
  }

  Cloud::VectorType & out = cloud.points;
  if (!thin_in_voxel_order(kept.data(), kept.size(), min_pt, max_pt, leaf_size_m, scratch, out)) {
    result.voxel_grid_skipped = true;
    out.assign(kept.begin(), kept.end());
  }
  out.erase(std::remove_if(out.begin(), out.end(),
                           [&](const pcl::PointXYZ & p) {
                             return !inside_crop(p, view.z_min_m, view.z_max_m, 0.0f);
                           }),
            out.end());
  cloud.width = static_cast<std::uint32_t>(out.size());
  cloud.is_dense = true;
  // PCL's own transform, in place: the same bits as transform_to_base.
  pcl::transformPointCloud(cloud, cloud, view.camera_to_base, true);
  return result;
}

}  // namespace veltrax_cv_model
