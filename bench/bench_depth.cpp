// Per-stage cost of the depth geometry of one camera frame (milk_cartoon, 640x480), at the
// default leaf size (1 mm, where the whole-frame voxel grid overflows and is skipped) and at 1 cm.
// Arguments: leaf size in micrometres, and for the per-detection stage the number of boxes.
// The smoothing is also timed on a rendered noisy image beside the implementation it replaced
// (Reference), a copy kept here only for that comparison.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "support/rgbd_frames.hpp"
#include "veltrax_cv_model/back_projection.hpp"
#include "veltrax_cv_model/depth_filters.hpp"
#include "veltrax_cv_model/detection_cloud.hpp"
#include "veltrax_cv_model/ground_removal.hpp"
#include "veltrax_cv_model/pipeline_settings.hpp"

namespace
{

using veltrax_cv_model::BackProjectionStatus;
using veltrax_cv_model::GroundRemovalParams;
using veltrax_cv_model::PixelRect;
using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using Model = veltrax_cv_model::GroundRemoval<pcl::PointXYZ>;

const GroundRemovalParams kParams = veltrax_cv_model::settings_from_parameters({}).clouds.ground;
constexpr float kZMin = 0.1f;
constexpr float kZMax = 5.0f;

const veltrax_cv_model::test::RecordedScene & frame()
{
  static const auto scene = veltrax_cv_model::test::load_recorded_scene("milk_cartoon");
  return scene;
}

float leaf_of(const benchmark::State & state) { return static_cast<float>(state.range(0)) * 1e-6f; }

void back_project(const PixelRect & rect, float leaf, Cloud & out)
{
  const auto & f = frame();
  const auto result = veltrax_cv_model::back_project_depth(
      f.depth.view(), f.depth.width, rect, veltrax_cv_model::test::kinect_intrinsics(), leaf, out);
  if (result.status != BackProjectionStatus::kOk) {
    std::abort();
  }
}

// 120x90 boxes centred in the tiles of a 4x4 grid, central tiles first.
std::vector<PixelRect> boxes(int count)
{
  static const int order[16] = {5, 6, 9, 10, 0, 1, 2, 3, 4, 7, 8, 11, 12, 13, 14, 15};
  std::vector<PixelRect> out;
  for (int i = 0; i < count; ++i) {
    const int col = order[i] % 4, row = order[i] / 4;
    out.push_back({col * 160 + 20, col * 160 + 140, row * 120 + 15, row * 120 + 105});
  }
  return out;
}

void BM_WholeFrameBackProjection(benchmark::State & state)
{
  Cloud out;
  for (auto _ : state) {
    back_project({0, 640, 0, 480}, leaf_of(state), out);
    benchmark::DoNotOptimize(out.points.data());
  }
  state.counters["points"] = static_cast<double>(out.size());
}

void BM_Crop(benchmark::State & state)
{
  Cloud scene, out;
  back_project({0, 640, 0, 480}, leaf_of(state), scene);
  for (auto _ : state) {
    veltrax_cv_model::crop_camera_frame(scene, kZMin, kZMax, out);
    benchmark::DoNotOptimize(out.points.data());
  }
  state.counters["points"] = static_cast<double>(out.size());
}

void BM_Transform(benchmark::State & state)
{
  Cloud scene, cropped, out;
  back_project({0, 640, 0, 480}, leaf_of(state), scene);
  veltrax_cv_model::crop_camera_frame(scene, kZMin, kZMax, cropped);
  for (auto _ : state) {
    veltrax_cv_model::transform_to_base(cropped, frame().camera_to_base, out);
    benchmark::DoNotOptimize(out.points.data());
  }
}

void BM_GroundModel(benchmark::State & state)
{
  Cloud scene, base;
  back_project({0, 640, 0, 480}, leaf_of(state), scene);
  veltrax_cv_model::crop_and_transform(scene, kZMin, kZMax, frame().camera_to_base, base);
  for (auto _ : state) {
    Model model(kParams);
    model.set_input_cloud(base);
    benchmark::DoNotOptimize(model.own_model_sectors());
  }
  state.counters["points"] = static_cast<double>(base.size());
}

// Everything a detection costs once the frame's model exists: back-project its box, crop,
// transform, remove ground.
void BM_PerDetection(benchmark::State & state)
{
  const float leaf = leaf_of(state);
  Cloud scene, base;
  back_project({0, 640, 0, 480}, leaf, scene);
  veltrax_cv_model::crop_and_transform(scene, kZMin, kZMax, frame().camera_to_base, base);
  Model model(kParams);
  model.set_input_cloud(base);
  const auto rects = boxes(static_cast<int>(state.range(1)));
  std::size_t kept = 0;
  for (auto _ : state) {
    kept = 0;
    for (const PixelRect & rect : rects) {
      Cloud camera, robot;
      back_project(rect, leaf, camera);
      veltrax_cv_model::crop_and_transform(camera, kZMin, kZMax, frame().camera_to_base, robot);
      auto non_ground = std::make_shared<Cloud>();
      model.groundRemove(robot, non_ground, std::make_shared<Cloud>());
      kept += non_ground->size();
    }
    benchmark::DoNotOptimize(kept);
  }
  state.counters["non_ground_points"] = static_cast<double>(kept);
}

// The smoothing as it was: per pixel, a 3 x 3 median by nth_element and a 5 x 5 mean, both with
// the bounds clamped to the image, after copying the image twice.
int reference_median(const std::vector<std::uint16_t> & in, int width, int height, int u, int v)
{
  int near[9];
  int count = 0;
  for (int y = std::max(v - 1, 0); y <= std::min(v + 1, height - 1); ++y) {
    for (int x = std::max(u - 1, 0); x <= std::min(u + 1, width - 1); ++x) {
      const int d = in[static_cast<std::size_t>(y) * width + x];
      if (d > 0 && d < 5000) {
        near[count++] = d;
      }
    }
  }
  std::nth_element(near, near + count / 2, near + count);
  return near[count / 2];
}

void reference_smooth_depth_noise(const veltrax_cv_model::DepthImageView & depth, int row_length,
                                  float noise_rel, std::vector<std::uint16_t> & out)
{
  const int width = depth.width;
  const int height = depth.height;
  std::vector<std::uint16_t> in;
  veltrax_cv_model::copy_depth(depth, row_length, in);
  out = in;
  const int radius = veltrax_cv_model::kSmoothingRadiusPx;
  const float spread = 2.0f * noise_rel;
  for (int v = 0; v < height; ++v) {
    const int top = std::max(v - radius, 0);
    const int bottom = std::min(v + radius, height - 1);
    for (int u = 0; u < width; ++u) {
      const std::size_t at = static_cast<std::size_t>(v) * width + u;
      if (!(in[at] > 0 && in[at] < 5000)) {
        continue;
      }
      const int reference = reference_median(in, width, height, u, v);
      const int tolerance = static_cast<int>(spread * static_cast<float>(reference));
      const int left = std::max(u - radius, 0);
      const int right = std::min(u + radius, width - 1);
      int sum = 0;
      int count = 0;
      for (int y = top; y <= bottom; ++y) {
        const std::uint16_t * line = in.data() + static_cast<std::size_t>(y) * width;
        for (int x = left; x <= right; ++x) {
          const int d = line[x];
          if (d > 0 && d < 5000 && std::abs(d - reference) <= tolerance) {
            sum += d;
            ++count;
          }
        }
      }
      out[at] = static_cast<std::uint16_t>((sum + count / 2) / count);
    }
  }
}

// A tilted floor, 1.2 m at the bottom to beyond the far limit in a top corner, with a box at
// 1.5 m before it, 1 % Gaussian noise and one reading in a hundred missing, as a noisy sensor's
// frame: millimetres, 640 x 480.
const std::vector<std::uint16_t> & noisy_depth()
{
  static const std::vector<std::uint16_t> readings = [] {
    std::mt19937 random(11);
    std::normal_distribution<double> gauss(0.0, 0.01);
    std::vector<std::uint16_t> out(std::size_t{640} * 480);
    for (int v = 0; v < 480; ++v) {
      for (int u = 0; u < 640; ++u) {
        const bool box = u >= 200 && u < 400 && v >= 150 && v < 350;
        const double depth_m = box ? 1.5 : 1.0 / (0.5 + 0.0002 * (u - 320) + 0.0012 * (v - 240));
        const bool missing = random() % 100 == 0;
        out[static_cast<std::size_t>(v) * 640 + u] =
            missing
                ? 0
                : static_cast<std::uint16_t>(std::lround(depth_m * 1000.0 * (1.0 + gauss(random))));
      }
    }
    return out;
  }();
  return readings;
}

void smoothing_benchmark(benchmark::State & state, bool reference)
{
  const auto & readings = noisy_depth();
  const veltrax_cv_model::DepthImageView view{
      reinterpret_cast<const std::uint8_t *>(readings.data()),
      2 * readings.size(),
      640,
      480,
      2 * std::size_t{640},
      "16UC1"};
  std::vector<std::uint16_t> out;
  for (auto _ : state) {
    if (reference) {
      reference_smooth_depth_noise(view, 640, 0.01f, out);
    } else {
      veltrax_cv_model::smooth_depth_noise(view, 640, 0.01f, out);
    }
    benchmark::DoNotOptimize(out.data());
  }
}

}  // namespace

