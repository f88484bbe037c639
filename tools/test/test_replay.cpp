// run_demo --bag end to end: a recording of the two real RGB-D frames (camera 1 raw under other
// names, camera 2 through the compressed transports) replayed into the real node.
#include <gtest/gtest.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "demo/demo_runner.hpp"
#include "demo/source.hpp"
#include "demo/write.hpp"
#include "support/bag_builder.hpp"
#include "veltrax_harness/topics.hpp"

namespace
{

namespace fs = std::filesystem;
namespace vd = veltrax_demo;
namespace topics = veltrax_harness::topics;
using veltrax_bag_builder::Bytes;
using veltrax_bag_builder::RecordedMessage;

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kRecordingStart = 1700000000 * kSecond;
// Frames 0.1, 0.5 and 0.9 s into the recording; a lidar topic the node does not take every 0.2 s
// from 0.2 s, so a window's edges show in its count.
constexpr int kFrames = 3;
constexpr std::int64_t kFrameTimes[kFrames] = {kSecond / 10, kSecond / 2, 9 * kSecond / 10};

enum Topic { kColor1, kDepth1, kInfo1, kColor2, kDepth2, kInfo2, kTfStatic, kLidar };

veltrax_bag::Header header(std::int64_t time_ns, const std::string & frame)
{
  return {static_cast<std::int32_t>(time_ns / kSecond),
          static_cast<std::uint32_t>(time_ns % kSecond), frame};
}

veltrax_bag::CameraInfo camera_info(const veltrax_scene::CameraModel & camera,
                                    const veltrax_bag::Header & h)
{
  veltrax_bag::CameraInfo info;
  info.header = h;
  info.width = static_cast<std::uint32_t>(camera.width);
  info.height = static_cast<std::uint32_t>(camera.height);
  info.distortion_model = "plumb_bob";
  info.d.assign(5, 0.0);
  info.k = {camera.fx, 0, camera.cx, 0, camera.fy, camera.cy, 0, 0, 1};
  info.r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  info.p = {camera.fx, 0, camera.cx, 0, 0, camera.fy, camera.cy, 0, 0, 0, 1, 0};
  return info;
}

veltrax_bag::TransformStamped mount(const vd::Source & real, std::size_t c, std::int64_t time_ns)
{
  veltrax_bag::TransformStamped t;
  t.header = header(time_ns, "base_footprint");
  t.child_frame_id = real.cameras[c].frame_id;
  const Eigen::Vector3d translation = real.camera_to_base[c].translation();
  t.translation = {translation.x(), translation.y(), translation.z()};
  const Eigen::Quaterniond q(real.camera_to_base[c].rotation());
  t.rotation_xyzw = {q.x(), q.y(), q.z(), q.w()};
  return t;
}

// The recording a robot would make of the two real frames, in `storage` (frame.yaml's T_base_cam as
// /tf_static, camera info once), with `damage` applied to its messages before they are written.
void write_recording(const fs::path & dir, const std::string & storage, const vd::Source & real,
                     const std::function<void(std::vector<RecordedMessage> &)> & damage)
{
  const std::vector<veltrax_bag_builder::RecordedTopic> recorded_topics = {
      {"/robot/camera1/color", "sensor_msgs/msg/Image"},
      {"/robot/camera1/depth", "sensor_msgs/msg/Image"},
      {"/robot/camera1/camera_info", "sensor_msgs/msg/CameraInfo"},
      {std::string(topics::kColor[1]) + "/compressed", "sensor_msgs/msg/CompressedImage"},
      {std::string(topics::kDepth[1]) + "/compressedDepth", "sensor_msgs/msg/CompressedImage"},
      {topics::kCameraInfo[1], "sensor_msgs/msg/CameraInfo"},
      {topics::kTfStatic, "tf2_msgs/msg/TFMessage"},
      {"/lidar/points", "sensor_msgs/msg/PointCloud2"}};
  std::vector<RecordedMessage> messages;
  messages.push_back({kTfStatic, kRecordingStart,
                      veltrax_bag_builder::cdr_tf_message(
                          {mount(real, 0, kRecordingStart), mount(real, 1, kRecordingStart)})});
  for (std::size_t c = 0; c < 2; ++c) {
    const std::int64_t at = kRecordingStart + kFrameTimes[0] - kSecond / 1000;
    messages.push_back({c == 0 ? kInfo1 : kInfo2, at,
                        veltrax_bag_builder::cdr_camera_info(
                            camera_info(real.cameras[c], header(at, real.cameras[c].frame_id)))});
  }
  for (std::int64_t lidar = kSecond / 5; lidar <= kSecond; lidar += kSecond / 5) {
    messages.push_back({kLidar, kRecordingStart + lidar, Bytes{0, 1, 0, 0}});
  }
  for (std::int64_t frame_time : kFrameTimes) {
    const std::int64_t stamp = kRecordingStart + frame_time;
    const veltrax_bag::Header h1 = header(stamp, real.cameras[0].frame_id);
    const veltrax_bag::Header h2 = header(stamp, real.cameras[1].frame_id);
    // Received a few milliseconds after capture, camera 2 after camera 1.
    messages.push_back({kColor1, stamp + 2000000,
                        veltrax_bag_builder::cdr_image(
                            veltrax_bag_builder::image_record(real.color_rgb[0][0], "rgb8", h1))});
    messages.push_back({kDepth1, stamp + 3000000,
                        veltrax_bag_builder::cdr_image(
                            veltrax_bag_builder::image_record(real.depth_mm[0][0], "16UC1", h1))});
    veltrax_bag::CompressedImage color2{h2, "rgb8; jpeg compressed bgr8", {}};
    cv::Mat bgr;
    cv::cvtColor(real.color_rgb[0][1], bgr, cv::COLOR_RGB2BGR);
    cv::imencode(".jpg", bgr, color2.data);
    messages.push_back(
        {kColor2, stamp + 4000000, veltrax_bag_builder::cdr_compressed_image(color2)});
    // compressedDepth: a 12-byte header (format, then two quantisation floats unused for 16UC1).
    veltrax_bag::CompressedImage depth2{h2, "16UC1; compressedDepth png", Bytes(12, 0)};
    Bytes png;
    cv::imencode(".png", real.depth_mm[0][1], png);
    depth2.data.insert(depth2.data.end(), png.begin(), png.end());
    messages.push_back(
        {kDepth2, stamp + 5000000, veltrax_bag_builder::cdr_compressed_image(depth2)});
  }
  damage(messages);
  veltrax_bag_builder::write_bag(dir, storage, recorded_topics, messages);
}

const std::vector<std::string> kCamera1Remaps = {
    std::string("/robot/camera1/color:=") + topics::kColor[0],
    std::string("/robot/camera1/depth:=") + topics::kDepth[0],
    std::string("/robot/camera1/camera_info:=") + topics::kCameraInfo[0]};

TEST(Replay, RunsTheNodeOnEveryFrameOfTheWindowAndRefusesBadRecordings)
{
  const fs::path root =
      fs::temp_directory_path() / ("veltrax_replay_" + std::to_string(::getpid()));
  fs::remove_all(root);
  vd::RunOptions real_options;
  real_options.real_dir = std::string(VELTRAX_WORKSPACE_DIR) + "/veltrax_cv_model/test/data/rgbd";
  real_options.frames = 1;
  const vd::Source real = vd::load_source(real_options, false);
  fs::create_directories(root);
  // The boxes the demo scripts for the real frames, so every cycle has something to outline.
  const std::string model = vd::write_scripted_model(root, real);
  write_recording(root / "bag", "sqlite3", real, [](std::vector<RecordedMessage> &) {});
  write_recording(root / "mcap", "mcap", real, [](std::vector<RecordedMessage> &) {});
  write_recording(root / "cut_depth", "sqlite3", real, [](std::vector<RecordedMessage> & messages) {
    for (RecordedMessage & m : messages) {
      if (m.topic == kDepth2 && m.time_ns > kRecordingStart + kFrameTimes[0] + kSecond / 100) {
        m.data.resize(m.data.size() - 200);
      }
    }
  });

  struct Case
  {
    const char * name;
    const char * bag;
    double start_s;
    double duration_s;
    bool fast;
    std::vector<std::string> remaps;
    int frames;  // published; -1: refused
    int lidar;   // skipped messages of the lidar topic
    std::string error;
  };
  // Each frame waits for the previous one's outline (--fast), so every frame is processed
  // however long a cycle takes here; the recorded timing gets one case of its own.
  const std::vector<Case> cases = {
      {"whole recording", "bag", 0.0, -1.0, true, kCamera1Remaps, 3, 5, ""},
      {"whole recording at recorded timing", "bag", 0.0, -1.0, false, kCamera1Remaps, 3, 5, ""},
      // Camera info and mounts recorded before the window still reach the node.
      {"from 0.3 s", "bag", 0.3, -1.0, true, kCamera1Remaps, 2, 4, ""},
      {"0.3 s to 0.7 s", "bag", 0.3, 0.4, true, kCamera1Remaps, 1, 2, ""},
      {"first 0.6 s, MCAP", "mcap", 0.0, 0.6, true, kCamera1Remaps, 2, 2, ""},
      {"camera 1 not remapped",
       "bag",
       0.0,
       -1.0,
       true,
       {},
       -1,
       0,
       std::string("no topic for the node's input ") + topics::kColor[0]},
      {"window past the end", "bag", 5.0, -1.0, true, kCamera1Remaps, -1, 0,
       "no image of the node's inputs in the replayed window"},
      {"malformed remap",
       "bag",
       0.0,
       -1.0,
       true,
       {"/robot/camera1/color"},
       -1,
       0,
       "is not FROM:=TO"},
      {"cut depth message", "cut_depth", 0.0, -1.0, true, kCamera1Remaps, -1, 0,
       std::string(topics::kDepth[1]) + "/compressedDepth at "},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    vd::RunOptions options;
    options.workspace_dir = VELTRAX_WORKSPACE_DIR;
    const fs::path out = root / ("out" + std::to_string(&c - cases.data()));
    options.out_dir = out.string();
    options.bag_dir = (root / c.bag).string();
    options.bag_start_s = c.start_s;
    options.bag_duration_s = c.duration_s;
    options.fast = c.fast;
    options.remaps = c.remaps;
    options.model_file = model;
    options.progress = false;
    options.timeout_s = 120.0;
    if (c.frames < 0) {
      try {
        vd::run_demo(options);
        ADD_FAILURE() << "replayed without complaint";
      } catch (const std::runtime_error & error) {
        EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
      }
      continue;
    }
    const vd::RunSummary summary = vd::run_demo(options);
    EXPECT_EQ(summary.mode, "bag");
    EXPECT_EQ(summary.frames_published, c.frames);
    // At recorded timing a cycle slower than the 0.4 s between frames skips one.
    if (c.fast) {
      EXPECT_EQ(summary.frames_processed, c.frames);
    } else {
      EXPECT_GE(summary.frames_processed, 1);
    }
    for (const vd::FrameRecord & frame : summary.frames) {
      EXPECT_GT(frame.outline_points, 0) << "frame " << frame.frame;
    }
    for (const char * input :
         {topics::kColor[0], topics::kDepth[0], topics::kColor[1], topics::kDepth[1]}) {
      EXPECT_EQ(summary.replayed_per_topic.at(input), c.frames) << input;
    }
    EXPECT_EQ(summary.replayed_per_topic.at(topics::kCameraInfo[0]), 1);
    EXPECT_EQ(summary.replayed_per_topic.at(topics::kTfStatic), 1);
    EXPECT_EQ(summary.skipped_per_topic.at("/lidar/points"), c.lidar);
    // Camera 1's two bottles (scripted boxes) are reported.
    EXPECT_GE(summary.trash_records, 2);
    EXPECT_TRUE(fs::exists(out / "summary.png"));
    EXPECT_TRUE(fs::exists(out / "topdown/0000.png"));
    EXPECT_TRUE(fs::exists(out / "overlays/0000_cam2.png"));
    // The replay's own recording, the replayed inputs with the node's outputs.
    EXPECT_TRUE(fs::exists(out / "replay.mcap"));
  }
  fs::remove_all(root);
}

}  // namespace
