#include "veltrax_cv_model/depth_filters.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
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

std::uint16_t reading_at(const DepthImageView & depth, int row_length, int u, int v)
{
  std::uint16_t d;
  std::memcpy(&d,
              depth.data + 2 * (static_cast<std::size_t>(v) * static_cast<std::size_t>(row_length) +
                                static_cast<std::size_t>(u)),
              sizeof d);
  return d;
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
    for (int u = 1; u + 1 < depth.width; ++u) {
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

void copy_depth(const DepthImageView & depth, int row_length, std::vector<std::uint16_t> & out)
{
  out.resize(static_cast<std::size_t>(depth.width) * static_cast<std::size_t>(depth.height));
  for (int v = 0; v < depth.height; ++v) {
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
  // Per unit of depth, the depth difference to a neighbour beyond which the line between the two
  // points is steeper than the angle: cot(angle) times the neighbour's spacing over the focal.
  const double cotangent = 1.0 / std::tan(static_cast<double>(kFlyingPixelAngleRad));
  const double across = 1.0 / intrinsics.fx;
  const double down = 1.0 / intrinsics.fy;
  const double diagonal = std::hypot(across, down);
  struct Direction
  {
    int du, dv;
    float step;
  };
  const Direction directions[] = {{1, 0, static_cast<float>(cotangent * across)},
                                  {0, 1, static_cast<float>(cotangent * down)},
                                  {1, 1, static_cast<float>(cotangent * diagonal)},
                                  {1, -1, static_cast<float>(cotangent * diagonal)}};
  const int first_row = std::max(rect.top, 1);
  const int end_row = std::min(rect.bottom, depth.height - 1);
  const int first_column = std::max(rect.left, 1);
  const int end_column = std::min(rect.right, depth.width - 1);
  for (int v = first_row; v < end_row; ++v) {
    for (int u = first_column; u < end_column; ++u) {
      const int d = reading_at(depth, row_length, u, v);
      if (!valid_reading(d)) {
        continue;
      }
      for (const Direction & direction : directions) {
        const int a = reading_at(depth, row_length, u + direction.du, v + direction.dv);
        const int b = reading_at(depth, row_length, u - direction.du, v - direction.dv);
        if (!valid_reading(a) || !valid_reading(b)) {
          continue;
        }
        const float step = direction.step * static_cast<float>(d);
        const float to_a = static_cast<float>(a - d);
        const float to_b = static_cast<float>(b - d);
        if ((to_a > step && -to_b > step) || (-to_a > step && to_b > step)) {
          out[static_cast<std::size_t>(v) * depth.width + u] = 0;
          break;
        }
      }
    }
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
