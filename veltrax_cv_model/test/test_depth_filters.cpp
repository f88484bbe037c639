// Noise estimate, smoothing and flying pixels on rendered depth images whose true depth is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "veltrax_cv_model/depth_filters.hpp"

namespace veltrax_cv_model
{
namespace
{

constexpr int kWidth = 640;
constexpr int kHeight = 480;
const CameraIntrinsics kIntrinsics{525.0f, 525.0f, 319.5f, 239.5f};

// Depth (metres) of a plane z = a + b u + c v in inverse depth, as any plane is.
struct Plane
{
  double inverse_at_centre;
  double per_column;
  double per_row;
  double depth(int u, int v) const
  {
    return 1.0 / (inverse_at_centre + per_column * (u - 320) + per_row * (v - 240));
  }
};

// A floor-like plane from 1.2 m at the bottom row to 3.3 m at the top row, tilted across.
const Plane kFloor{1.0 / 2.0, 0.0002, 0.0012};

struct Image
{
  int width = kWidth;
  int height = kHeight;
  std::vector<std::uint16_t> readings =
      std::vector<std::uint16_t>(static_cast<std::size_t>(width) * height, 0);
  std::uint16_t & at(int u, int v) { return readings[static_cast<std::size_t>(v) * width + u]; }
  DepthImageView view() const
  {
    return DepthImageView{reinterpret_cast<const std::uint8_t *>(readings.data()),
                          2 * readings.size(),
                          width,
                          height,
                          2 * static_cast<std::size_t>(width),
                          "16UC1"};
  }
};

// Millimetre readings of `depth_m` with relative Gaussian noise, optionally rounded to the steps
// of a disparity sensor (one step of 0.00285 d^2 m).
template <typename Depth>
Image render(Depth && depth_m, double noise_rel, bool disparity_steps, std::uint32_t seed)
{
  std::mt19937 random(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  Image image;
  for (int v = 0; v < kHeight; ++v) {
    for (int u = 0; u < kWidth; ++u) {
      double d = depth_m(u, v) * (1.0 + noise_rel * gauss(random));
      if (disparity_steps) {
        const double disparity = std::round(1.0 / (0.00285 * d));
        d = 1.0 / (0.00285 * disparity);
      }
      image.at(u, v) = static_cast<std::uint16_t>(std::lround(d * 1000.0));
    }
  }
  return image;
}

double relative_rms(const std::vector<std::uint16_t> & readings, const Plane & truth)
{
  double sum = 0.0;
  int count = 0;
  for (int v = 0; v < kHeight; ++v) {
    for (int u = 0; u < kWidth; ++u) {
      const double d = readings[static_cast<std::size_t>(v) * kWidth + u] / 1000.0;
      const double error = (d - truth.depth(u, v)) / truth.depth(u, v);
      sum += error * error;
      ++count;
    }
  }
  return std::sqrt(sum / count);
}

TEST(DepthFilters, NoiseEstimateFollowsTheRandomNoiseOnly)
{
  struct Case
  {
    double noise_rel;
    bool disparity_steps;
    double low, high;  // bounds of the estimate
  };
  const Case cases[] = {
      {0.0, false, 0.0, 0.0005},  // millimetre rounding only
      {0.0, true, 0.0, 0.001},    // disparity steps: smooth sensors are left alone
      {0.003, false, 0.0027, 0.0033}, {0.01, false, 0.009, 0.011}, {0.02, false, 0.018, 0.022},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.noise_rel);
    const Image plane =
        render([](int u, int v) { return kFloor.depth(u, v); }, c.noise_rel, c.disparity_steps, 7);
    const float estimate = estimate_relative_depth_noise(plane.view(), kWidth);
    EXPECT_GE(estimate, c.low);
    EXPECT_LE(estimate, c.high);
    EXPECT_EQ(estimate > kSmoothedNoiseRel, c.noise_rel > kSmoothedNoiseRel);
  }
  // Depth edges in an eighth of the triples do not raise it much.
  const Image stripes = render(
      [](int u, int v) { return (u / 2) % 16 == 0 ? 1.5 : kFloor.depth(u, v); }, 0.01, false, 8);
  EXPECT_NEAR(estimate_relative_depth_noise(stripes.view(), kWidth), 0.01, 0.0025);
  // Too few readings make no estimate.
  Image sparse;
  for (int u = 0; u < kWidth; u += 2) {
    sparse.at(u, 0) = sparse.at(u + 1, 0) = 2000;
  }
  EXPECT_EQ(estimate_relative_depth_noise(sparse.view(), kWidth), 0.0f);
}

TEST(DepthFilters, SmoothingAveragesNoiseAndKeepsEdges)
{
  // A box at 1.5 m in front of the floor plane, holes scattered over both.
  const auto in_box = [](int u, int v) { return u >= 200 && u < 400 && v >= 150 && v < 350; };
  Image noisy =
      render([&](int u, int v) { return in_box(u, v) ? 1.5 : kFloor.depth(u, v); }, 0.01, false, 3);
  std::mt19937 random(5);
  for (int hole = 0; hole < 20000; ++hole) {
    noisy.at(static_cast<int>(random() % kWidth), static_cast<int>(random() % kHeight)) = 0;
  }
  std::vector<std::uint16_t> smoothed;
  smooth_depth_noise(noisy.view(), kWidth, 0.01f, smoothed);
  ASSERT_EQ(smoothed.size(), noisy.readings.size());

  int moved = 0;
  double box_error = 0.0;
  int box_count = 0;
  double floor_error = 0.0;
  int floor_count = 0;
  for (int v = 0; v < kHeight; ++v) {
    for (int u = 0; u < kWidth; ++u) {
      const std::size_t i = static_cast<std::size_t>(v) * kWidth + u;
      const int before = noisy.readings[i];
      if (before == 0 || before >= 5000) {
        continue;  // the floor's far corner lies beyond the far limit
      }
      const double truth = in_box(u, v) ? 1.5 : kFloor.depth(u, v);
      const double error = (smoothed[i] / 1000.0 - truth) / truth;
      // The edge stays where it is; only a pixel on it whose 3 x 3 neighbourhood reads mostly
      // the other side (a corner, or holes beside it) takes that side's depth.
      if (std::abs(error) > 0.04) {
        const bool on_edge = u == 199 || u == 200 || u == 399 || u == 400 || v == 149 || v == 150 ||
                             v == 349 || v == 350;
        ASSERT_TRUE(on_edge) << u << "," << v;
        ++moved;
        continue;
      }
      (in_box(u, v) ? box_error : floor_error) += error * error;
      ++(in_box(u, v) ? box_count : floor_count);
    }
  }
  EXPECT_LT(moved, 40);  // of about 1600 edge pixels
  EXPECT_LT(std::sqrt(box_error / box_count), 0.003);
  EXPECT_LT(std::sqrt(floor_error / floor_count), 0.003);

  // No noise given: a copy.
  smooth_depth_noise(noisy.view(), kWidth, 0.0f, smoothed);
  EXPECT_EQ(smoothed, noisy.readings);
  // A clean plane comes back within rounding.
  const Image clean = render([](int u, int v) { return kFloor.depth(u, v); }, 0.0, false, 1);
  smooth_depth_noise(clean.view(), kWidth, 0.01f, smoothed);
  EXPECT_LT(relative_rms(smoothed, kFloor), 0.0005);
}

// The sigma filter as its declaration states it, pixel by pixel with the window cut at the
// image's edges.
std::vector<std::uint16_t> plain_sigma_filter(const std::vector<std::uint16_t> & in, int width,
                                              int height, float noise_rel)
{
  const auto window = [&](int u, int v, int radius) {
    std::vector<int> valid;
    for (int y = std::max(v - radius, 0); y <= std::min(v + radius, height - 1); ++y) {
      for (int x = std::max(u - radius, 0); x <= std::min(u + radius, width - 1); ++x) {
        const int d = in[static_cast<std::size_t>(y) * width + x];
        if (d > 0 && d < 5000) valid.push_back(d);
      }
    }
    return valid;
  };
  std::vector<std::uint16_t> out = in;
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      const std::size_t i = static_cast<std::size_t>(v) * width + u;
      if (in[i] == 0 || in[i] >= 5000) continue;
      std::vector<int> near = window(u, v, 1);
      std::sort(near.begin(), near.end());
      const int median = near[near.size() / 2];
      const int tolerance = static_cast<int>(2.0f * noise_rel * static_cast<float>(median));
      int sum = 0;
      int count = 0;
      for (const int d : window(u, v, kSmoothingRadiusPx)) {
        if (std::abs(d - median) <= tolerance) sum += d, ++count;
      }
      out[i] = static_cast<std::uint16_t>((sum + count / 2) / count);
    }
  }
  return out;
}

