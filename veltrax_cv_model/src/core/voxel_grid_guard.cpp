#include "veltrax_cv_model/voxel_grid_guard.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace veltrax_cv_model
{

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

}  // namespace veltrax_cv_model
