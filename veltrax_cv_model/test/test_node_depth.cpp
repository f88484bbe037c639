// The depth steps of the transform workers through the node: which detections become clouds,
// their floor points, refused inputs, and the hand-off to a running worker.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "cv_bridge/cv_bridge.h"
#include "rcutils/logging.h"
#include "support/depth_scene.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_cv_model
{
namespace
{

using veltrax_harness::LogCapture;
using veltrax_harness::RosSession;
namespace scene = veltrax_cv_model::test;

constexpr float kPitchRad = 35.0f * 3.14159265f / 180.0f;
constexpr float kCameraHeightM = 0.46f;
const CameraIntrinsics kQvga{262.5f, 262.5f, 159.5f, 119.5f};

int id_of(const Yolov5sPredictor & node, const char * label) { return node.label_to_id_.at(label); }

DetectionFrame frame_of(const std::vector<DetectedObject> & objects)
{
  DetectionFrame frame;
  frame.objects = objects;
  return frame;
}

bool same_points(const Cloud & a, const Cloud & b)
{
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].x != b[i].x || a[i].y != b[i].y || a[i].z != b[i].z) return false;
  }
  return true;
}

// True when every point of `part` appears in `whole`, in the same order.
bool is_subsequence(const Cloud & part, const Cloud & whole)
{
  std::size_t j = 0;
  for (const auto & p : part) {
    while (j < whole.size() && !(whole[j].x == p.x && whole[j].y == p.y && whole[j].z == p.z)) ++j;
    if (j == whole.size()) return false;
    ++j;
  }
  return true;
}

std::size_t count_below(const Cloud & cloud, float z_m)
{
  std::size_t n = 0;
  for (const auto & p : cloud) n += p.z < z_m ? 1 : 0;
  return n;
}