TEST(DepthFilters, SmoothingEqualsThePlainSigmaFilter)
{
  // Blocks at 1.5 m and 4.95 m, where noise puts readings beyond the far limit; holes are 0 or
  // 65535. Many holes leave windows with even counts of valid readings, or none; narrow images
  // cut every window at the border.
  struct Case
  {
    int width, height;
    float noise_rel;
    int holes_per_100;
  };
  const Case cases[] = {
      {640, 480, 0.01f, 1}, {640, 480, 0.003f, 30}, {37, 23, 0.05f, 60},
      {1, 17, 0.01f, 20},   {17, 1, 0.01f, 20},     {64, 48, 1000.0f, 10},  // keeps every reading
  };
  std::uint32_t seed = 0;
  for (const Case & c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.noise_rel);
    std::mt19937 random(++seed);
    std::normal_distribution<double> gauss(0.0, c.noise_rel > 0.1f ? 0.01 : c.noise_rel);
    Image in{c.width, c.height};
    for (int v = 0; v < c.height; ++v) {
      for (int u = 0; u < c.width; ++u) {
        const double depth_mm = (u / 4 + v / 3) % 2 == 0 ? 1500.0 : 4950.0;
        const bool hole = static_cast<int>(random() % 100) < c.holes_per_100;
        in.at(u, v) = static_cast<std::uint16_t>(
            hole ? (random() % 2) * 65535 : std::lround(depth_mm * (1.0 + gauss(random))));
      }
    }
    std::vector<std::uint16_t> smoothed;
    smooth_depth_noise(in.view(), c.width, c.noise_rel, smoothed);
    const std::vector<std::uint16_t> expected =
        plain_sigma_filter(in.readings, c.width, c.height, c.noise_rel);
    ASSERT_EQ(smoothed.size(), expected.size());
    int differing = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) differing += smoothed[i] != expected[i];
    EXPECT_EQ(differing, 0);
  }
}

