#include "veltrax_cv_model/depth_filters.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

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

// Orders a pair, one comparator of the sorting network below.
void order(std::int16_t & low, std::int16_t & high)
{
  const std::int16_t smaller = std::min(low, high);
  high = std::max(low, high);
  low = smaller;
}

// A missing reading as the smoothing holds it: below every reading, and farther from any than the
// widest tolerance, so it sorts first and is never near a reference.
constexpr std::int16_t kMissing = -16384;
static_assert(kFarLimitUnits - kMissing <= INT16_MAX, "differences to a missing reading fit");

// Median of the valid readings among nine, a missing one given as kMissing and at least one
// valid: a sorting network (25 comparators, min and max only, so vectorised across a row) puts
// the missing ones first; the median of the c valid ones is the (c / 2)-th of them, as
// nth_element picks it.
std::int16_t median_of_valid(std::int16_t s0, std::int16_t s1, std::int16_t s2, std::int16_t s3,
                             std::int16_t s4, std::int16_t s5, std::int16_t s6, std::int16_t s7,
                             std::int16_t s8)
{
  order(s0, s1), order(s3, s4), order(s6, s7), order(s1, s2), order(s4, s5), order(s7, s8);
  order(s0, s1), order(s3, s4), order(s6, s7), order(s0, s3), order(s3, s6), order(s0, s3);
  order(s1, s4), order(s4, s7), order(s1, s4), order(s2, s5), order(s5, s8), order(s2, s5);
  order(s1, s3), order(s5, s7), order(s2, s6), order(s4, s6), order(s2, s4), order(s2, s3);
  order(s5, s6);
  // With z missing, the median is the (z + (9 - z) / 2)-th: s4 for none, s5 for one or two, ...
  std::int16_t median = s0 == kMissing ? s5 : s4;
  median = s2 == kMissing ? s6 : median;
  median = s4 == kMissing ? s7 : median;
  return s6 == kMissing ? s8 : median;
}

// How readings along a line, `count` of them `stride` apart from `first`, step in inverse depth.
// Steady as on a plane: every step of one sign and the largest at most kSteadyStepRatio times the
// smallest, each step's size uncertain by a unit either way (a reading is rounded to one).
struct Run
{
  bool steady{false};
  float mean_step{0.0f};  ///< inverse units
};