// Hands one frame to transform worker 1 exactly as the frame cycle does and waits for it.
bool run_on_worker(Yolov5sPredictor & node, const std::vector<DetectedObject> & objects,
                   const ImageConstPtr & color, const ImageConstPtr & depth,
                   const CameraIntrinsics & intrinsics, const Eigen::Matrix4f & transform,
                   float z_min, float z_max)
{
  Yolov5sPredictor::TransformTaskInput & input = node.transform_task1_input_;
  input.detections = frame_of(objects);
  input.color = color;
  input.depth = depth;
  input.clouds.assign(2, Cloud());  // stale results of an earlier frame
  input.intrinsics = intrinsics;
  input.z_min = z_min;
  input.z_max = z_max;
  input.transform = transform;
  node.transform_task1_idle_.store(false, std::memory_order_release);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!node.transform_task1_idle_.load(std::memory_order_acquire)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Two boxes on a flat floor, camera 0.46 m up and pitched 35 deg down, 320 x 240.
struct FloorScene
{
  Eigen::Matrix4f camera_to_base = scene::pitched_camera_to_base(kPitchRad, kCameraHeightM);
  scene::SceneBox box{{0.9f, -0.1f, 0.0f}, {1.1f, 0.1f, 0.25f}};
  scene::SceneBox other{{1.2f, 0.25f, 0.0f}, {1.4f, 0.45f, 0.18f}};
  ImageConstPtr depth = scene::depth_message(
      scene::render_floor_scene(320, 240, kQvga, camera_to_base, {box, other}));
  ImageConstPtr color = scene::color_message(320, 240);

  DetectedObject around(const scene::SceneBox & b, int class_id) const
  {
    return scene::project_box(b, kQvga, camera_to_base, 320, 240, 12, class_id);
  }
};

TEST(NodeDepth, ClassDecidesTheCloudAndWhetherItKeepsItsFloorPoints)
{
  RosSession ros;
  const auto node = std::make_shared<Yolov5sPredictor>();
  const FloorScene s;
  const int bottle = id_of(*node, "bottle");
  const int obstacle = id_of(*node, "obstacle");
  const int person = id_of(*node, "person");
  const DetectedObject box_as_bottle = s.around(s.box, bottle);
  const DetectedObject box_as_obstacle = s.around(s.box, obstacle);
  const DetectedObject other_as_person = s.around(s.other, person);
  ASSERT_GT(box_as_bottle.bottom - box_as_bottle.top, 20);

  auto build = [&](const std::vector<DetectedObject> & objects) {
    CloudList clouds(3);
    node->build_detection_clouds(frame_of(objects), s.color, s.depth, clouds, s.camera_to_base,
                                 kQvga, 0.2f, 3.0f);
    return clouds;
  };
  const CloudList as_bottle = build({box_as_bottle});
  const CloudList as_obstacle = build({box_as_obstacle});
  const CloudList as_person = build({other_as_person});
  ASSERT_EQ(as_bottle.size(), 1u);
  ASSERT_EQ(as_obstacle.size(), 1u);
  ASSERT_EQ(as_person.size(), 1u);

  // Litter keeps the floor around it: the box margin shows floor at z = 0.
  const auto [bottle_low, bottle_high] = scene::z_range(as_bottle[0]);
  EXPECT_NEAR(bottle_low, 0.0f, 0.003f);
  EXPECT_NEAR(bottle_high, 0.25f, 0.004f);
  EXPECT_GT(count_below(as_bottle[0], 0.005f), 100u);

  // Obstacles and persons lose every point within tHDiff (0.025 m) of the floor, and nothing else.
  const float t_h_diff = static_cast<float>(node->ground_removal_params_.tHDiff);
  for (const Cloud * standing : {&as_obstacle[0], &as_person[0]}) {
    EXPECT_GT(scene::z_range(*standing).first, t_h_diff - 0.004f);
  }
  EXPECT_NEAR(scene::z_range(as_obstacle[0]).second, 0.25f, 0.004f);
  EXPECT_NEAR(scene::z_range(as_person[0]).second, 0.18f, 0.004f);
  EXPECT_TRUE(is_subsequence(as_obstacle[0], as_bottle[0]));
  EXPECT_EQ(as_bottle[0].size() - count_below(as_bottle[0], 0.04f),
            as_obstacle[0].size() - count_below(as_obstacle[0], 0.04f));
  // What is left is the object's own surface, in base_footprint.
  for (const auto & p : as_obstacle[0]) {
    ASSERT_GE(p.x, 0.897f);
    ASSERT_LE(p.x, 1.103f);
    ASSERT_LE(std::abs(p.y), 0.103f);
  }
  for (const auto & p : as_person[0]) {
    ASSERT_GE(p.x, 1.197f);
    ASSERT_LE(p.x, 1.403f);
    ASSERT_GE(p.y, 0.247f);
    ASSERT_LE(p.y, 0.453f);
  }

  // In one frame: skipped classes and the all-zero box leave no gap, order is kept.
  const DetectedObject zero_box = scene::pixel_box(obstacle, 0, 0, 0, 0);
  const CloudList mixed = build({s.around(s.box, id_of(*node, "paper")), box_as_bottle,
                                 s.around(s.box, id_of(*node, "reflection")), zero_box,
                                 box_as_obstacle, other_as_person});
  ASSERT_EQ(mixed.size(), 3u);
  EXPECT_TRUE(same_points(mixed[0], as_bottle[0]));
  EXPECT_TRUE(same_points(mixed[1], as_obstacle[0]));
  EXPECT_TRUE(same_points(mixed[2], as_person[0]));
  EXPECT_TRUE(build({zero_box, s.around(s.box, id_of(*node, "paper"))}).empty());
}

TEST(NodeDepth, KeepsADetectionCloudOnlyWithMoreThanFivePoints)
{
  RosSession ros;
  const auto node = std::make_shared<Yolov5sPredictor>();
  const CameraIntrinsics k{50.0f, 50.0f, 19.5f, 14.5f};
  for (const int valid_pixels : {5, 6}) {
    SCOPED_TRACE(valid_pixels);
    // Missing depth elsewhere: those pixels land at the origin, which z_min = 0.2 crops.
    scene::DepthFrame depth(40, 30, 0);
    for (int i = 0; i < valid_pixels; ++i) depth.set(10 + 3 * i, 15, 1000);
    CloudList clouds(1);
    node->build_detection_clouds(
        frame_of({scene::pixel_box(id_of(*node, "bottle"), 8, 10, 32, 20)}),
        scene::color_message(40, 30), scene::depth_message(depth), clouds,
        Eigen::Matrix4f::Identity(), k, 0.2f, 3.0f);
    if (valid_pixels == 5) {
      EXPECT_TRUE(clouds.empty());
      continue;
    }
    ASSERT_EQ(clouds.size(), 1u);
    ASSERT_EQ(clouds[0].size(), 6u);
    std::vector<float> xs;
    for (const auto & p : clouds[0]) {
      EXPECT_FLOAT_EQ(p.z, 1.0f);
      EXPECT_FLOAT_EQ(p.y, 0.01f);
      xs.push_back(p.x);
    }
    std::sort(xs.begin(), xs.end());
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(xs[i], (10 + 3 * i - 19.5f) / 50.0f, 1e-6f);
  }
}

TEST(NodeDepth, RecordedBottleKeepsTheCarpetAndTheSameBoxAsObstacleDropsOnlyIt)
{
  RosSession ros({"-p", "downsample_leaf_size:=0.01"});
  const auto node = std::make_shared<Yolov5sPredictor>();
  const scene::RecordedScene milk = scene::load_recorded_scene("milk_cartoon");
  const ImageConstPtr depth = scene::depth_message(milk.depth);
  const ImageConstPtr color = scene::color_message(640, 480);

  auto build = [&](const char * label) {
    CloudList clouds;
    node->build_detection_clouds(
        frame_of({scene::milk_cartoon_box(id_of(*node, label), scene::MilkCartoonBoxes::kBleach)}),
        color, depth, clouds, milk.camera_to_base, scene::kinect_intrinsics(), node->camera1_min,
        node->camera1_max);
    return clouds;
  };
  const CloudList bottle = build("bottle");
  const CloudList obstacle = build("obstacle");
  ASSERT_EQ(bottle.size(), 1u);
  ASSERT_EQ(obstacle.size(), 1u);

  // The carpet shows around the bleach bottle (about 0.27 m tall) only in the litter cloud.
  EXPECT_GT(count_below(bottle[0], 0.015f), 50u);
  EXPECT_EQ(count_below(obstacle[0], 0.015f), 0u);
  EXPECT_TRUE(is_subsequence(obstacle[0], bottle[0]));
  EXPECT_GT(scene::z_range(obstacle[0]).second, 0.22f);
  // Removed points are all near the floor; the bottle's body stays whole.
  EXPECT_EQ(bottle[0].size() - count_below(bottle[0], 0.06f),
            obstacle[0].size() - count_below(obstacle[0], 0.06f));
  EXPECT_GT(obstacle[0].size(), 300u);
}

// Inputs the worker must refuse without reading past a buffer: no clouds, one clear ERROR text.
struct BadInput
{
  std::string name;
  ImageConstPtr color;
  ImageConstPtr depth;
  CameraIntrinsics intrinsics;
  std::string expected_error;
};

std::vector<BadInput> bad_inputs(const scene::DepthFrame & good, const CameraIntrinsics & k)
{
  const int w = good.width;
  const int h = good.height;
  auto with_encoding = [&](const std::string & encoding) {
    auto msg = std::make_shared<sensor_msgs::msg::Image>(*scene::depth_message(good));
    msg->encoding = encoding;
    return ImageConstPtr(msg);
  };
  auto truncated = std::make_shared<sensor_msgs::msg::Image>(*scene::depth_message(good));
  truncated->data.resize(truncated->data.size() - 2);
  CameraIntrinsics no_focal = k;
  no_focal.fx = 0.0f;
  const ImageConstPtr color = scene::color_message(w, h);
  const ImageConstPtr depth = scene::depth_message(good);
  return {
      {"8-bit depth", color, with_encoding("8UC1"), k,
       "depth image encoding is not 16UC1 or mono16"},
      {"32F depth", color, with_encoding("32FC1"), k,
       "depth image encoding is not 16UC1 or mono16"},
      {"wider colour", scene::color_message(w + 1, h), depth, k,
       "depth image width differs from the colour image width"},
      {"short buffer", color, truncated, k,
       "depth image buffer is shorter than the rectangle needs"},
      {"zero focal length", color, depth, no_focal,
       "camera intrinsics are unusable (zero or non-finite focal length)"},
  };
}

TEST(NodeDepth, RefusesMalformedFramesDirectlyAndOnTheWorker)
{
  RosSession ros;
  LogCapture log;
  const auto node = std::make_shared<Yolov5sPredictor>();
  log.clear();  // the construction's own lines (no NPU model here)
  const CameraIntrinsics k{52.5f, 52.5f, 31.5f, 23.5f};
  const Eigen::Matrix4f camera_to_base = scene::pitched_camera_to_base(kPitchRad, kCameraHeightM);
  const scene::SceneBox box{{0.9f, -0.1f, 0.0f}, {1.1f, 0.1f, 0.25f}};
  const scene::DepthFrame good = scene::render_floor_scene(64, 48, k, camera_to_base, {box});
  const std::vector<DetectedObject> objects = {
      scene::project_box(box, k, camera_to_base, 64, 48, 3, id_of(*node, "obstacle")),
      scene::pixel_box(id_of(*node, "bottle"), 0, 0, 64, 48)};

  // The same frame, well formed, gives both clouds on either path.
  CloudList clouds;
  node->build_detection_clouds(frame_of(objects), scene::color_message(64, 48),
                               scene::depth_message(good), clouds, camera_to_base, k, 0.2f, 3.0f);
  EXPECT_EQ(clouds.size(), 2u);
  ASSERT_TRUE(run_on_worker(*node, objects, scene::color_message(64, 48),
                            scene::depth_message(good), k, camera_to_base, 0.2f, 3.0f));
  EXPECT_EQ(node->transform_task1_input_.clouds.size(), 2u);
  EXPECT_TRUE(log.messages(RCUTILS_LOG_SEVERITY_ERROR).empty());

  for (const BadInput & c : bad_inputs(good, k)) {
    SCOPED_TRACE(c.name);
    log.clear();
    CloudList direct(2);
    node->build_detection_clouds(frame_of(objects), c.color, c.depth, direct, camera_to_base,
                                 c.intrinsics, 0.2f, 3.0f);
    EXPECT_TRUE(direct.empty());
    ASSERT_TRUE(
        run_on_worker(*node, objects, c.color, c.depth, c.intrinsics, camera_to_base, 0.2f, 3.0f));
    EXPECT_TRUE(node->transform_task1_input_.clouds.empty());
    // The same refused frame twice, directly and on the worker: one line, not one per frame
    // or per detection.
    const std::vector<std::string> errors = log.messages(RCUTILS_LOG_SEVERITY_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(c.expected_error), std::string::npos) << errors[0];
  }

  // A colour image cv_bridge cannot convert: the step throws, the worker skips the frame, hands
  // the record back and keeps serving.
  log.clear();
  const ImageConstPtr weird = scene::color_message(64, 48, "weird");
  CloudList direct;
  EXPECT_THROW(node->build_detection_clouds(frame_of(objects), weird, scene::depth_message(good),
                                            direct, camera_to_base, k, 0.2f, 3.0f),
               cv_bridge::Exception);
  ASSERT_TRUE(run_on_worker(*node, objects, weird, scene::depth_message(good), k, camera_to_base,
                            0.2f, 3.0f));
  EXPECT_TRUE(node->transform_task1_input_.clouds.empty());
  const std::vector<std::string> errors = log.messages(RCUTILS_LOG_SEVERITY_ERROR);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("transform worker skipped a frame"), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("[weird]"), std::string::npos) << errors[0];
  ASSERT_TRUE(run_on_worker(*node, objects, scene::color_message(64, 48),
                            scene::depth_message(good), k, camera_to_base, 0.2f, 3.0f));
  EXPECT_EQ(node->transform_task1_input_.clouds.size(), 2u);
}

