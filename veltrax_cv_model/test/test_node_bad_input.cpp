// Malformed and untimely input on every stream, and an NPU runtime that fails, through the
// in-process graph: the node keeps ticking, says what is wrong once instead of at every tick,
// publishes nothing wrong, and works again when good input returns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <pcl_conversions/pcl_conversions.h>

#include "host_rknn/host_rknn.hpp"
#include "rcutils/logging.h"
#include "support/frame_cycle_fixture.hpp"

namespace veltrax_cv_model
{
namespace
{

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::HasSubstr;
using testing::kBottle;
using testing::kObstacle;
using testing::kPerson;
using ::testing::Not;
using testing::RenderedFrame;
using veltrax_harness::LogCapture;

using Frames = std::array<RenderedFrame, 2>;

// One kind of damage to an image message. A colour image the cycle cannot convert ends it; one
// that converts but disagrees with its depth image is refused by the camera's worker.
struct Damage
{
  std::string name;
  std::function<void(sensor_msgs::msg::Image &)> apply;
  std::string colour_reported_as = "frame cycle skipped";
};

std::vector<Damage> image_damages()
{
  return {
      {"wrong encoding", [](auto & image) { image.encoding = "yuv422_10bit"; }},
      {"empty encoding", [](auto & image) { image.encoding.clear(); }},
      {"width 0",
       [](auto & image) {
         image.width = 0;
         image.step = 0;
         image.data.clear();
       }},
      {"height 0",
       [](auto & image) {
         image.height = 0;
         image.data.clear();
       }},
      {"step not matching the width", [](auto & image) { image.step += 6; }},
      {"data shorter than height x step",
       [](auto & image) { image.data.resize(image.data.size() / 2); }},
      {"a quarter of the size",
       [](auto & image) {
         image.step = image.step / 2;
         image.width /= 2;
         image.height /= 2;
         image.data.resize(image.step * image.height);
       },
       "depth image width differs from the colour image width"},
  };
}

class BadInput : public testing::FrameCycleFixture
{
protected:
  void SetUp() override { good_ = render_both({kObstacle, kBottle, kPerson}); }

  // A fresh node per case, on good input until the first outline. The node's fault log holds a
  // text back for 30 s after logging it, recovered or not, so a case on a node an earlier case
  // used could pass on that case's line.
  void start_healthy(const std::vector<std::string> & extra_args = {})
  {
    start_fresh(extra_args);
    publish_transforms();
    publish_infos();
    publish_frames(good_);
    ASSERT_TRUE(wait_for_outline());
  }

  void start_fresh(const std::vector<std::string> & extra_args = {})
  {
    TearDown();
    log_.clear();
    start(extra_args);
  }

  // Keeps sending what `send_bad` sends, like a driver at 10 Hz, for several ticks; then good
  // input until an outline with points comes. The bad stretch must log `reported_as` itself,
  // each line once.
  void expect_survives(const std::string & name, const std::function<void()> & send_bad,
                       const std::string & reported_as)
  {
    SCOPED_TRACE(name);
    const std::size_t lines_before = log_.lines().size();
    ASSERT_THAT(fault_lines(0, lines_before), Not(Contains(HasSubstr(reported_as))))
        << "logged before the damage, so the fault log would hold the case's own line back";
    ::testing::internal::CaptureStderr();
    for (int tick = 0; tick < 8; ++tick) {
      send_bad();
      veltrax_harness::spin_for(*executor_, 100ms);
    }
    expect_no_repeated_library_output(::testing::internal::GetCapturedStderr());
    const std::vector<std::string> stretch = fault_lines(lines_before, log_.lines().size());
    std::map<std::string, int> repeats;
    for (const std::string & line : stretch) {
      ++repeats[line];
    }
    for (const auto & line : repeats) {
      EXPECT_EQ(line.second, 1) << "logged at every tick: " << line.first;
    }
    EXPECT_THAT(stretch, Contains(HasSubstr(reported_as)));

    publish_infos();
    publish_frames(good_);
    expect_outline_with_points();
    expect_every_output_sound();
  }

  // WARN and above among the captured lines [begin, end).
  std::vector<std::string> fault_lines(std::size_t begin, std::size_t end) const
  {
    const std::vector<veltrax_harness::LogLine> all = log_.lines();
    std::vector<std::string> faults;
    for (std::size_t i = begin; i < end && i < all.size(); ++i) {
      if (all[i].severity >= RCUTILS_LOG_SEVERITY_WARN) faults.push_back(all[i].message);
    }
    return faults;
  }

