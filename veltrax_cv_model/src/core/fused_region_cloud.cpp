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

// Voxel indices of a region come in long arithmetic runs; a full 64-bit mix (MurmurHash3's
// finaliser) keeps linear probing short for them.
std::size_t hash_slot(std::uint64_t key, std::size_t mask)
{
  key ^= key >> 33;
  key *= 0xFF51AFD7ED558CCDull;
  key ^= key >> 33;
  return static_cast<std::size_t>(key) & mask;
}

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
bool inside_crop(float x, float y, float z, float z_min_m, float z_max_m, float slack)
{
  const float lateral = kLateralCropLimitM + slack;
  return !(x < -lateral || y < -lateral || z < z_min_m - slack || x > lateral || y > lateral ||
           z > z_max_m + slack);
}

// thin_in_voxel_order, each centroid handed to `emit(out, x, y, z)` (float sums divided by the
// count, as VoxelGrid's) instead of appended as it is.
template <typename Emit>
bool thin_voxels(const pcl::PointXYZ * points, std::size_t count, const Eigen::Vector3f & min_pt,
                 const Eigen::Vector3f & max_pt, float leaf_size_m, RegionScratch & scratch,
                 Cloud::VectorType & out, const Emit & emit)
{
  if (voxel_grid_would_overflow(min_pt, max_pt, leaf_size_m)) {
    return false;
  }
  // VoxelGrid's arithmetic: cell of a coordinate is floor(c / leaf) - floor(min / leaf) in
  // float, the voxel index i + j * nx + k * nx * ny. Here in 64 bits, where PCL's int would wrap
  // on the few grids whose rounded-up sides just pass INT32_MAX cells.
  const float inverse_leaf = 1.0f / leaf_size_m;
  std::array<int, 3> low_cell;
  std::array<float, 3> low;
  std::array<std::int64_t, 3> side;
  // Below 2^23 in magnitude, floor(c / leaf) - low is an exact small integer, so integer
  // arithmetic gives the same cells without the float floor (a libm call on baseline x86-64).
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
  const auto cell = [&](float c, int a) -> std::int64_t {
    const float scaled = c * inverse_leaf;
    if (small_cells) {
      const int truncated = static_cast<int>(scaled);
      return std::int64_t{truncated - (static_cast<float>(truncated) > scaled) - low_cell[a]};
    }
    return static_cast<int>(std::floor(scaled) - low[a]);
  };

  // Sums per voxel in a flat hash keyed by voxel index + 1 (0: empty slot), behind a small
  // direct-mapped cache: neighbouring pixels, in a row and from row to row, mostly share voxels,
  // so most points never reach the hash. Points are added in input order, as VoxelGrid adds
  // them after its stable sort. The table holds at least two slots per point, so it never fills
  // past half and never grows; it is kept across calls and left empty by clearing only the
  // slots this call used.
  std::vector<RegionScratch::Voxel> & voxels = scratch.voxels;
  std::vector<std::uint64_t> & slot_key = scratch.slot_key;
  std::vector<std::uint32_t> & slot_voxel = scratch.slot_voxel;
  std::vector<std::size_t> & used_slots = scratch.used_slots;
  std::size_t mask = 1023;
  for (; mask < 2 * count; mask = mask * 2 + 1) {
  }
  voxels.clear();
  voxels.reserve(count);
  used_slots.clear();
  used_slots.reserve(count);
  if (slot_key.size() <= mask) {
    slot_key.assign(mask + 1, 0);
    slot_voxel.resize(mask + 1);
  }
  const auto find_or_add = [&](std::uint64_t tagged) {
    std::size_t slot = hash_slot(tagged, mask);
    for (; slot_key[slot] != 0; slot = (slot + 1) & mask) {
      if (slot_key[slot] == tagged) {
        return slot_voxel[slot];
      }
    }
    const auto voxel = static_cast<std::uint32_t>(voxels.size());
    slot_key[slot] = tagged;
    slot_voxel[slot] = voxel;
    used_slots.push_back(slot);
    // Zeroed in place and keyed: a voxel built aside and copied in would stall as a point does.
    voxels.emplace_back().key = tagged - 1;
    return voxel;
  };
  constexpr std::size_t kCacheMask = 1023;
  std::array<std::uint64_t, kCacheMask + 1> cache_key{};
  std::array<std::uint32_t, kCacheMask + 1> cache_voxel{};
  for (std::size_t i = 0; i < count; ++i) {
    const pcl::PointXYZ & p = points[i];
    const auto tagged = static_cast<std::uint64_t>(cell(p.x, 0) + cell(p.y, 1) * side[0] +
                                                   cell(p.z, 2) * side[0] * side[1]) +
                        1;
    const std::size_t line = tagged & kCacheMask;
    if (cache_key[line] != tagged) {
      cache_key[line] = tagged;
      cache_voxel[line] = find_or_add(tagged);
    }
    RegionScratch::Voxel & v = voxels[cache_voxel[line]];
    v.x += p.x;
    v.y += p.y;
    v.z += p.z;
    ++v.count;
  }

  for (const std::size_t slot : used_slots) {
    slot_key[slot] = 0;
  }

  // Voxels in index order; keys are distinct, so no tie needs breaking.
  std::vector<std::uint64_t> & order = scratch.order;
  order.resize(voxels.size());
  const int index_bits = bit_width(voxels.size());
  const int key_bits = bit_width(static_cast<std::uint64_t>(side[0] * side[1] * side[2] - 1));
  if (key_bits + index_bits <= 64) {
    for (std::size_t v = 0; v < voxels.size(); ++v) {
      order[v] = (voxels[v].key << index_bits) | v;
    }
    radix_sort(order, scratch.buffer, index_bits, key_bits);
    for (std::uint64_t & o : order) {
      o &= (std::uint64_t{1} << index_bits) - 1;
    }
  } else {
    for (std::size_t v = 0; v < voxels.size(); ++v) {
      order[v] = v;
    }
    std::sort(order.begin(), order.end(),
              [&](std::uint64_t a, std::uint64_t b) { return voxels[a].key < voxels[b].key; });
  }
  out.reserve(out.size() + voxels.size());
  for (const std::uint64_t v : order) {
    const RegionScratch::Voxel & sum = voxels[v];
    const auto n = static_cast<float>(sum.count);
    emit(out, sum.x / n, sum.y / n, sum.z / n);
  }
  return true;
}

}  // namespace

