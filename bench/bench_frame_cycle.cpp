// One frame cycle of the node on the demo scene (two obstacles, a person, two bottles, a mask and
// a blood spot in view of two 640x480 RGB-D cameras), stage by stage:
//   detection      detectImagePair: colour conversion, resize, host NPU runtime, decoding
//   decode         postProcess of both batch slots on the NPU's outputs
//   clouds/camN    build_detection_clouds of one camera (a transform worker's job)
//   fusion         split, merge, hulls and outline of the pooled detection clouds
//   cycle          subscriberCallback: all of the above with the two workers and their join
// Each runs at the shipped leaf size (0.001 m) and at 0.01 m.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "scene/scene.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"

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

// The node with the demo's model, fed one rendered frame; shared by every benchmark.
struct Fixture
{
  Fixture()
  {
    const std::string model = std::string(VELTRAX_MODELS_DIR) + "/colour_key_640.yaml";
    const std::vector<std::string> args{
        "bench", "--ros-args",      "--log-level", "warn", "-p", "rknn_model_path:=" + model,
        "-p",    "obj_class_num:=8"};
    std::vector<const char *> argv;
    for (const std::string & arg : args) argv.push_back(arg.c_str());
    rclcpp::init(static_cast<int>(argv.size()), argv.data());
    node = std::make_shared<Yolov5sPredictor>();

    const veltrax_scene::Scene scene = veltrax_scene::make_demo_scene();
    const veltrax_scene::Frame frame = veltrax_scene::render_frame(scene, kSceneFrame);
    for (int camera = 0; camera < 2; ++camera) {
      const veltrax_scene::CameraModel & model_camera = scene.cameras[camera];
      color[camera] = to_message(frame.views[camera].color_rgb, "rgb8", model_camera.frame_id);
      depth[camera] = to_message(frame.views[camera].depth_mm, "16UC1", model_camera.frame_id);
    }
    node->camera1_intrinsics_ = intrinsics_of(scene.cameras[0]);
    node->camera2_intrinsics_ = intrinsics_of(scene.cameras[1]);
    node->camera1_matrix_ = matrix_of(scene.cameras[0]);
    node->camera2_matrix_ = matrix_of(scene.cameras[1]);
    node->camera1_tf_ready_ = node->camera2_tf_ready_ = true;
    node->detectImagePair(&frames[0], &frames[1], color[0], color[1]);
  }

  std::shared_ptr<Yolov5sPredictor> node;
  ImageConstPtr color[2];
  ImageConstPtr depth[2];
  DetectionFrame frames[2];
};

std::unique_ptr<Fixture> g_fixture;

Fixture & fixture()
{
  if (!g_fixture) g_fixture = std::make_unique<Fixture>();
  return *g_fixture;
}

void set_leaf_size(benchmark::State & state)
{
  fixture().node->downsample_leaf_size = static_cast<float>(state.range(0)) * 1e-3f;
}

void BM_Detection(benchmark::State & state)
{
  Fixture & f = fixture();
  for (auto _ : state) {
    DetectionFrame frame1;
    DetectionFrame frame2;
    f.node->detectImagePair(&frame1, &frame2, f.color[0], f.color[1]);
    benchmark::DoNotOptimize(frame1.objects.data());
  }
  state.counters["objects"] =
      static_cast<double>(f.frames[0].objects.size() + f.frames[1].objects.size());
}