  // Libraries printing on their own (PCL's console) must not print at every frame either; the
  // node's own lines are checked through the logger.
  static void expect_no_repeated_library_output(const std::string & text)
  {
    std::map<std::string, int> repeats;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      const bool ros_line = line.rfind("[INFO]", 0) == 0 || line.rfind("[WARN]", 0) == 0 ||
                            line.rfind("[ERROR]", 0) == 0 || line.rfind("[DEBUG]", 0) == 0;
      if (!ros_line && !line.empty()) ++repeats[line];
    }
    for (const auto & line : repeats) {
      EXPECT_EQ(line.second, 1) << "printed at every frame: " << line.first;
    }
  }

  void expect_outline_with_points()
  {
    const std::size_t before = probe_->obstacle_clouds().size();
    ASSERT_TRUE(veltrax_harness::spin_until(*executor_, [&] {
      const auto clouds = probe_->obstacle_clouds();
      if (clouds.size() <= before) {
        publish_frames(good_);  // the node may still be on a frame from the bad stretch
        return false;
      }
      return clouds.back().width > 0;
    })) << "no outline after good input returned";
  }

  // Everything the node published: finite points, stamps not ahead of the clock, reports with
  // finite positions and crops inside their image.
  void expect_every_output_sound()
  {
    const rclcpp::Time latest = node_->now() + rclcpp::Duration::from_seconds(1.0);
    for (const sensor_msgs::msg::PointCloud2 & msg : probe_->obstacle_clouds()) {
      EXPECT_LE(rclcpp::Time(msg.header.stamp).nanoseconds(), latest.nanoseconds());
      // PCL's conversion indexes the first point even of an empty cloud.
      if (msg.width * msg.height == 0) continue;
      pcl::PointCloud<pcl::PointXYZ> outline;
      pcl::fromROSMsg(msg, outline);
      for (const pcl::PointXYZ & p : outline) {
        ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
      }
    }
    for (const auto & reports : {probe_->trashes(), probe_->persons()}) {
      for (const veltrax_protocol::msg::Trashes & report : reports) {
        for (const veltrax_protocol::msg::Trash & trash : report.trashes) {
          EXPECT_TRUE(std::isfinite(trash.x) && std::isfinite(trash.y));
          EXPECT_GT(trash.image.width, 0u);
          EXPECT_GT(trash.image.height, 0u);
          EXPECT_LE(trash.image.width, 640u);
          EXPECT_LE(trash.image.height, 480u);
          EXPECT_EQ(trash.image.data.size(),
                    static_cast<std::size_t>(trash.image.step) * trash.image.height);
        }
      }
    }
  }

  // Good frames with stream `stream` (0 colour 1, 1 depth 1, 2 colour 2, 3 depth 2) changed.
  Frames damaged(int stream, const std::function<void(sensor_msgs::msg::Image &)> & apply) const
  {
    Frames frames = good_;
    RenderedFrame & camera = frames[static_cast<std::size_t>(stream / 2)];
    apply(stream % 2 == 0 ? camera.color : camera.depth);
    return frames;
  }

