#include "veltrax_cv_model/depth_filters.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace veltrax_cv_model
{
namespace
{

// Readings below this, in the sensor's unit, are nearer than the far depth limit.
constexpr int kFarLimitUnits = static_cast<int>(kFarDepthLimitM * kDepthUnitsPerMetre);

bool valid_reading(int d) { return d > 0 && d < kFarLimitUnits; }

// Row v of the image; memcpy because the message buffer promises no alignment.
void read_row(const DepthImageView & depth, int row_length, int v, std::uint16_t * row)
{
  std::memcpy(row,
              depth.data + 2 * static_cast<std::size_t>(v) * static_cast<std::size_t>(row_length),
              2 * static_cast<std::size_t>(depth.width));
}

// Median of the valid readings of the 3 x 3 neighbourhood of (u, v), itself valid.
int neighbourhood_median(const std::vector<std::uint16_t> & in, int width, int height, int u, int v)
{
  int near[9];
  int count = 0;
  for (int y = std::max(v - 1, 0); y <= std::min(v + 1, height - 1); ++y) {
    for (int x = std::max(u - 1, 0); x <= std::min(u + 1, width - 1); ++x) {
      const int d = in[static_cast<std::size_t>(y) * width + x];
      if (valid_reading(d)) {
        near[count++] = d;
      }
    }
  }
  std::nth_element(near, near + count / 2, near + count);
  return near[count / 2];
}

}  // namespace

float estimate_relative_depth_noise(const DepthImageView & depth, int row_length)
{
  std::vector<std::uint16_t> row(static_cast<std::size_t>(std::max(depth.width, 0)));
  std::vector<float> magnitudes;
  for (int v = 0; v < depth.height; v += kNoiseSampleRowStride) {
    read_row(depth, row_length, v, row.data());
    // Triples side by side, not overlapping: independent samples.
    for (int u = 1; u + 1 < depth.width; u += 3) {
      const int left = row[u - 1];
      const int middle = row[u];
      const int right = row[u + 1];
      if (valid_reading(left) && valid_reading(middle) && valid_reading(right)) {
        const float m = static_cast<float>(middle);
        magnitudes.push_back(
            std::abs(m / static_cast<float>(left) + m / static_cast<float>(right) - 2.0f));
      }
    }
  }
  if (magnitudes.size() < static_cast<std::size_t>(kMinNoiseSamples)) {
    return 0.0f;
  }
  const auto median = magnitudes.begin() + static_cast<std::ptrdiff_t>(magnitudes.size() / 2);
  std::nth_element(magnitudes.begin(), median, magnitudes.end());
  return 1.4826f * *median / std::sqrt(6.0f);
}

void copy_depth(const DepthImageView & depth, int row_length, std::vector<std::uint16_t> & out,
                int first_row, int end_row)
{
  out.resize(static_cast<std::size_t>(depth.width) * static_cast<std::size_t>(depth.height));
  for (int v = std::max(first_row, 0); v < std::min(end_row, depth.height); ++v) {
    read_row(depth, row_length, v, out.data() + static_cast<std::size_t>(v) * depth.width);
  }
}

void smooth_depth_noise(const DepthImageView & depth, int row_length, float noise_rel,
                        std::vector<std::uint16_t> & out)
{
  if (!(noise_rel > 0.0f)) {
    copy_depth(depth, row_length, out);
    return;
  }
  const int width = depth.width;
  const int height = depth.height;
  std::vector<std::uint16_t> in;
  copy_depth(depth, row_length, in);
  out = in;
  const float spread = 2.0f * noise_rel;
  for (int v = 0; v < height; ++v) {
    const int top = std::max(v - kSmoothingRadiusPx, 0);
    const int bottom = std::min(v + kSmoothingRadiusPx, height - 1);
    for (int u = 0; u < width; ++u) {
      const std::size_t at = static_cast<std::size_t>(v) * width + u;
      if (!valid_reading(in[at])) {
        continue;
      }
      const int reference = neighbourhood_median(in, width, height, u, v);
      const int tolerance = static_cast<int>(spread * static_cast<float>(reference));
      const int left = std::max(u - kSmoothingRadiusPx, 0);
      const int right = std::min(u + kSmoothingRadiusPx, width - 1);
      int sum = 0;
      int count = 0;
      for (int y = top; y <= bottom; ++y) {
        const std::uint16_t * line = in.data() + static_cast<std::size_t>(y) * width;
        for (int x = left; x <= right; ++x) {
          const int d = line[x];
          if (valid_reading(d) && std::abs(d - reference) <= tolerance) {
            sum += d;
            ++count;
          }
        }
      }
      // The median is a valid reading of the window and within tolerance of itself: count >= 1.
      out[at] = static_cast<std::uint16_t>((sum + count / 2) / count);
    }
  }
}

void clear_flying_pixels(const DepthImageView & depth, int row_length, const PixelRect & rect,
                         const CameraIntrinsics & intrinsics, std::vector<std::uint16_t> & out)
{
  const int first_row = std::max(rect.top, 1);
  const int end_row = std::min(rect.bottom, depth.height - 1);
  const int first_column = std::max(rect.left, 1);
  const int end_column = std::min(rect.right, depth.width - 1);
  if (first_row >= end_row || first_column >= end_column) {
    return;
  }
  // Per unit of depth, the depth difference to a neighbour beyond which the line between the two
  // points is steeper than the angle: cot(angle) times the neighbour's spacing over the focal.
  // In 1/65536 units the pixel loop stays in 32-bit integers (readings below 2^16, steps below
  // 2^31 for any focal length above 3 pixels) and free of branches, so it is vectorised.
  const double cotangent = 1.0 / std::tan(static_cast<double>(kFlyingPixelAngleRad));
  const auto fixed = [](double per_unit) {
    return static_cast<std::int32_t>(std::min(std::ceil(per_unit * 65536.0), 32768.0));
  };
  const std::int32_t across = fixed(cotangent / intrinsics.fx);
  const std::int32_t down = fixed(cotangent / intrinsics.fy);
  const std::int32_t diagonal =
      fixed(cotangent * std::hypot(1.0 / intrinsics.fx, 1.0 / intrinsics.fy));
  // Three rows of readings, copied once each: the message buffer has no alignment promise.
  const int width = depth.width;
  std::vector<std::uint16_t> rows(3 * static_cast<std::size_t>(width));
  std::uint16_t * above = rows.data();
  std::uint16_t * here = above + width;
  std::uint16_t * below = here + width;
  // Readings at or beyond the far limit are invalid; clamped to it, they stay invalid and keep
  // the scaled differences below in 32 bits.
  const auto read_clamped_row = [&](int v, std::uint16_t * row) {
    read_row(depth, row_length, v, row);
    for (int u = 0; u < width; ++u) {
      row[u] = std::min<std::uint16_t>(row[u], kFarLimitUnits);
    }
  };
  read_clamped_row(first_row - 1, above);
  read_clamped_row(first_row, here);
  for (int v = first_row; v < end_row; ++v) {
    read_clamped_row(v + 1, below);
    std::uint16_t * cleared = out.data() + static_cast<std::size_t>(v) * width;
    for (int u = first_column; u < end_column; ++u) {
      const std::int32_t d = here[u];
      // Strictly between the two, more than half a steep step from each (a reading that close
      // continues that neighbour's surface: an edge), and the two more than two steep steps
      // apart. `step` is one steep step in 1/65536 units; readings are scaled by 65536 / 2.
      const auto between = [d](std::int32_t a, std::int32_t b, std::int32_t step) {
        const bool valid = (a >= 1) & (a < kFarLimitUnits) & (b >= 1) & (b < kFarLimitUnits);
        const std::int32_t to_a = (a - d) * 32768;
        const std::int32_t to_b = (b - d) * 32768;
        const std::int32_t half_step = step / 4;  // half a step in the halved scale
        const bool nearer_a = (to_a < -half_step) & (to_b > half_step);
        const bool nearer_b = (to_b < -half_step) & (to_a > half_step);
        return valid & (nearer_a | nearer_b) & (std::abs(to_b - to_a) > step);
      };
      const bool flying =
          (d >= 1) & (d < kFarLimitUnits) &
          (between(here[u + 1], here[u - 1], across * d) | between(below[u], above[u], down * d) |
           between(below[u + 1], above[u - 1], diagonal * d) |
           between(below[u - 1], above[u + 1], diagonal * d));
      cleared[u] = flying ? 0 : cleared[u];
    }
    std::swap(above, here);
    std::swap(here, below);
  }
}

DepthImageView depth_view_of(const std::vector<std::uint16_t> & readings,
                             const DepthImageView & like)
{
  DepthImageView view = like;
  view.data = reinterpret_cast<const std::uint8_t *>(readings.data());
  view.size_bytes = 2 * readings.size();
  view.row_step_bytes = 2 * static_cast<std::size_t>(like.width);
  return view;
}

}  // namespace veltrax_cv_model