TEST(DepthFilters, FlyingPixelsBetweenTwoSurfacesAreClearedTheirEdgesKept)
{
  // A person-like block at 2.5 m in front of a wall at 2.7 m, with a two-pixel smear of
  // intermediate readings on its right edge; below, two slanted surfaces.
  Image image;
  for (int v = 0; v < kHeight; ++v) {
    for (int u = 0; u < kWidth; ++u) {
      image.at(u, v) = u < 300 ? 2500 : u == 300 ? 2560 : u == 301 ? 2630 : 2700;
      if (v >= 400) {
        image.at(u, v) = static_cast<std::uint16_t>(1500 + 3 * u);  // about 45 degrees
      }
      if (v >= 440) {  // 13 degrees from the rays, across the rows: steep, but a surface
        image.at(u, v) = static_cast<std::uint16_t>(std::lround(2000.0 * std::pow(1.008, v - 440)));
      }
    }
  }
  // Holes in the smear: the smear pixel beside the middle one has no pair of neighbours around
  // it left; those beside the others still have a diagonal pair.
  for (int v = 99; v <= 101; ++v) {
    image.at(300, v) = 0;
  }
  std::vector<std::uint16_t> out;
  copy_depth(image.view(), kWidth, out);
  ASSERT_EQ(out, image.readings);
  clear_flying_pixels(image.view(), kWidth, {0, kWidth, 0, 390}, kIntrinsics, out);
  clear_flying_pixels(image.view(), kWidth, {0, kWidth, 410, kHeight}, kIntrinsics, out);
  for (int v = 0; v < kHeight; ++v) {
    SCOPED_TRACE(v);
    const bool smear_row = v >= 1 && v < 390;  // row 0 is the image border
    for (int u = 0; u < kWidth; ++u) {
      if (v == 440 && u > 140 && u < 170) {
        continue;  // where the 45 degree surface above comes within two steep steps: see below
      }
      // The first row of the 13 degree surface, where the surface above is far nearer: its
      // readings lie between the two and more than half a steep step from each, which is all a
      // smear pixel shows. The rows below continue it steadily, but so would a smear one
      // disparity step beyond an edge that oblique: only a grazing surface's run keeps it.
      const bool shadowed = v == 440 && u >= 1 && u <= 140;
      const bool smear =
          ((u == 300 || u == 301) && smear_row && !(u == 301 && v == 100)) || shadowed;
      const std::uint16_t expected = smear ? 0 : image.at(u, v);
      ASSERT_EQ(out[static_cast<std::size_t>(v) * kWidth + u], expected) << u;
    }
  }
  // Outside the rectangle nothing changes.
  copy_depth(image.view(), kWidth, out);
  clear_flying_pixels(image.view(), kWidth, {0, 300, 0, 390}, kIntrinsics, out);
  EXPECT_EQ(out, image.readings);
}

