// The node's NPU set-up and inference against a host runtime that fails where it is told to:
// every failure is reported with its text and the node keeps working.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "host_rknn/host_rknn.hpp"
#include "rcutils/logging.h"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_cv_model
{
namespace
{

using veltrax_harness::LogCapture;
using veltrax_harness::RosSession;

std::string model_path(const std::string & name)
{
  return ::testing::TempDir() + "/" + name + ".yaml";
}

// Constructs the node on `model`, capturing what the loader prints on standard output.
struct NodeOnModel
{
  NodeOnModel(const host_rknn::ModelSpec & model, const std::string & name,
              const std::vector<std::string> & extra_args = {})
  {
    const std::string path = model_path(name);
    EXPECT_TRUE(host_rknn::write_model_file(path, model));
    std::vector<std::string> args{"-p", "rknn_model_path:=" + path, "-p", "obj_class_num:=8"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    ros = std::make_unique<RosSession>(args);
    ::testing::internal::CaptureStdout();
    node = std::make_shared<Yolov5sPredictor>();
    std::fflush(stdout);
    stdout_text = ::testing::internal::GetCapturedStdout();
  }

  // One detection step on two grey 640x480 images.
  void detect(DetectionFrame & frame1, DetectionFrame & frame2)
  {
    const auto image = std::make_shared<sensor_msgs::msg::Image>(
        veltrax_harness::image(640, 480, "rgb8", "camera", node->now(), 90));
    node->detectImagePair(&frame1, &frame2, image, image);
  }

  std::unique_ptr<RosSession> ros;
  std::shared_ptr<Yolov5sPredictor> node;
  std::string stdout_text;
};

TEST(NodeDetector, ReportsEverySetUpFailureAndKeepsRunning)
{
  struct Case
  {
    const char * name;
    void (*configure)(host_rknn::ModelSpec &);
    const char * printed;  // on standard output, empty for none
    const char * logged;   // at ERROR, empty for none
    bool ready;            // the detector still works afterwards
  };
  const Case cases[] = {
      {"init", [](host_rknn::ModelSpec & m) { m.faults.init.status = -6; },
       "123, rknn_init error!  status = -6\n", "", false},
      {"sdk_version", [](host_rknn::ModelSpec & m) { m.faults.query_sdk_version.status = -1; },
       "129, rknn_query_sdk  error!  status = -1\n", "", true},
      {"in_out_num", [](host_rknn::ModelSpec & m) { m.faults.query_in_out_num.status = -1; },
       "sdk version: ", "330, rknn_query_in_out_num  error!  status = -1", false},
      {"input_attr", [](host_rknn::ModelSpec & m) { m.faults.query_input_attr.status = -8; },
       "sdk version: ", "345, rknn_query_input_attr  error!  status = -8", false},
      {"output_attr",
       [](host_rknn::ModelSpec & m) {
         m.faults.query_output_attr.status = -1;
         m.faults.query_output_attr.from_call = 2;
       },
       "sdk version: ", "377, rknn_query_output_attr error!  status = -1", false},
      {"batch_one",
       [](host_rknn::ModelSpec & m) {
         m.input_dims = {1, 640, 640, 3};
       },
       "", "batch except!,batch = 1 of current, target batch = 2", false},
      {"two_outputs", [](host_rknn::ModelSpec & m) { m.outputs.resize(2); }, "",
       "model refused: it needs one image input and three output heads", false},
      // Heads of a nine-class model hold more than eight classes need: decoded as eight classes
      // they would be read at the wrong stride.
      {"more_classes", [](host_rknn::ModelSpec & m) { m.classes = 9; }, "",
       "model refused: output 0 holds 42.00 channels per cell, obj_class_num 8 needs 39; "
       "detection is disabled",
       false},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    host_rknn::ModelSpec model;
    c.configure(model);
    NodeOnModel run(model, c.name);
    EXPECT_NE(run.stdout_text.find(c.printed), std::string::npos) << run.stdout_text;
    if (*c.logged != '\0') {
      EXPECT_EQ(log.count(c.logged), 1u);
    }
    EXPECT_EQ(log.count("Load model from: " + model_path(c.name)), 1u);
    EXPECT_EQ(run.node->npu_ready(), c.ready);

    // Without a working set-up inference is skipped, said once, and the frames still carry their
    // header and image.
    for (int cycle = 0; cycle < 3; ++cycle) {
      DetectionFrame frame1;
      DetectionFrame frame2;
      run.detect(frame1, frame2);
      EXPECT_TRUE(frame1.objects.empty());
      EXPECT_EQ(frame1.header.frame_id, "frame");
      ASSERT_NE(frame2.image, nullptr);
      EXPECT_EQ(frame2.image->width, 640u);
    }
    EXPECT_EQ(log.count("NPU not set up: detection skipped in every cycle"), c.ready ? 0u : 1u);
  }
}

TEST(NodeDetector, ReportsAMissingModelFileWithItsPath)
{
  LogCapture log;
  RosSession ros;
  ::testing::internal::CaptureStdout();
  const auto node = std::make_shared<Yolov5sPredictor>();
  std::fflush(stdout);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  // Unset path: the open fails on the empty name, then rknn_init on no buffer.
  EXPECT_NE(printed.find("Open file  failed.\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("123, rknn_init error!  status = "), std::string::npos) << printed;
  EXPECT_EQ(log.count("Load model from: "), 1u);
}

TEST(NodeDetector, LearnsTheInputShapeInEitherLayout)
{
  struct Case
  {
    const char * name;
    rknn_tensor_format fmt;
    std::array<uint32_t, 4> dims;
    const char * shape_line;
  };
  const Case cases[] = {
      {"nhwc",
       RKNN_TENSOR_NHWC,
       {2, 640, 640, 3},
       "model input shape: [2, 3, 640, 640] [batch_size, channel, height, width] format=1"},
      {"nchw",
       RKNN_TENSOR_NCHW,
       {2, 3, 640, 640},
       "model input shape: [2, 3, 640, 640] [batch_size, channel, height, width] format=0"},
  };
  // An obstacle and a bottle in their key colours on grey.
  sensor_msgs::msg::Image scene =
      veltrax_harness::image(640, 480, "rgb8", "camera", rclcpp::Time(), 90);
  const auto paint = [&scene](int x1, int y1, int x2, int y2, const host_rknn::KeyColour & rgb) {
    for (int y = y1; y < y2; ++y) {
      for (int x = x1; x < x2; ++x) {
        uint8_t * pixel = &scene.data[static_cast<std::size_t>(y) * scene.step + 3 * x];
        pixel[0] = rgb.r;
        pixel[1] = rgb.g;
        pixel[2] = rgb.b;
      }
    }
  };
  paint(100, 200, 200, 320, host_rknn::key_colours()[3]);
  paint(400, 80, 440, 180, host_rknn::key_colours()[4]);
  const auto scene_message = std::make_shared<sensor_msgs::msg::Image>(scene);

  std::vector<std::vector<std::array<int32_t, 5>>> found;
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    host_rknn::ModelSpec model;
    model.input_fmt = c.fmt;
    model.input_dims = c.dims;
    NodeOnModel run(model, c.name);
    // The same scene gives the same boxes whichever layout the model takes its input in.
    DetectionFrame frame1, frame2;
    run.node->detectImagePair(&frame1, &frame2, scene_message, scene_message);
    found.emplace_back();
    for (const DetectedObject & o : frame1.objects) {
      found.back().push_back({o.class_id, o.left, o.top, o.right, o.bottom});
    }
    EXPECT_EQ(log.count(c.shape_line), 1u);
    EXPECT_TRUE(run.node->npu_ready());
    EXPECT_NE(run.stdout_text.find("sdk version: 1.5.2 (host stand-in) driver version: "),
              std::string::npos);
  }
  ASSERT_EQ(found.size(), 2u);
  ASSERT_EQ(found[0].size(), 2u);
  EXPECT_EQ(found[0], found[1]);
}

}  // namespace
}  // namespace veltrax_cv_model
