// Our MCAP reader and writer against implementations written elsewhere (tools/mcap_check, npm
// packages installed by scripts/setup.sh): a recording their writer made from the real RGB-D
// frames is read back by BagReader, and run_demo's recording is checked by their reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bag/ros_messages.hpp"
#include "bag/rosbag_reader.hpp"
#include "veltrax_harness/child_process.hpp"

namespace
{

namespace fs = std::filesystem;

const fs::path kCheckDir = MCAP_CHECK_DIR;
const fs::path kFramesDir = FRAMES_DIR;

class McapCheck : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ASSERT_TRUE(fs::exists(NODE_EXECUTABLE)) << "node not found: run scripts/setup.sh";
    ASSERT_TRUE(fs::exists(kCheckDir / "node_modules"))
        << "tools/mcap_check/node_modules is missing: run scripts/setup.sh";
    scratch_ = fs::temp_directory_path() /
               ("test_mcap_check_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
                std::to_string(::getpid()));
    fs::remove_all(scratch_);
    fs::create_directories(scratch_);
  }
  void TearDown() override { fs::remove_all(scratch_); }

  // Runs `program` with `args`; on failure the test fails with its output.
  static void run(const std::string & program, const std::vector<std::string> & args)
  {
    veltrax_harness::ChildProcess child(program, args);
    ASSERT_EQ(child.wait_for_exit(std::chrono::minutes(5)), 0) << program << "\n" << child.output();
  }

  static void node(const char * script, const std::vector<std::string> & args)
  {
    std::vector<std::string> words{(kCheckDir / script).string()};
    words.insert(words.end(), args.begin(), args.end());
    run(NODE_EXECUTABLE, words);
  }

  fs::path scratch_;
};

veltrax_bag::ByteView view(const std::vector<std::uint8_t> & bytes)
{
  return {bytes.data(), bytes.size()};
}

TEST_F(McapCheck, OurReaderDecodesEveryMessageTheirWriterWrote)
{
  const fs::path bag_dir = scratch_ / "rgbd";
  ASSERT_NO_FATAL_FAILURE(node("write_rgbd_recording.mjs", {bag_dir.string(), "3"}));

  veltrax_bag::BagReader bag(bag_dir);
  std::map<std::string, std::string> types;
  for (const veltrax_bag::TopicInfo & topic : bag.topics()) {
    types[topic.name] = topic.type;
  }
  ASSERT_EQ(types.size(), 7U);
  // Camera 1 is milk_cartoon, camera 2 five_people; each image must be the PNG's pixels.
  std::map<std::string, cv::Mat> pixels;
  for (const char * camera : {"camera1", "camera2"}) {
    const std::string name = camera == std::string("camera1") ? "milk_cartoon" : "five_people";
    const fs::path folder = kFramesDir / name;
    cv::Mat rgb;
    cv::cvtColor(cv::imread((folder / (name + "_color.png")).string()), rgb, cv::COLOR_BGR2RGB);
    pixels[std::string(camera) + "rgb8"] = rgb;
    pixels[std::string(camera) + "16UC1"] =
        cv::imread((folder / (name + "_depth_mm.png")).string(), cv::IMREAD_UNCHANGED);
  }
  std::map<std::string, int> counts;
  veltrax_bag::BagMessage message;
  while (bag.read_next(message)) {
    SCOPED_TRACE(message.topic);
    ++counts[message.topic];
    const std::string & type = types.at(message.topic);
    if (type == "sensor_msgs/msg/Image") {
      const veltrax_bag::Image image = veltrax_bag::decode_image(view(message.serialized), "image");
      const std::string camera = image.header.frame_id.substr(0, 7);
      const cv::Mat & expected = pixels.at(camera + image.encoding);
      ASSERT_EQ(image.width, static_cast<std::uint32_t>(expected.cols));
      ASSERT_EQ(image.height, static_cast<std::uint32_t>(expected.rows));
      const cv::Mat got(expected.rows, expected.cols, expected.type(),
                        const_cast<std::uint8_t *>(image.data.data()), image.step);
      EXPECT_EQ(cv::norm(got, expected, cv::NORM_INF), 0.0) << image.encoding;
    } else if (type == "sensor_msgs/msg/CameraInfo") {
      const veltrax_bag::CameraInfo info =
          veltrax_bag::decode_camera_info(view(message.serialized), "info");
      EXPECT_EQ(info.k, (std::array<double, 9>{525, 0, 319.5, 0, 525, 239.5, 0, 0, 1}));
      EXPECT_EQ(info.d.size(), 5U);
    } else {
      ASSERT_EQ(type, "tf2_msgs/msg/TFMessage");
      const auto transforms = veltrax_bag::decode_tf_message(view(message.serialized), "tf");
      ASSERT_EQ(transforms.size(), 2U);
      // The camera heights of frame.yaml's T_base_cam.
      EXPECT_DOUBLE_EQ(transforms[0].translation.z, 0.4649);
      EXPECT_DOUBLE_EQ(transforms[1].translation.z, 1.2661);
      EXPECT_EQ(transforms[1].child_frame_id, "camera2_depth_optical_frame");
    }
  }
  for (const auto & [topic, type] : types) {
    EXPECT_EQ(counts[topic], topic == "/tf_static" ? 1 : 3) << topic;
  }
}

TEST_F(McapCheck, TheirReaderFindsWhatTheNodePublishedInTheDemoRecording)
{
  const fs::path out = scratch_ / "demo";
  ASSERT_NO_FATAL_FAILURE(
      run(RUN_DEMO_EXECUTABLE, {"--frames", "3", "--fast", "--quiet", "--out", out.string()}));
  ASSERT_NO_FATAL_FAILURE(node("check_recording.mjs", {(out / "replay.mcap").string(),
                                                       (out / "replay_expected.json").string()}));

  // And ours reads the same file and its metadata.yaml as a bag directory.
  veltrax_bag::BagReader bag(out);
  const std::vector<veltrax_bag::BagMessage> messages = veltrax_bag::read_all_messages(bag);
  EXPECT_EQ(messages.size(), bag.metadata().message_count);
  std::map<std::string, std::uint64_t> counts;
  for (const veltrax_bag::BagMessage & m : messages) {
    ++counts[m.topic];
  }
  for (const veltrax_bag::TopicWithCount & topic : bag.metadata().topics_with_message_count) {
    EXPECT_EQ(counts[topic.topic.name], topic.message_count) << topic.topic.name;
  }
  EXPECT_EQ(counts["/berxel_camera1/berxel_camera1/color/color_raw"], 3U);
  EXPECT_GE(counts["/perception/yolov5/obstacle_pointcloud"], 3U);
}

}  // namespace