void BM_Decode(benchmark::State & state)
{
  Fixture & f = fixture();
  Yolov5sPredictor & node = *f.node;
  // One NPU run on the rendered images; then only the decoding is timed.
  std::vector<uint8_t> input(node.input_attrs_[0].size);
  for (int camera = 0; camera < 2; ++camera) {
    cv::Mat resized;
    cv::Mat rgb(static_cast<int>(f.color[camera]->height), static_cast<int>(f.color[camera]->width),
                CV_8UC3, const_cast<uint8_t *>(f.color[camera]->data.data()));
    cv::resize(rgb, resized, cv::Size(node.model_width_, node.model_height_));
    std::copy(resized.datastart, resized.dataend, input.begin() + camera * input.size() / 2);
  }
  std::vector<rknn_input> inputs(node.io_num_.n_input, rknn_input{});
  inputs[0].buf = input.data();
  inputs[0].size = static_cast<uint32_t>(input.size());
  inputs[0].type = RKNN_TENSOR_UINT8;
  inputs[0].fmt = node.input_attrs_[0].fmt;
  rknn_inputs_set(node.rknn_ctx_, node.io_num_.n_input, inputs.data());
  rknn_run(node.rknn_ctx_, nullptr);
  std::vector<rknn_output> outputs(node.io_num_.n_output, rknn_output{});
  rknn_outputs_get(node.rknn_ctx_, node.io_num_.n_output, outputs.data(), nullptr);
  const std::array<const int8_t *, 3> heads{static_cast<const int8_t *>(outputs[0].buf),
                                            static_cast<const int8_t *>(outputs[1].buf),
                                            static_cast<const int8_t *>(outputs[2].buf)};
  const float scale_w = static_cast<float>(node.model_width_) / 640.0f;
  const float scale_h = static_cast<float>(node.model_height_) / 480.0f;
  for (auto _ : state) {
    DetectionFrame frame1;
    DetectionFrame frame2;
    node.postProcess(heads, &frame1, 1, scale_w, scale_h);
    node.postProcess(heads, &frame2, 2, scale_w, scale_h);
    benchmark::DoNotOptimize(frame2.objects.data());
  }
  rknn_outputs_release(node.rknn_ctx_, node.io_num_.n_output, outputs.data());
}

void BM_CloudsOfCamera(benchmark::State & state)
{
  set_leaf_size(state);
  Fixture & f = fixture();
  const int camera = static_cast<int>(state.range(1));
  const Eigen::Matrix4f & matrix = camera == 0 ? f.node->camera1_matrix_ : f.node->camera2_matrix_;
  const CameraIntrinsics & intrinsics =
      camera == 0 ? f.node->camera1_intrinsics_ : f.node->camera2_intrinsics_;
  CloudList clouds;
  for (auto _ : state) {
    f.node->build_detection_clouds(f.frames[camera], f.color[camera], f.depth[camera], clouds,
                                   matrix, intrinsics, 0.2f, 3.0f);
    benchmark::DoNotOptimize(clouds.data());
  }
  std::size_t points = 0;
  for (const auto & cloud : clouds) points += cloud.size();
  state.counters["clouds"] = static_cast<double>(clouds.size());
  state.counters["points"] = static_cast<double>(points);
}

void BM_Fusion(benchmark::State & state)
{
  set_leaf_size(state);
  Fixture & f = fixture();
  Yolov5sPredictor & node = *f.node;
  CloudList detection_clouds;
  for (int camera = 0; camera < 2; ++camera) {
    CloudList clouds;
    node.build_detection_clouds(f.frames[camera], f.color[camera], f.depth[camera], clouds,
                                camera == 0 ? node.camera1_matrix_ : node.camera2_matrix_,
                                camera == 0 ? node.camera1_intrinsics_ : node.camera2_intrinsics_,
                                0.2f, 3.0f);
    detection_clouds.insert(detection_clouds.end(), clouds.begin(), clouds.end());
  }
  for (auto _ : state) {
    CloudList all_clusters;
    for (const auto & detection_cloud : detection_clouds) {
      CloudList merged;
      node.bbox_cluster(std::make_shared<veltrax_cv_model::Cloud>(detection_cloud), merged,
                        node.cluster_method, node.merge_dis);
      all_clusters.insert(all_clusters.end(), merged.begin(), merged.end());
    }
    CloudList hulls;
    node.cluster_convex_hulls(all_clusters, hulls);
    veltrax_cv_model::Cloud outline;
    node.polygon_to_cloud(hulls, outline, 0.05f);
    benchmark::DoNotOptimize(outline.points.data());
  }
}

void BM_WholeCycle(benchmark::State & state)
{
  set_leaf_size(state);
  Fixture & f = fixture();
  for (auto _ : state) {
    f.node->subscriberCallback(f.color[0], f.color[1], f.depth[0], f.depth[1]);
  }
}

BENCHMARK(BM_Detection)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Decode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CloudsOfCamera)
    ->ArgNames({"leaf_mm", "camera"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({10, 0})
    ->Args({10, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fusion)->ArgName("leaf_mm")->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeCycle)
    ->ArgName("leaf_mm")
    ->Arg(1)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

// The node's workers must stop before the process tears down the ROS stand-in.
int main(int argc, char ** argv)
{
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_fixture.reset();
  if (rclcpp::ok()) rclcpp::shutdown();
  return 0;
}
