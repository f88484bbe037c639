// The pixel loop of back-projection, shared by the PCL chain and the fused pass so that both make
// the same points. Private to the depth library, whose sources are compiled without fused
// multiply-add: include it from nowhere else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "veltrax_cv_model/back_projection.hpp"

namespace veltrax_cv_model
{

/// Metres of every 16-bit depth reading, d / kDepthUnitsPerMetre rounded to float: a table read
/// instead of a double division per pixel.
inline const std::array<float, 65536> & depth_metres_table()
{
  static const std::array<float, 65536> table = [] {
    std::array<float, 65536> metres{};
    for (std::size_t d = 0; d < metres.size(); ++d) {
      metres[d] = static_cast<float>(static_cast<double>(d) / kDepthUnitsPerMetre);
    }
    return metres;
  }();
  return table;
}

/// Calls `emit(x, y, z)` (camera optical frame, metres) for every valid pixel of `rect` in
/// row-major order, with the float expressions documented at back_project_depth; with a
/// `stride` above 1 only for every stride-th pixel of every stride-th row, from the rectangle's
/// top left. The arguments must have passed check_depth_region.
template <typename Emit>
void for_each_depth_point(const DepthImageView & depth, int row_length, const PixelRect & rect,
                          const CameraIntrinsics & intrinsics, int stride, Emit && emit)
{
  const float fx = intrinsics.fx;
  const float fy = intrinsics.fy;
  const float cx = intrinsics.cx;
  const float cy = intrinsics.cy;
  const std::array<float, 65536> & metres = depth_metres_table();
  for (int v = rect.top; v < rect.bottom; v += stride) {
    const std::uint8_t * row =
        depth.data + 2 * static_cast<std::size_t>(v) * static_cast<std::size_t>(row_length);
    const float v_offset = static_cast<float>(v) - cy;
    for (int u = rect.left; u < rect.right; u += stride) {
      // memcpy: the message buffer is bytes, with no alignment promise for 16-bit reads.
      std::uint16_t d;
      std::memcpy(&d, row + 2 * static_cast<std::size_t>(u), sizeof d);
      const float z = metres[d];
      if (z > 0.0f && z < kFarDepthLimitM) {
        emit((static_cast<float>(u) - cx) * z / fx, v_offset * z / fy, z);
      }
    }
  }
}

}  // namespace veltrax_cv_model
