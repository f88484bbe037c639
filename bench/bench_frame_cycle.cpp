// One frame cycle of the node on the demo scene (two obstacles, a person, two bottles, a mask and
// a blood spot in view of two 640x480 RGB-D cameras), stage by stage:
//   detection      detectImagePair: colour conversion, resize, host NPU runtime, decoding
//   clouds/camN    the detection-cloud builder on one camera (a transform worker's job), beside
//                  the PCL chain it replaced (Reference), also over frame sizes and box counts
//   fusion         the obstacle outliner on the pooled detection clouds: split, merge, hulls,
//                  outline
//   cycle          timer_callback: all of the above with the two workers and their join;
//                  counters: the cycle thread's CPU time, hand-over and join latency
// Each runs at the built-in leaf size (0.001 m) and at 0.01 m, the clouds also at the shipped 0.005
// m. The decoding of both batch slots is timed by bench_decode. Then a cycle's cloud work (both
// cameras' clouds, the fusion) on the two recorded Kinect frames with 1 % depth noise, at the
// shipped parameters (params.yaml).
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "cv_bridge/cv_bridge.h"

#include "footprint/degradation.hpp"
#include "footprint/frame_data.hpp"
#include "footprint/pipeline_params.hpp"
#include "scene/scene.hpp"
#include "support/reference_clouds.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "veltrax_cv_model/pipeline_settings.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_harness/harness.hpp"