// Per pixel, whether clear_flying_pixels over the whole image cleared a reading there.
std::vector<bool> cleared_readings(const Image & image)
{
  std::vector<std::uint16_t> out;
  copy_depth(image.view(), image.width, out);
  clear_flying_pixels(image.view(), image.width, {0, image.width, 0, image.height}, kIntrinsics,
                      out);
  std::vector<bool> cleared(out.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    cleared[i] = out[i] != image.readings[i];
  }
  return cleared;
}

// Within kSmearWidthPx of the image border a run may leave the image: nothing to follow there.
bool run_fits(int u, int v)
{
  return std::min({u, v, kWidth - 1 - u, kHeight - 1 - v}) > kSmearWidthPx;
}

// A box's top beyond 1.7 m from a camera 0.5 m high, a wall along the view, a floor far ahead:
// planes seen more obliquely than kFlyingPixelAngleRad, whose readings step by more than two
// steep steps over two pixels, but steadily. Pins the fault of the steep-step test alone, which
// cleared all but their nearest readings (30 000 to 52 000 of each plane here).
TEST(DepthFilters, FlyingPixelsLeavePlanesSeenAtGrazingAnglesWhole)
{
  struct Case
  {
    double angle_deg;  // from the ray through the image centre, 2 m away there
    int du, dv;        // image direction in which the plane recedes
  };
  const Case cases[] = {{3, 0, -1}, {5, 0, -1}, {8, 0, -1}, {3, 1, 0},
                        {5, 1, 0},  {8, -1, 0}, {5, 1, -1}, {8, -1, -1}};
  for (const Case & c : cases) {
    for (const bool disparity_steps : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.angle_deg << " deg towards (" << c.du << ", " << c.dv
                                      << (disparity_steps ? "), disparity steps" : ")"));
      // Inverse depth is affine on a plane; beyond the far limit the sensor reads nothing.
      const double angle = c.angle_deg * M_PI / 180.0;
      const double along = 1.0 / (kIntrinsics.fx * std::hypot(c.du, c.dv));
      const Image plane = render(
          [&](int u, int v) {
            const double offset =
                ((u - kIntrinsics.cx) * c.du + (v - kIntrinsics.cy) * c.dv) * along;
            const double inverse =
                (std::sin(angle) - std::cos(angle) * offset) / (2.0 * std::sin(angle));
            return inverse > 1.0 / kFarDepthLimitM ? 1.0 / inverse : 0.0;
          },
          0.0, disparity_steps, 1);
      ASSERT_GT(std::count_if(plane.readings.begin(), plane.readings.end(),
                              [](std::uint16_t d) { return d > 0; }),
                kWidth * kHeight / 4);
      // Only beside the border, where a run would leave the image on one side and meet the far
      // limit on the other, do a few readings go.
      const std::vector<bool> cleared = cleared_readings(plane);
      int beside_border = 0;
      for (int v = 0; v < kHeight; ++v) {
        for (int u = 0; u < kWidth; ++u) {
          if (cleared[static_cast<std::size_t>(v) * kWidth + u]) {
            ASSERT_FALSE(run_fits(u, v)) << u << "," << v;
            ++beside_border;
          }
        }
      }
      EXPECT_LE(beside_border, 20);
    }
  }
}

