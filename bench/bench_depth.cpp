// Per-stage cost of the depth geometry of one camera frame (milk_cartoon, 640x480), at the
// default leaf size (1 mm, where the whole-frame voxel grid overflows and is skipped) and at 1 cm.
// Arguments: leaf size in micrometres, and for the per-detection stage the number of boxes.
#include <benchmark/benchmark.h>

#include <memory>
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
BENCHMARK(BM_FlyingPixels)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeFrameBackProjection)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crop)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Transform)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GroundModel)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerDetection)->ArgsProduct({{1000, 10000}, {1, 4, 16}})->Unit(benchmark::kMillisecond);