namespace
{

using veltrax_cv_model::CameraIntrinsics;
using veltrax_cv_model::CloudList;
using veltrax_cv_model::DetectionFrame;
using veltrax_cv_model::ImageConstPtr;
using veltrax_cv_model::Yolov5sPredictor;

constexpr int kSceneFrame = 10;

ImageConstPtr to_message(const cv::Mat & image, const std::string & encoding,
                         const std::string & frame_id)
{
  auto msg = std::make_shared<sensor_msgs::msg::Image>();
  msg->header.frame_id = frame_id;
  msg->width = static_cast<uint32_t>(image.cols);
  msg->height = static_cast<uint32_t>(image.rows);
  msg->encoding = encoding;
  msg->step = static_cast<uint32_t>(image.cols * image.elemSize());
  msg->data.assign(image.datastart, image.dataend);
  return msg;
}

Eigen::Matrix4f matrix_of(const veltrax_scene::CameraModel & camera)
{
  return camera.camera_to_base().matrix().cast<float>();
}

CameraIntrinsics intrinsics_of(const veltrax_scene::CameraModel & camera)
{
  return CameraIntrinsics{static_cast<float>(camera.fx), static_cast<float>(camera.fy),
                          static_cast<float>(camera.cx), static_cast<float>(camera.cy)};
}

double thread_cpu_seconds()
{
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Per cycle, in milliseconds, of a time summed over the benchmark's iterations.
benchmark::Counter per_cycle_ms(const benchmark::State & state, double total_s)
{
  return benchmark::Counter(1e3 * total_s / static_cast<double>(state.iterations()));
}

// The node with the demo's model and `leaf_mm`, its own parameters otherwise; the node reads its
// parameters at construction.
struct NodeSession
{
  explicit NodeSession(int leaf_mm)
      : ros({"--log-level", "warn", "-p",
             "rknn_model_path:=" + std::string(VELTRAX_MODELS_DIR) + "/colour_key_640.yaml", "-p",
             "obj_class_num:=8", "-p", "downsample_leaf_size:=" + std::to_string(leaf_mm * 1e-3)},
            "bench"),
        node(std::make_shared<Yolov5sPredictor>())
  {
  }

  veltrax_harness::RosSession ros;
  std::shared_ptr<Yolov5sPredictor> node;
};

// One rendered frame of the demo scene and the node's detections on it; shared by every benchmark.
struct Fixture
{
  Fixture() : scene(veltrax_scene::make_demo_scene())
  {
    const veltrax_scene::Frame frame = veltrax_scene::render_frame(scene, kSceneFrame);
    for (int camera = 0; camera < 2; ++camera) {
      const veltrax_scene::CameraModel & model_camera = scene.cameras[camera];
      color[camera] = to_message(frame.views[camera].color_rgb, "rgb8", model_camera.frame_id);
      depth[camera] = to_message(frame.views[camera].depth_mm, "16UC1", model_camera.frame_id);
      views[camera] = veltrax_cv_model::CameraView{intrinsics_of(model_camera), 0.2f, 3.0f,
                                                   matrix_of(model_camera)};
    }
    NodeSession session(1);
    session.node->detectImagePair(&frames[0], &frames[1], color[0], color[1]);
  }

  veltrax_scene::Scene scene;
  ImageConstPtr color[2];
  ImageConstPtr depth[2];
  veltrax_cv_model::CameraView views[2];
  DetectionFrame frames[2];
};

Fixture & fixture()
{
  static Fixture instance;
  return instance;
}

// The shipped floor settings at the benchmark's leaf.
veltrax_cv_model::DetectionCloudBuilder cloud_builder(const benchmark::State & state)
{
  return veltrax_cv_model::DetectionCloudBuilder(veltrax_cv_model::DetectionCloudSettings{
      static_cast<float>(state.range(0)) * 1e-3f,
      veltrax_cv_model::settings_from_parameters({}).clouds.ground});
}

// One camera's depth frame and detections, resized to another frame size with its intrinsics and
// boxes, and its detections repeated or cut to a count.
struct CameraInput
{
  cv::Mat depth_mm;
  veltrax_cv_model::CameraView view;
  std::vector<veltrax_cv_model::DetectedObject> boxes;

  veltrax_cv_model::DepthImageView depth() const
  {
    return {depth_mm.data, depth_mm.total() * 2, depth_mm.cols,
            depth_mm.rows, depth_mm.step,        "16UC1"};
  }
};

CameraInput camera_input(int camera, cv::Size size = {640, 480}, int boxes = -1)
{
  Fixture & f = fixture();
  const sensor_msgs::msg::Image & depth = *f.depth[camera];
  const cv::Mat original(static_cast<int>(depth.height), static_cast<int>(depth.width), CV_16UC1,
                         const_cast<std::uint8_t *>(depth.data.data()));
  CameraInput input{cv::Mat(), f.views[camera], {}};
  cv::resize(original, input.depth_mm, size, 0.0, 0.0, cv::INTER_NEAREST);
  const float sx = static_cast<float>(size.width) / static_cast<float>(original.cols);
  const float sy = static_cast<float>(size.height) / static_cast<float>(original.rows);
  CameraIntrinsics & k = input.view.intrinsics;
  k = {k.fx * sx, k.fy * sy, (k.cx + 0.5f) * sx - 0.5f, (k.cy + 0.5f) * sy - 0.5f};
  const auto & objects = f.frames[camera].objects;
  const std::size_t count = boxes < 0 ? objects.size() : static_cast<std::size_t>(boxes);
  for (std::size_t i = 0; i < count && !objects.empty(); ++i) {
    veltrax_cv_model::DetectedObject box = objects[i % objects.size()];
    box.left = static_cast<int>(static_cast<float>(box.left) * sx);
    box.right = static_cast<int>(static_cast<float>(box.right) * sx);
    box.top = static_cast<int>(static_cast<float>(box.top) * sy);
    box.bottom = static_cast<int>(static_cast<float>(box.bottom) * sy);
    input.boxes.push_back(box);
  }
  return input;
}

CloudList clouds_of_camera(const veltrax_cv_model::DetectionCloudBuilder & builder, int camera)
{
  const CameraInput input = camera_input(camera);
  CloudList clouds;
  builder.build(input.depth(), input.depth_mm.cols, input.boxes, input.view, clouds);
  return clouds;
}

// The fused builder (`reference` false) or the PCL chain on `input`.
void clouds_benchmark(benchmark::State & state, const CameraInput & input, float leaf_m,
                      bool reference)
{
  const veltrax_cv_model::DetectionCloudBuilder builder(veltrax_cv_model::DetectionCloudSettings{
      leaf_m, veltrax_cv_model::settings_from_parameters({}).clouds.ground});
  CloudList clouds;
  for (auto _ : state) {
    if (reference) {
      clouds = veltrax_cv_model::test::reference_clouds(input.depth(), input.depth_mm.cols,
                                                        input.boxes, input.view, builder.settings())
                   .clouds;
    } else {
      builder.build(input.depth(), input.depth_mm.cols, input.boxes, input.view, clouds);
    }
    benchmark::DoNotOptimize(clouds.data());
  }
  std::size_t points = 0;
  for (const auto & cloud : clouds) points += cloud.size();
  state.counters["clouds"] = static_cast<double>(clouds.size());
  state.counters["points"] = static_cast<double>(points);
}

// The recorded frames as cameras 1 (milk_cartoon) and 2 (five_people), each with the transform
// and boxes of its frame.yaml and the crop range of its camera, 1 % relative depth noise added
// once (seed 1): a noise the builder smooths.
std::array<CameraInput, 2> noisy_recorded_cameras(const veltrax_footprint::PipelineParams & params)
{
  std::array<CameraInput, 2> cameras;
  const char * const names[] = {"milk_cartoon", "five_people"};
  for (int c = 0; c < 2; ++c) {
    const veltrax_footprint::FrameData frame =
        veltrax_footprint::load_frame_dir(std::string(TEST_DATA_DIR) + "/rgbd/" + names[c]);
    cameras[c] = CameraInput{veltrax_footprint::add_relative_depth_noise(frame.depth_mm, 0.01, 1),
                             veltrax_footprint::camera_view(params, c + 1, frame.intrinsics,
                                                            frame.description.camera_to_base),
                             veltrax_footprint::detections_of(frame.description)};
  }
  return cameras;
}

// A cycle's cloud work on the recorded frames: each camera's builder (smoothing, floor model,
// box clouds) as its transform worker runs it, then the outliner on the pooled clouds. The
// cameras run one after the other here; the node overlaps them on its two workers. Counters:
// each part's share of the cycle, how many cameras' images were smoothed, the points of the
// box clouds the fusion gets and of the outline it makes.
void BM_RecordedNoisyCycle(benchmark::State & state)
{
  const veltrax_footprint::PipelineParams params =
      veltrax_footprint::load_pipeline_params(SHIPPED_PARAMS_FILE);
  const std::array<CameraInput, 2> cameras = noisy_recorded_cameras(params);
  const veltrax_cv_model::DetectionCloudBuilder builder(params.clouds);
  const veltrax_cv_model::ObstacleOutliner outliner(params.clusters);
  using Clock = std::chrono::steady_clock;
  std::array<double, 3> part_s{};  // camera 1, camera 2, fusion
  int smoothed = 0;
  std::size_t box_points = 0;
  std::size_t outline_points = 0;
  for (auto _ : state) {
    CloudList detection_clouds;
    Clock::time_point start = Clock::now();
    auto lap = [&](std::size_t part) {
      const Clock::time_point now = Clock::now();
      part_s[part] += std::chrono::duration<double>(now - start).count();
      start = now;
    };
    smoothed = 0;
    for (std::size_t c = 0; c < cameras.size(); ++c) {
      const CameraInput & input = cameras[c];
      CloudList clouds;
      const veltrax_cv_model::CloudBuildReport report =
          builder.build(input.depth(), input.depth_mm.cols, input.boxes, input.view, clouds);
      smoothed += report.depth_smoothed ? 1 : 0;
      std::move(clouds.begin(), clouds.end(), std::back_inserter(detection_clouds));
      lap(c);
    }
    box_points = 0;
    for (const veltrax_cv_model::Cloud & cloud : detection_clouds) {
      box_points += cloud.size();
    }
    veltrax_cv_model::Cloud outline;
    outliner.outline(detection_clouds, outline);
    lap(2);
    outline_points = outline.size();
    benchmark::DoNotOptimize(outline.points.data());
  }
  state.counters["camera1_ms"] = per_cycle_ms(state, part_s[0]);
  state.counters["camera2_ms"] = per_cycle_ms(state, part_s[1]);
  state.counters["fusion_ms"] = per_cycle_ms(state, part_s[2]);
  state.counters["smoothed"] = smoothed;
  state.counters["box_points"] = static_cast<double>(box_points);
  state.counters["outline_points"] = static_cast<double>(outline_points);
}

void BM_CloudsOfCamera(benchmark::State & state)
{
  clouds_benchmark(state, camera_input(static_cast<int>(state.range(1))),
                   static_cast<float>(state.range(0)) * 1e-3f, false);
}

void BM_CloudsOfCameraReference(benchmark::State & state)
{
  clouds_benchmark(state, camera_input(static_cast<int>(state.range(1))),
                   static_cast<float>(state.range(0)) * 1e-3f, true);
}

// Camera 1 at the built-in 1 mm leaf, its depth frame resized and its detections repeated.
void BM_CloudsScaling(benchmark::State & state)
{
  const cv::Size size(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  clouds_benchmark(state, camera_input(0, size, static_cast<int>(state.range(2))), 0.001f,
                   state.range(3) != 0);
}

void BM_Detection(benchmark::State & state)
{
  Fixture & f = fixture();
  NodeSession session(1);
  for (auto _ : state) {
    DetectionFrame frame1;
    DetectionFrame frame2;
    session.node->detectImagePair(&frame1, &frame2, f.color[0], f.color[1]);
    benchmark::DoNotOptimize(frame1.objects.data());
  }
  state.counters["objects"] =
      static_cast<double>(f.frames[0].objects.size() + f.frames[1].objects.size());
}

// The colour frames' way through one cycle before the detector runs. Copied (0): as the cycle used
// to, a BGR copy converted to RGB for the detector and a message copy each into the detections,
// the transform worker's input and the worker itself, and camera 1's into the web worker's
// input. Shared (1): as now, the detector reads the message in place (rgb8) and every record
// holds the same message.
void BM_ColourFramesPerCycle(benchmark::State & state)
{
  Fixture & f = fixture();
  const bool shared = state.range(0) != 0;
  for (auto _ : state) {
    for (int c = 0; c < 2; ++c) {
      if (shared) {
        const cv_bridge::CvImageConstPtr rgb = cv_bridge::toCvShare(f.color[c], "rgb8");
        DetectionFrame frame;
        frame.image = f.color[c];
        const DetectionFrame worker_input = frame;
        const DetectionFrame web_input = frame;
        benchmark::DoNotOptimize(rgb->image.data);
        benchmark::DoNotOptimize(worker_input.image.get());
        benchmark::DoNotOptimize(web_input.image.get());
        continue;
      }
      const cv_bridge::CvImagePtr bgr = cv_bridge::toCvCopy(f.color[c], "bgr8");
      cv::Mat rgb;
      cv::cvtColor(bgr->image, rgb, cv::COLOR_BGR2RGB);
      const sensor_msgs::msg::Image in_frame = *f.color[c];
      // Never modified, but the copy is what this case times.
      // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
      const sensor_msgs::msg::Image worker_input = in_frame;
      const sensor_msgs::msg::Image in_worker = worker_input;
      benchmark::DoNotOptimize(rgb.data);
      benchmark::DoNotOptimize(in_worker.data.data());
      if (c == 0) {
        const sensor_msgs::msg::Image web_input = in_frame;
        benchmark::DoNotOptimize(web_input.data.data());
      }
    }
  }
}

void BM_Fusion(benchmark::State & state)
{
  const veltrax_cv_model::DetectionCloudBuilder builder = cloud_builder(state);
  CloudList detection_clouds;
  for (int camera = 0; camera < 2; ++camera) {
    CloudList clouds = clouds_of_camera(builder, camera);
    detection_clouds.insert(detection_clouds.end(), clouds.begin(), clouds.end());
  }
  const veltrax_cv_model::ObstacleOutliner outliner{veltrax_cv_model::ClusterSettings{}};
  for (auto _ : state) {
    veltrax_cv_model::Cloud outline;
    outliner.outline(detection_clouds, outline);
    benchmark::DoNotOptimize(outline.points.data());
  }
}

// The node's whole cycle as its timer runs it, fed through its topics.
void BM_WholeCycle(benchmark::State & state)
{
  Fixture & f = fixture();
  NodeSession session(static_cast<int>(state.range(0)));
  Yolov5sPredictor & node = *session.node;
  node.cancel_frame_timer();
  veltrax_harness::Probe probe;
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(session.node);
  executor.add_node(probe.node);
  tf2_msgs::msg::TFMessage transforms;
  for (const veltrax_scene::CameraModel & camera : f.scene.cameras) {
    transforms.transforms.push_back(veltrax_harness::transform(
        camera.camera_to_base(), "base_footprint", camera.frame_id, node.now()));
  }
  probe.wait_for_node();
  probe.tf_static->publish(transforms);
  for (const veltrax_scene::CameraModel & camera : f.scene.cameras) {
    veltrax_harness::spin_until(executor, [&] { return node.knows_transform_of(camera.frame_id); });
  }
  double main_cpu_s = 0.0, hand_over_s = 0.0, join_s = 0.0;
  for (auto _ : state) {
    // Fresh stamps every cycle: the node ignores images older than 10 s.
    state.PauseTiming();
    for (int c = 0; c < 2; ++c) {
      const veltrax_scene::CameraModel & camera = f.scene.cameras[c];
      sensor_msgs::msg::Image color = *f.color[c];
      sensor_msgs::msg::Image depth = *f.depth[c];
      color.header.stamp = depth.header.stamp = node.now();
      probe.publish_camera(c + 1,
                           veltrax_harness::camera_info(camera.fx, camera.fy, camera.cx, camera.cy),
                           color, depth);
    }
    executor.spin_some();
    state.ResumeTiming();
    const double cpu_before = thread_cpu_seconds();
    node.timer_callback();
    main_cpu_s += thread_cpu_seconds() - cpu_before;
    const veltrax_cv_model::HandOffLatency latency = node.last_hand_off_latency();
    hand_over_s += std::chrono::duration<double>(latency.hand_over).count();
    join_s += std::chrono::duration<double>(latency.join).count();
  }
  // The frame cycle thread's own CPU time and the hand-off waits.
  state.counters["main_cpu_ms"] = per_cycle_ms(state, main_cpu_s);
  state.counters["hand_over_ms"] = per_cycle_ms(state, hand_over_s);
  state.counters["join_ms"] = per_cycle_ms(state, join_s);
}

BENCHMARK(BM_Detection)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CloudsOfCamera)
    ->ArgNames({"leaf_mm", "camera"})
    ->ArgsProduct({{1, 5, 10}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloudsOfCameraReference)
    ->ArgNames({"leaf_mm", "camera"})
    ->ArgsProduct({{1, 5, 10}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloudsScaling)
    ->ArgNames({"width", "height", "boxes", "reference"})
    ->Args({320, 240, 4, 0})
    ->Args({640, 480, 4, 0})
    ->Args({1280, 720, 4, 0})
    ->Args({640, 480, 1, 0})
    ->Args({640, 480, 16, 0})
    ->Args({320, 240, 4, 1})
    ->Args({640, 480, 4, 1})
    ->Args({1280, 720, 4, 1})
    ->Args({640, 480, 1, 1})
    ->Args({640, 480, 16, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColourFramesPerCycle)
    ->ArgName("shared")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fusion)->ArgName("leaf_mm")->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordedNoisyCycle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WholeCycle)
    ->ArgName("leaf_mm")
    ->Arg(1)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