// The depth clean-up of a frame: the noise estimate every frame pays, the smoothing a noisy
// frame pays, and the flying pixels of a whole frame (boxes pay their share of it).
void BM_NoiseEstimate(benchmark::State & state)
{
  const auto & f = frame();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        veltrax_cv_model::estimate_relative_depth_noise(f.depth.view(), f.depth.width));
  }
}

void BM_NoiseSmoothing(benchmark::State & state)
{
  const auto & f = frame();
  std::vector<std::uint16_t> out;
  for (auto _ : state) {
    veltrax_cv_model::smooth_depth_noise(f.depth.view(), f.depth.width, 0.01f, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_NoisySmoothing(benchmark::State & state) { smoothing_benchmark(state, false); }

void BM_NoisySmoothingReference(benchmark::State & state) { smoothing_benchmark(state, true); }

void BM_FlyingPixels(benchmark::State & state)
{
  const auto & f = frame();
  std::vector<std::uint16_t> out;
  for (auto _ : state) {
    veltrax_cv_model::copy_depth(f.depth.view(), f.depth.width, out);
    veltrax_cv_model::clear_flying_pixels(f.depth.view(), f.depth.width,
                                          {0, f.depth.width, 0, f.depth.height},
                                          veltrax_cv_model::test::kinect_intrinsics(), out);
    benchmark::DoNotOptimize(out.data());
  }
}

BENCHMARK(BM_NoiseEstimate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NoiseSmoothing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NoisySmoothing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NoisySmoothingReference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlyingPixels)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeFrameBackProjection)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crop)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Transform)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GroundModel)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerDetection)->ArgsProduct({{1000, 10000}, {1, 4, 16}})->Unit(benchmark::kMillisecond);