Run run_along(const std::int32_t * first, int count, int stride)
{
  Run run;
  float smallest = std::numeric_limits<float>::max();
  float largest = 0.0f;
  const bool receding = first[stride] > first[0];
  for (int i = 0; i + 1 < count; ++i) {
    const std::int32_t from = first[static_cast<std::ptrdiff_t>(i) * stride];
    const std::int32_t to = first[static_cast<std::ptrdiff_t>(i + 1) * stride];
    if (!valid_reading(from) || !valid_reading(to) || to == from || (to > from) != receding) {
      return run;
    }
    const float per_unit = 1.0f / (static_cast<float>(from) * static_cast<float>(to));
    const float size = static_cast<float>(std::abs(to - from));
    smallest = std::min(smallest, (size + 1.0f) * per_unit);
    largest = std::max(largest, (size - 1.0f) * per_unit);
    run.mean_step += size * per_unit;
  }
  run.steady = largest <= kSteadyStepRatio * smallest;
  run.mean_step /= static_cast<float>(count - 1);
  return run;
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
  copy_depth(depth, row_length, out);
  if (!(noise_rel > 0.0f)) {
    return;
  }
  // Valid readings in 16-bit signed lanes, missing ones as kMissing, framed by a border of missing
  // readings: every window lies inside, and the border adds nothing to a median or a mean, so
  // the image's edges need no bounds of their own.
  constexpr int kBorder = kSmoothingRadiusPx;
  constexpr int kWindow = 2 * kSmoothingRadiusPx + 1;
  static_assert(kBorder >= 1, "the 3 x 3 median needs a border of one");
  static_assert(kWindow * kFarLimitUnits <= INT16_MAX, "a window row's sum fits 16 bits");
  const int width = depth.width;
  const int height = depth.height;
  const std::size_t framed_width =
      static_cast<std::size_t>(width) + 2 * static_cast<std::size_t>(kBorder);
  std::vector<std::int16_t> framed(
      framed_width * (static_cast<std::size_t>(height) + 2 * static_cast<std::size_t>(kBorder)),
      kMissing);
  for (int v = 0; v < height; ++v) {
    const std::uint16_t * row = out.data() + static_cast<std::size_t>(v) * width;
    std::int16_t * to = framed.data() + (static_cast<std::size_t>(v) + kBorder) * framed_width;
    for (int u = 0; u < width; ++u) {
      to[u + kBorder] = static_cast<std::int16_t>(valid_reading(row[u]) ? row[u] : kMissing);
    }
  }
  // A tolerance at or above the far limit keeps every valid reading; capped there it fits 16 bits,
  // and the product below stays far from overflowing an int.
  const float spread = std::min(2.0f * noise_rel, static_cast<float>(kFarLimitUnits));
  std::vector<std::int16_t> reference(static_cast<std::size_t>(width));
  std::vector<std::int16_t> tolerance(static_cast<std::size_t>(width));
  std::vector<std::int16_t> means(static_cast<std::size_t>(width));
  for (int v = 0; v < height; ++v) {
    // rows[y][u + x] is the window's reading (x, y) of pixel u, counted from its top left.
    const std::int16_t * rows[kWindow];
    for (int y = 0; y < kWindow; ++y) {
      rows[y] = framed.data() + (static_cast<std::size_t>(v) + y) * framed_width;
    }
    const std::int16_t * above = rows[kBorder - 1] + kBorder - 1;
    const std::int16_t * here = rows[kBorder] + kBorder - 1;
    const std::int16_t * below = rows[kBorder + 1] + kBorder - 1;
    for (int u = 0; u < width; ++u) {
      const std::int16_t m =
          median_of_valid(above[u], above[u + 1], above[u + 2], here[u], here[u + 1], here[u + 2],
                          below[u], below[u + 1], below[u + 2]);
      reference[u] = m;
      // At least 0: a window without a reading has the missing value as its reference.
      tolerance[u] = static_cast<std::int16_t>(
          std::clamp(static_cast<int>(spread * static_cast<float>(m)), 0, kFarLimitUnits));
    }
    std::uint16_t * smoothed = out.data() + static_cast<std::size_t>(v) * width;
    const std::int16_t * centre = rows[kBorder] + kBorder;
    for (int u = 0; u < width; ++u) {
      // 16-bit lanes where they fit: readings, their differences, one window row's sum and count.
      const std::int16_t m = reference[u];
      const std::int16_t t = tolerance[u];
      int sum = 0;
      std::int16_t count = 0;
      // Unrolled before the vectoriser runs, so it vectorises across the pixels of the row.
#pragma GCC unroll 16
      for (int y = 0; y < kWindow; ++y) {
        std::int16_t line_sum = 0;
#pragma GCC unroll 16
        for (int x = 0; x < kWindow; ++x) {
          const std::int16_t d = rows[y][u + x];
          const std::int16_t difference = static_cast<std::int16_t>(d - m);
          const std::int16_t distance =
              static_cast<std::int16_t>(difference < 0 ? -difference : difference);
          const bool near = distance <= t;
          line_sum = static_cast<std::int16_t>(line_sum + (near ? d : 0));
          count = static_cast<std::int16_t>(count + near);
        }
        sum += line_sum;
      }
      // The integer division, exact in single precision (and vectorised): both operands are
      // exact, and the quotient, below 2^13, is rounded by less than 2^-11, short of the 1/n
      // (n <= 25) that keeps a fraction from the next integer. The median is a valid reading of
      // the window within tolerance of itself, so a valid centre has n >= 1.
      const int n = count + (count == 0);  // std::max here stops the vectoriser
      const int rounded = sum + n / 2;
      means[u] = static_cast<std::int16_t>(static_cast<float>(rounded) / static_cast<float>(n));
    }
    // A missing reading stays as it was, 0 or beyond the far limit. Selected by mask: a
    // conditional store is not vectorised.
    for (int u = 0; u < width; ++u) {
      const auto keep = static_cast<std::uint16_t>(-static_cast<int>(centre[u] == kMissing));
      smoothed[u] = static_cast<std::uint16_t>((smoothed[u] & keep) |
                                               (static_cast<std::uint16_t>(means[u]) & ~keep));
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
  // The lines tested (column step, row step) and, per unit of depth, the depth difference to the
  // neighbour on each beyond which the line between the two points is steeper than the angle:
  // cot(angle) times the neighbour's spacing over the focal length.
  static constexpr int kLines[4][2] = {{1, 0}, {0, 1}, {1, 1}, {-1, 1}};
  const double cotangent = 1.0 / std::tan(static_cast<double>(kFlyingPixelAngleRad));
  const double diagonal_spacing = std::hypot(1.0 / intrinsics.fx, 1.0 / intrinsics.fy);
  const double steep_per_unit[4] = {cotangent / intrinsics.fx, cotangent / intrinsics.fy,
                                    cotangent * diagonal_spacing, cotangent * diagonal_spacing};
  // In 1/65536 units the pixel loop stays in 32-bit integers (readings below 2^16, steps below
  // 2^31 for any focal length above 3 pixels) and free of branches, so it is vectorised.
  const auto fixed = [](double per_unit) {
    return static_cast<std::int32_t>(std::min(std::ceil(per_unit * 65536.0), 32768.0));
  };
  const std::int32_t across = fixed(steep_per_unit[0]);
  const std::int32_t down = fixed(steep_per_unit[1]);
  const std::int32_t diagonal = fixed(steep_per_unit[2]);
  // The rows a run reaches around the current one, copied once each (the message buffer has no
  // alignment promise) and framed by missing readings: a run leaving the image shows nothing.
  constexpr int kReach = kSmearWidthPx + 1;
  constexpr int kRows = 2 * kReach + 1;
  const int width = depth.width;
  const std::size_t framed_width =
      static_cast<std::size_t>(width) + 2 * static_cast<std::size_t>(kReach);
  std::vector<std::uint16_t> framed(static_cast<std::size_t>(kRows) * framed_width, 0);
  std::array<std::uint16_t *, kRows> rows;  // rows[kReach + k] is row v + k, from its column 0
  for (int k = 0; k < kRows; ++k) {
    rows[k] = framed.data() + k * framed_width + kReach;
  }
  // Readings at or beyond the far limit are invalid; as 0 they are told from valid ones by one
  // comparison, and keep the scaled differences below in 32 bits.
  const auto read_row_zeroing_invalid = [&](int v, std::uint16_t * row) {
    if (v < 0 || v >= depth.height) {
      std::fill(row, row + width, 0);
      return;
    }
    read_row(depth, row_length, v, row);
    for (int u = 0; u < width; ++u) {
      row[u] = static_cast<std::uint16_t>(row[u] < kFarLimitUnits ? row[u] : 0);
    }
  };
  // A reading between its neighbours on some lines stays when, on each of them, a steady run
  // continues it (through it, or ending at it), and one of those runs climbs more than a steep
  // step per pixel: a run through it does, as its neighbours are more than two steep steps apart.
  const auto flying = [&rows, &steep_per_unit](int u, unsigned lines) {
    bool grazing = false;
    for (int k = 0; k < 4; ++k) {
      if ((lines >> k & 1u) == 0) {
        continue;
      }
      std::array<std::int32_t, kRows> line;
      for (int i = -kReach; i <= kReach; ++i) {
        line[kReach + i] = rows[kReach + i * kLines[k][1]][u + i * kLines[k][0]];
      }
      const std::int32_t * centre = line.data() + kReach;
      if (run_along(centre - kSmearWidthPx, 2 * kSmearWidthPx + 1, 1).steady) {
        grazing = true;
        continue;
      }
      const Run ahead = run_along(centre, kReach + 1, 1);
      const Run behind = run_along(centre, kReach + 1, -1);
      if (!ahead.steady && !behind.steady) {
        return true;
      }
      const float steep_step = static_cast<float>(steep_per_unit[k]) / static_cast<float>(*centre);
      grazing = grazing || (ahead.steady && ahead.mean_step >= steep_step) ||
                (behind.steady && behind.mean_step >= steep_step);
    }
    return lines != 0 && !grazing;
  };
  for (int k = 0; k < kRows - 1; ++k) {
    read_row_zeroing_invalid(first_row - kReach + k, rows[k + 1]);
  }
  // Per pixel of the current row, one bit per line on which its reading lies between its
  // neighbours; zero past the row's end, so a group may read beyond it.
  constexpr int kGroupPx = sizeof(std::uint64_t) / sizeof(std::uint16_t);
  std::vector<std::uint16_t> between_lines(static_cast<std::size_t>(width) + kGroupPx, 0);
  for (int v = first_row; v < end_row; ++v) {
    std::rotate(rows.begin(), rows.begin() + 1, rows.end());
    read_row_zeroing_invalid(v + kReach, rows[kRows - 1]);
    const std::uint16_t * above = rows[kReach - 1];
    const std::uint16_t * here = rows[kReach];
    const std::uint16_t * below = rows[kReach + 1];
    for (int u = first_column; u < end_column; ++u) {
      const std::int32_t d = here[u];
      // Strictly between the two, more than half a steep step from each (a reading that close
      // continues that neighbour's surface: an edge), and the two more than two steep steps
      // apart. `step` is one steep step in 1/65536 units; readings are scaled by 65536 / 2.
      const auto between = [d](std::int32_t a, std::int32_t b, std::int32_t step) {
        const bool valid = (a != 0) & (b != 0);
        const std::int32_t to_a = (a - d) * 32768;
        const std::int32_t to_b = (b - d) * 32768;
        const std::int32_t half_step = step / 4;  // half a step in the halved scale
        const bool nearer_a = (to_a < -half_step) & (to_b > half_step);
        const bool nearer_b = (to_b < -half_step) & (to_a > half_step);
        return valid & (nearer_a | nearer_b) & (std::abs(to_b - to_a) > step);
      };
      const bool valid = d != 0;
      between_lines[u] = static_cast<std::uint16_t>(
          valid * (between(here[u + 1], here[u - 1], across * d) |
                   between(below[u], above[u], down * d) << 1 |
                   between(below[u + 1], above[u - 1], diagonal * d) << 2 |
                   between(below[u - 1], above[u + 1], diagonal * d) << 3));
    }
    // Few readings lie between their neighbours: runs are followed for those alone, found
    // kGroupPx at a time.
    std::uint16_t * cleared = out.data() + static_cast<std::size_t>(v) * width;
    for (int group = first_column; group < end_column; group += kGroupPx) {
      std::uint64_t any = 0;
      std::memcpy(&any, &between_lines[group], sizeof(any));
      for (int u = group; any != 0 && u < std::min(group + kGroupPx, end_column); ++u) {
        cleared[u] = flying(u, between_lines[u]) ? 0 : cleared[u];
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