TEST(NodeDepth, ReportsAVoxelGridTooFineForAWholeFrameOnlyOnce)
{
  RosSession ros;  // downsample_leaf_size stays at 0.001
  LogCapture log;
  const auto node = std::make_shared<Yolov5sPredictor>();
  ASSERT_FLOAT_EQ(node->downsample_leaf_size, 0.001f);
  const scene::RecordedScene milk = scene::load_recorded_scene("milk_cartoon");
  const ImageConstPtr depth = scene::depth_message(milk.depth);
  const ImageConstPtr color = scene::color_message(640, 480);
  const std::vector<DetectedObject> objects = {
      scene::milk_cartoon_box(id_of(*node, "obstacle"), scene::MilkCartoonBoxes::kBleach)};

  ::testing::internal::CaptureStderr();
  std::size_t per_frame_clouds[3] = {0, 0, 0};
  for (std::size_t & n : per_frame_clouds) {
    CloudList clouds;
    node->build_detection_clouds(frame_of(objects), color, depth, clouds, milk.camera_to_base,
                                 scene::kinect_intrinsics(), node->camera1_min, node->camera1_max);
    n = clouds.size();
  }
  // The same condition on the other thread is the same condition.
  ASSERT_TRUE(run_on_worker(*node, objects, color, depth, scene::kinect_intrinsics(),
                            milk.camera_to_base, node->camera1_min, node->camera1_max));
  const std::string library_output = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(log.count("too small"), 1u);
  ASSERT_EQ(log.messages(RCUTILS_LOG_SEVERITY_WARN).size(), 1u);
  EXPECT_NE(log.messages(RCUTILS_LOG_SEVERITY_WARN)[0].find("241407-point"), std::string::npos)
      << log.messages(RCUTILS_LOG_SEVERITY_WARN)[0];
  EXPECT_EQ(library_output.find("Integer indices would overflow"), std::string::npos);
  // The frame still yields its obstacle: the scene is used unthinned, not dropped.
  for (std::size_t n : per_frame_clouds) EXPECT_EQ(n, 1u);
  EXPECT_EQ(node->transform_task1_input_.clouds.size(), 1u);
}

}  // namespace
}  // namespace veltrax_cv_model