  LogCapture log_;
  Frames good_;
};

// One stream per test (0 colour 1, 1 depth 1, 2 colour 2, 3 depth 2), so that sanitizer builds
// stay within the per-test timeout.
class MalformedImages : public BadInput, public ::testing::WithParamInterface<int>
{
};

TEST_P(MalformedImages, OnOneStream)
{
  const int stream = GetParam();
  const char * const names[4] = {"colour 1", "depth 1", "colour 2", "depth 2"};
  for (const Damage & damage : image_damages()) {
    ASSERT_NO_FATAL_FAILURE(start_healthy({"-p", "publish_web:=true"}));
    const Frames frames = damaged(stream, damage.apply);
    const std::string reported_as = stream % 2 == 1
                                        ? "depth image camera" + std::to_string(stream / 2 + 1)
                                        : damage.colour_reported_as;
    expect_survives(
        std::string(names[stream]) + ": " + damage.name, [&] { publish_frames(frames); },
        reported_as);
    if (reported_as == "frame cycle skipped") {
      EXPECT_EQ(log_.count("frame cycle: recovered"), 1u) << damage.name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EachStream, MalformedImages, ::testing::Range(0, 4));

TEST_F(BadInput, StampsFarInThePastOrTheFuture)
{
  const struct
  {
    const char * name;
    std::array<double, 4> offsets;
    const char * reported_as;
  } cases[] = {
      {"depth 1 an hour old", {0, -3600, 0, 0}, "camera1_pub_info_time except!"},
      {"colour 2 an hour old", {0, 0, -3600, 0}, "camera2_pub_info_time except!"},
      {"colour 1 an hour ahead", {3600, 0, 0, 0}, "camera1 images stamped more than 10 s ahead"},
      {"depth 2 a day ahead", {0, 0, 0, 86400}, "camera2 images stamped more than 10 s ahead"},
  };
  for (const auto & c : cases) {
    ASSERT_NO_FATAL_FAILURE(start_healthy());
    expect_survives(
        c.name, [&] { publish_frames(good_, c.offsets); }, c.reported_as);
  }
  // Stamp zero: the epoch, decades stale.
  ASSERT_NO_FATAL_FAILURE(start_healthy());
  expect_survives(
      "all stamps zero",
      [&] {
        Frames frames = good_;
        for (RenderedFrame & f : frames) {
          f.color.header.stamp = builtin_interfaces::msg::Time();
          f.depth.header.stamp = builtin_interfaces::msg::Time();
        }
        probe_->color1->publish(frames[0].color);
        probe_->depth1->publish(frames[0].depth);
        probe_->color2->publish(frames[1].color);
        probe_->depth2->publish(frames[1].depth);
      },
      "camera1_pub_info_time except!");
}

TEST_F(BadInput, UnusableCameraInfo)
{
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct
  {
    const char * name;
    sensor_msgs::msg::CameraInfo info;
  } cases[] = {
      {"NaN focal length", veltrax_harness::camera_info(nan, 525, 319.5, 239.5)},
      {"infinite principal point", veltrax_harness::camera_info(525, 525, inf, 239.5)},
      {"zero intrinsics", veltrax_harness::camera_info(0, 0, 0, 0)},
      {"focal length beyond float", veltrax_harness::camera_info(525, 1e300, 319.5, 239.5)},
      {"focal length too small for float", veltrax_harness::camera_info(1e-300, 525, 319.5, 239.5)},
  };
  for (int camera = 1; camera <= 2; ++camera) {
    for (const auto & c : cases) {
      ASSERT_NO_FATAL_FAILURE(start_healthy({"-p", "publish_web:=true"}));
      expect_survives(
          "camera " + std::to_string(camera) + ": " + c.name,
          [&] {
            (camera == 1 ? probe_->info1 : probe_->info2)->publish(c.info);
            publish_frames(good_);
          },
          "waiting for camera info");
    }
  }
}

TEST_F(BadInput, FramesThatTfDoesNotKnow)
{
  for (int camera = 1; camera <= 2; ++camera) {
    ASSERT_NO_FATAL_FAILURE(start_fresh());
    publish_infos();
    publish_transforms();
    const int stream = camera == 1 ? 1 : 3;
    const Frames frames =
        damaged(stream, [](sensor_msgs::msg::Image & depth) { depth.header.frame_id = "nowhere"; });
    expect_survives(
        "camera " + std::to_string(camera), [&] { publish_frames(frames); },
        camera == 1 ? "Transform camera_1 error of sensor data: "
                    : "Transform2 camera_2 error of sensor data: ");
  }
}

std::string read_text(const std::string & path)
{
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(BadInput, NpuRuntimeFailingAtEachCallOfTheCycle)
{
  using host_rknn::Faults;
  const struct
  {
    const char * name;
    host_rknn::Fault Faults::*call;
    const char * reported_as;
  } cases[] = {
      {"inputs_set", &Faults::inputs_set, "1350, rknn_input_set fail! status = -2"},
      {"run", &Faults::run, "1362, rknn_run error!  status = -2"},
      {"outputs_get", &Faults::outputs_get, "1367, rknn_outputs_get error!  status = -2"},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    host_rknn::ModelSpec model =
        host_rknn::parse_model(read_text(std::string(VELTRAX_MODELS_DIR) + "/colour_key_640.yaml"));
    // Healthy for the first cycle, dead for the next ten, then back.
    model.faults.*(c.call) = {RKNN_ERR_TIMEOUT, 2, 11};
    const std::string path = ::testing::TempDir() + "/failing_" + c.name + ".yaml";
    ASSERT_TRUE(host_rknn::write_model_file(path, model));
    ASSERT_NO_FATAL_FAILURE(start_healthy({"-p", "rknn_model_path:=" + path}));
    // The fault window counts runtime calls, not time: on a slow build it may open while the
    // node is still starting, so the whole log is checked. The cycle goes on without detections
    // until the runtime is back: one line for the fault, one for the recovery.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (log_.count("NPU inference: recovered") == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      publish_frames(good_);
      veltrax_harness::spin_for(*executor_, 100ms);
    }
    EXPECT_EQ(log_.count(c.reported_as), 1u);
    EXPECT_EQ(log_.count("NPU inference: recovered"), 1u);
    publish_frames(good_);
    expect_outline_with_points();
  }
}

}  // namespace
}  // namespace veltrax_cv_model