bool thin_in_voxel_order(const pcl::PointXYZ * points, std::size_t count,
                         const Eigen::Vector3f & min_pt, const Eigen::Vector3f & max_pt,
                         float leaf_size_m, RegionScratch & scratch, Cloud::VectorType & out)
{
  return thin_voxels(
      points, count, min_pt, max_pt, leaf_size_m, scratch, out,
      [](Cloud::VectorType & to, float x, float y, float z) { to.emplace_back(x, y, z); });
}

BackProjectionResult rgb_depth_to_cloud(const DepthImageView & depth, int row_length,
                                        const PixelRect & rect, const CameraView & view,
                                        float leaf_size_m, RegionScratch & scratch, Cloud & cloud,
                                        Eigen::AlignedBox3f * working_bounds, int pixel_stride)
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
  // Grown, never shrunk: a resize down and up again would rewrite every point.
  Cloud::VectorType & kept = scratch.points;
  const std::size_t pixels = static_cast<std::size_t>(rect.right - rect.left) *
                             static_cast<std::size_t>(rect.bottom - rect.top);
  if (kept.size() < pixels) {
    kept.resize(pixels);
  }
  pcl::PointXYZ * next = kept.data();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  float min_x = kInf, min_y = kInf, min_z = kInf;
  float max_x = -kInf, max_y = -kInf, max_z = -kInf;
  const float slack = 2.0f * leaf_size_m + kCropSlackM;
  for_each_depth_point(depth, row_length, rect, view.intrinsics, std::max(pixel_stride, 1),
                       [&](float x, float y, float z) {
                         min_x = std::min(min_x, x);
                         min_y = std::min(min_y, y);
                         min_z = std::min(min_z, z);
                         max_x = std::max(max_x, x);
                         max_y = std::max(max_y, y);
                         max_z = std::max(max_z, z);
                         ++result.working_points;
                         if (inside_crop(x, y, z, view.z_min_m, view.z_max_m, slack)) {
                           // Field by field: a point built aside and copied whole would be
                           // read back before its parts are stored, a stall on every pixel.
                           pcl::PointXYZ & kept_point = *next++;
                           kept_point.x = x;
                           kept_point.y = y;
                           kept_point.z = z;
                           kept_point.data[3] = 1.0f;
                         }
                       });
  const auto kept_count = static_cast<std::size_t>(next - kept.data());
  if (result.working_points == 0) {
    return result;
  }
  const Eigen::Vector3f min_pt(min_x, min_y, min_z);
  const Eigen::Vector3f max_pt(max_x, max_y, max_z);
  if (working_bounds != nullptr) {
    *working_bounds = Eigen::AlignedBox3f(min_pt, max_pt);
  }

  // Each centroid (or, unthinned, each point) cropped and transformed as it is written, with the
  // transform pcl::transformPointCloud applies point by point: the same bits as
  // transform_to_base, without two more passes over the cloud.
  const pcl::detail::Transformer<float> to_base(view.camera_to_base);
  const auto crop_and_transform = [&](Cloud::VectorType & to, float x, float y, float z) {
    if (inside_crop(x, y, z, view.z_min_m, view.z_max_m, 0.0f)) {
      const float in_camera[3] = {x, y, z};
      to_base.se3(in_camera, to.emplace_back().data);
    }
  };
  Cloud::VectorType & out = cloud.points;
  if (!thin_voxels(kept.data(), kept_count, min_pt, max_pt, leaf_size_m, scratch, out,
                   crop_and_transform)) {
    result.voxel_grid_skipped = true;
    out.reserve(kept_count);
    for (std::size_t i = 0; i < kept_count; ++i) {
      crop_and_transform(out, kept[i].x, kept[i].y, kept[i].z);
    }
  }
  cloud.width = static_cast<std::uint32_t>(out.size());
  cloud.is_dense = true;
  return result;
}

}  // namespace veltrax_cv_model