// The smear at a depth edge, one or two pixels wide, still goes when a surface beside it is seen
// at a grazing angle: a run from a smear pixel takes a step on a surface beside it, flat next to
// the jump the smear bridges.
TEST(DepthFilters, FlyingPixelsBesideGrazingSurfacesAreStillCleared)
{
  // Inverse depth (1/m) of a surface at its pixel next to the smear, and its change per pixel
  // away from the smear (positive: nearer there).
  struct Surface
  {
    double inverse_at_edge;
    double step;
  };
  constexpr double kDisparityStep = 0.00285;  // 1/m, as render quantises
  // A surface at depth z seen at `angle_deg` from the ray steps by cot(angle) z / f in depth per
  // pixel, cot(angle) / (f z) in inverse depth.
  const auto seen_at = [](double depth_m, double angle_deg) {
    return Surface{1.0 / depth_m, 1.0 / (std::tan(angle_deg * M_PI / 180.0) * 525.0 * depth_m)};
  };
  const Surface person{1.0 / 2.5, 0.0};
  const Surface wall{1.0 / 2.7, 0.0};
  // A 20 cm box's far top edge 2 m from a camera 0.5 m high (8.5 degrees), the floor beyond it
  // from 3.33 m; the near surface climbs towards the camera, away from the smear.
  const Surface box_top = seen_at(2.0, 8.5);
  const Surface far_floor{0.3, -seen_at(3.33, 8.5).step};
  const auto thirds = [](double near, double far) {
    return std::vector<double>{near + (far - near) / 3.0, near + 2.0 * (far - near) / 3.0};
  };
  struct Case
  {
    const char * what;
    Surface near, far;
    std::vector<double> (*smear)(double near, double far);  // inverse depths, near side first
    bool along_rows;  // the edge crosses the rows (else the columns)
  };
  const Case cases[] = {
      {"one pixel halfway", person, wall,
       [](double n, double f) { return std::vector<double>{(n + f) / 2}; }, true},
      {"one disparity step off the far side", person, wall,
       [](double, double f) { return std::vector<double>{f + kDisparityStep}; }, true},
      {"one disparity step off the near side", person, wall,
       [](double n, double) { return std::vector<double>{n - kDisparityStep}; }, true},
      {"two pixels", person, wall, thirds, true},
      {"grazing top, one pixel", box_top, far_floor,
       [](double n, double f) { return std::vector<double>{(n + f) / 2}; }, false},
      {"grazing top, two pixels", box_top, far_floor, thirds, false},
  };
  for (const Case & c : cases) {
    for (const bool disparity_steps : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (disparity_steps ? ", disparity steps" : ""));
      const std::vector<double> smear = c.smear(c.near.inverse_at_edge, c.far.inverse_at_edge);
      const int first = c.along_rows ? kWidth / 2 : kHeight / 2;  // first smear pixel
      const int end = first + static_cast<int>(smear.size());
      // Position across the edge: the near surface below `first`, the far one from `end` on.
      const auto across = [&](int u, int v) { return c.along_rows ? u : kHeight - 1 - v; };
      const Image image = render(
          [&](int u, int v) {
            const int x = across(u, v);
            const double inverse = x < first
                                       ? c.near.inverse_at_edge + c.near.step * (first - 1 - x)
                                   : x < end ? smear[x - first]
                                             : c.far.inverse_at_edge + c.far.step * (x - end);
            return inverse > 1.0 / kFarDepthLimitM ? 1.0 / inverse : 0.0;
          },
          0.0, disparity_steps, 1);
      // Every smear reading off the image border goes, every surface reading stays.
      const std::vector<bool> cleared = cleared_readings(image);
      std::vector<int> smear_kept;
      std::vector<int> surface_cleared;
      for (int v = 1; v + 1 < kHeight; ++v) {
        for (int u = 1; u + 1 < kWidth; ++u) {
          const int i = v * kWidth + u;
          const bool on_smear = across(u, v) >= first && across(u, v) < end;
          if (on_smear && !cleared[i]) {
            smear_kept.push_back(i);
          } else if (!on_smear && cleared[i] && run_fits(u, v)) {
            surface_cleared.push_back(i);
          }
        }
      }
      EXPECT_EQ(smear_kept, std::vector<int>{});
      EXPECT_EQ(surface_cleared, std::vector<int>{});
    }
  }
}

}  // namespace
}  // namespace veltrax_cv_model
