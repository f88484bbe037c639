#include "veltrax_cv_model/voxel_grid_guard.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace veltrax_cv_model
{
namespace
{

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

// Sort passes a grid needs at most: its voxel indices have fewer than 35 bits.
constexpr int kMaxPasses = 4;

// How many entries have each digit, per sort pass, counted as the entries are written: a count
// pass of its own before each sort pass would read every entry once more.
using DigitCounts = std::array<std::array<std::uint32_t, kDigitCount>, kMaxPasses>;

// Stable LSD radix sort of the first `size` entries by bits [low_bit, low_bit + passes * digit),
// through `buffer`, given each pass's digit counts. Both vectors only grow: a resize down and up
// again would rewrite every entry.
void radix_sort(std::vector<std::uint64_t> & entries, std::vector<std::uint64_t> & buffer,
                std::size_t size, int low_bit, int passes, DigitCounts & counts)
{
  if (buffer.size() < size) {
    buffer.resize(size);
  }
  for (int pass = 0; pass < passes; ++pass) {
    std::array<std::uint32_t, kDigitCount> & start = counts[static_cast<std::size_t>(pass)];
    // One digit shared by all entries leaves the order as it is.
    if (std::find(start.begin(), start.end(), size) != start.end()) {
      continue;
    }
    std::uint32_t sum = 0;
    for (std::uint32_t & s : start) {
      sum += std::exchange(s, sum);
    }
    const int shift = low_bit + pass * kDigitBits;
    for (std::size_t e = 0; e < size; ++e) {
      buffer[start[(entries[e] >> shift) & (kDigitCount - 1)]++] = entries[e];
    }
    entries.swap(buffer);
  }
}

// Lines of the cache of recent voxels' sums: neighbouring pixels, in a row and from row to row,
// fall in it, and it fits the L1 cache.
constexpr std::size_t kCacheLines = 1024;
constexpr std::uint64_t kNoVoxel = ~std::uint64_t{0};

}  // namespace

bool voxel_grid_would_overflow(const Eigen::Vector3f & min_pt, const Eigen::Vector3f & max_pt,
                               float leaf_size_m)
{
  // Same float arithmetic as VoxelGrid: inverse leaf as 1 / leaf, extent times inverse leaf.
  const float inverse_leaf = 1.0f / leaf_size_m;
  constexpr float kCastLimit = 2147483647.0f;  // rounds to 2^31
  std::int64_t cells[3];
  for (int axis = 0; axis < 3; ++axis) {
    const float extent = (max_pt[axis] - min_pt[axis]) * inverse_leaf;
    const float low = std::floor(min_pt[axis] * inverse_leaf);
    const float high = std::floor(max_pt[axis] * inverse_leaf);
    // PCL casts these without a check; beyond the int range its grid would be garbage.
    if (!(extent < kCastLimit) || !(std::fabs(low) < kCastLimit) ||
        !(std::fabs(high) < kCastLimit)) {
      return true;
    }
    cells[axis] = static_cast<std::int64_t>(extent) + 1;
  }
  constexpr std::int64_t kMaxCells = std::numeric_limits<std::int32_t>::max();
  // cells[0] * cells[1] < 2^62 here; compare the third factor by division to avoid overflow.
  return cells[0] * cells[1] > kMaxCells / cells[2];
}

bool thin_in_voxel_order(const pcl::PointXYZ * points, std::size_t count,
                         const Eigen::Vector3f & min_pt, const Eigen::Vector3f & max_pt,
                         float leaf_size_m, VoxelScratch & scratch,
                         pcl::PointCloud<pcl::PointXYZ>::VectorType & out)
{
  if (count >= kMaxThinnedPoints || voxel_grid_would_overflow(min_pt, max_pt, leaf_size_m)) {
    return false;
  }
  // VoxelGrid's arithmetic: cell of a coordinate is floor(c / leaf) - floor(min / leaf) in
  // float, the voxel index i + j * nx + k * nx * ny. Here in 64 bits, where PCL's int would wrap
  // on the few grids whose rounded-up sides just pass INT32_MAX cells.
  const float inverse_leaf = 1.0f / leaf_size_m;
  std::array<int, 3> low_cell;
  std::array<float, 3> low;
  std::array<std::int64_t, 3> side;
  float largest = 0.0f;
  for (int a = 0; a < 3; ++a) {
    const float scaled_min = min_pt[a] * inverse_leaf;
    const float scaled_max = max_pt[a] * inverse_leaf;
    low_cell[a] = static_cast<int>(std::floor(scaled_min));
    low[a] = static_cast<float>(low_cell[a]);
    side[a] = std::int64_t{static_cast<int>(std::floor(scaled_max))} - low_cell[a] + 1;
    largest = std::max({largest, std::fabs(scaled_min), std::fabs(scaled_max)});
  }
  const bool small_cells = largest < 8388608.0f;

  // Sums by sorting rather than hashing: at a fine leaf nearly every point has a voxel of its
  // own, and a table of them outgrows the cache, so that every new voxel costs a miss. A small
  // direct-mapped cache sums the points of the voxels met lately; a voxel leaving it is written
  // out as a partial sum with its entry (voxel index, then the partial's number) for the sort,
  // and the partial sums are added up in the sorted order. A voxel's partial sums are written in
  // input order, and the sort is stable. The grid holds fewer than 2^35 voxels (VoxelGrid's
  // overflow test bounds the product of its sides less one), so an index and a partial's number
  // fit one word below kMaxThinnedPoints.
  std::vector<VoxelScratch::Sum> & sums = scratch.sums;
  std::vector<std::uint64_t> & order = scratch.order;
  // Grown, never shrunk; the sort swaps `order` with its buffer, so each is sized on its own.
  if (sums.size() < count) {
    sums.resize(count);
  }
  if (order.size() < count) {
    order.resize(count);
  }
  const int number_bits = bit_width(count);
  const int voxel_bits = bit_width(static_cast<std::uint64_t>(side[0] * side[1] * side[2] - 1));
  const int passes = (voxel_bits + kDigitBits - 1) / kDigitBits;
  DigitCounts digit_counts;
  for (int pass = 0; pass < passes; ++pass) {
    digit_counts[static_cast<std::size_t>(pass)].fill(0);
  }
  std::array<std::uint64_t, kCacheLines> line_voxel;
  line_voxel.fill(kNoVoxel);
  std::array<VoxelScratch::Sum, kCacheLines> line_sum;
  std::size_t written = 0;
  const auto write_out = [&](std::size_t line) {
    const std::uint64_t voxel = line_voxel[line];
    for (int pass = 0; pass < passes; ++pass) {
      ++digit_counts[static_cast<std::size_t>(pass)]
                    [(voxel >> (pass * kDigitBits)) & (kDigitCount - 1)];
    }
    order[written] = (voxel << number_bits) | written;
    sums[written++] = line_sum[line];
  };
  const auto add = [&](const pcl::PointXYZ & p, std::uint64_t voxel) {
    const std::size_t line = voxel & (kCacheLines - 1);
    VoxelScratch::Sum & sum = line_sum[line];
    if (line_voxel[line] == voxel) {
      sum.x += p.x;
      sum.y += p.y;
      sum.z += p.z;
      ++sum.count;
    } else {
      if (line_voxel[line] != kNoVoxel) {
        write_out(line);
      }
      line_voxel[line] = voxel;
      sum = VoxelScratch::Sum{p.x, p.y, p.z, 1};
    }
  };
  if (small_cells) {
    // Below 2^23 in magnitude, floor(c / leaf) - low is an exact small integer, so the truncation
    // corrected by one below zero gives the same cells without the float floor (a libm call on
    // baseline x86-64), and over a block of coordinates at a time it is vectorised.
    constexpr std::size_t kBlock = 64;
    // The tail of a short last block holds earlier coordinates or 0: converted, never used.
    std::array<std::array<float, kBlock>, 3> coordinates{};
    std::array<std::array<std::int32_t, kBlock>, 3> cells;
    for (std::size_t begin = 0; begin < count; begin += kBlock) {
      const std::size_t n = std::min(kBlock, count - begin);
      for (std::size_t i = 0; i < n; ++i) {
        coordinates[0][i] = points[begin + i].x;
        coordinates[1][i] = points[begin + i].y;
        coordinates[2][i] = points[begin + i].z;
      }
      for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t i = 0; i < kBlock; ++i) {
          const float scaled = coordinates[a][i] * inverse_leaf;
          const auto truncated = static_cast<std::int32_t>(scaled);
          cells[a][i] = truncated - (static_cast<float>(truncated) > scaled) - low_cell[a];
        }
      }
      for (std::size_t i = 0; i < n; ++i) {
        add(points[begin + i], static_cast<std::uint64_t>(cells[0][i] + cells[1][i] * side[0] +
                                                          cells[2][i] * side[0] * side[1]));
      }
    }
  } else {
    const auto cell = [&](float c, int a) -> std::int64_t {
      return static_cast<int>(std::floor(c * inverse_leaf) - low[a]);
    };
    for (std::size_t i = 0; i < count; ++i) {
      const pcl::PointXYZ & p = points[i];
      add(p, static_cast<std::uint64_t>(cell(p.x, 0) + cell(p.y, 1) * side[0] +
                                        cell(p.z, 2) * side[0] * side[1]));
    }
  }
  for (std::size_t line = 0; line < kCacheLines; ++line) {
    if (line_voxel[line] != kNoVoxel) {
      write_out(line);
    }
  }
  radix_sort(order, scratch.buffer, written, number_bits, passes, digit_counts);

  const std::uint64_t number_mask = (std::uint64_t{1} << number_bits) - 1;
  out.reserve(out.size() + written);
  for (std::size_t o = 0; o < written;) {
    const std::uint64_t voxel = order[o] >> number_bits;
    VoxelScratch::Sum sum = sums[order[o] & number_mask];
    for (++o; o < written && order[o] >> number_bits == voxel; ++o) {
      const VoxelScratch::Sum & more = sums[order[o] & number_mask];
      sum.x += more.x;
      sum.y += more.y;
      sum.z += more.z;
      sum.count += more.count;
    }
    const auto n = static_cast<float>(sum.count);
    out.emplace_back(sum.x / n, sum.y / n, sum.z / n);
  }
  return true;
}

}  // namespace veltrax_cv_model
