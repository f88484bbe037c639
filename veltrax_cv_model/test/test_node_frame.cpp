// The node's construction: parameters and their log lines, topic wiring and input caches.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rclcpp_host/testing.hpp"
#include "rcutils/logging.h"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_cv_model
{
namespace
{

using namespace std::chrono_literals;
using veltrax_harness::LogCapture;
using veltrax_harness::Probe;
using veltrax_harness::RosSession;

std::vector<std::string> info_lines_from(const LogCapture & log, const std::string & first,
                                         std::size_t count)
{
  const std::vector<std::string> info = log.messages(RCUTILS_LOG_SEVERITY_INFO);
  const auto start = std::find(info.begin(), info.end(), first);
  if (start == info.end()) return {};
  return std::vector<std::string>(start,
                                  start + std::min<std::ptrdiff_t>(count, info.end() - start));
}

TEST(NodeFrame, KeepsConstructionValuesAndLogsThemInOrderWithoutParameters)
{
  RosSession ros;
  LogCapture log;
  const auto node = std::make_shared<Yolov5sPredictor>();

  const std::vector<std::string> expected = {
      "box_conf_threshold = 0.40",
      "nms_threshold = 0.30",
      "model_batch = 2",
      "draw_results = 0",
      "publish_web = 0",
      "debug is = 0",
      "satisNum = 50",
      "satisThreshold = 1.000000",
      "KDTreeSearchRadius = 0.100000",
      "KDTreeMinClusterSize = 30",
      "KDTreeMaxClusterSize = 25000",
      "merge_dis = 0.80",
      "center_threshold = 0.50",
      "camera1_min = 0.00",
      "camera2_min = 0.20",
      "camera1_max = 3.00",
      "camera2_max = 3.00",
      "motion_compensation = 0",
      "isVel = 0",
      "isTF = 0",
      "grid_step = 0.010000",
      "grid_kernelSize = 3",
      "grid_th = 5",
      "person_dis_th = 2",
      "downsample_leaf_size = 0.001000",
      "ground_cluster-ground_removal-rMin= 0.200000\n",
      "ground_cluster-ground_removal-rMax= 5.000000\n",
      "ground_cluster-ground_removal-tHmin= -0.150000\n",
      "ground_cluster-ground_removal-tHmax= 0.150000\n",
      "ground_cluster-ground_removal-tHDiff= 0.025000\n",
      "ground_cluster-ground_removal-tSDiff= 0.300000\n",
      "ground_cluster-ground_removal-hSensor= 0.500000 \n",
      "ground_cluster-ground_removal-gauss_sigma= 0.200000 \n",
      "ground_cluster-ground_removal-gauss_samples= 5 \n",
      "ground_cluster-ground_removal-thres= 0.050000 \n",
      "anchors = 10, 13, 16, 30, 33, 23, 30, 61, 62, 45, 59, 119, 116, 90, 156, 198, 373, 326, ",
  };
  EXPECT_EQ(info_lines_from(log, expected.front(), expected.size()), expected);
  EXPECT_EQ(node->cluster_method, 3);
  EXPECT_EQ(node->anchors_, kDefaultAnchors);
  ASSERT_NE(node->cluster_, nullptr);
  EXPECT_FLOAT_EQ(node->cluster_->grid_step(), 0.01f);
}

TEST(NodeFrame, ReadsSuppliedParameters)
{
  RosSession ros({"-p", "draw_result:=true", "-p", "person_dis_th:=2.7", "-p", "obj_class_num:=8",
                  "-p", "grid_step:=0.05", "-p", "grid_kernelSize:=5", "-p", "anchors:=1,2,3,",
                  "-p", "/ground_removal/rMax:=4.5", "-p", "/ground_removal/gauss_samples:=7", "-p",
                  "cluster_method:=1"});
  LogCapture log;
  const auto node = std::make_shared<Yolov5sPredictor>();

  EXPECT_EQ(log.count("draw_results = 1"), 1u);
  EXPECT_EQ(log.count("person_dis_th = 2"), 1u);
  EXPECT_FLOAT_EQ(node->person_dis_th, 2.7f);
  EXPECT_EQ(node->cluster_method, 1);
  EXPECT_DOUBLE_EQ(node->ground_removal_params_.rMax, 4.5);
  EXPECT_EQ(node->ground_removal_params_.gauss_samples, 7);
  // Unset ground-removal values keep theirs.
  EXPECT_DOUBLE_EQ(node->ground_removal_params_.rMin, 0.2);
  EXPECT_EQ(node->anchors_[0], 1);
  EXPECT_EQ(node->anchors_[2], 3);
  EXPECT_EQ(node->anchors_[3], kDefaultAnchors[3]);
  // The clustering component gets the parameter values, not the construction values.
  EXPECT_FLOAT_EQ(node->cluster_->grid_step(), 0.05f);
  EXPECT_EQ(node->cluster_->grid_kernel_size(), 5);
}

std::size_t thread_count()
{
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                    std::filesystem::directory_iterator()));
}

TEST(NodeFrame, RefusesToStartOnAWrongTypeOrAnUnusableAnchorList)
{
  struct Case
  {
    std::string rule;
    std::string expected_in_message;
  };
  const Case cases[] = {
      {"box_conf_threshold:=1", "box_conf_threshold"},
      {"debug:=1", "debug"},
      {"/ground_removal/gauss_samples:=5.0", "/ground_removal/gauss_samples"},
      {"anchors:=10,x,", "stof"},
      {"obj_class_num:=2147483647", "obj_class_num"},
      {"obj_class_num:=0", "obj_class_num"},
      {"anchors:=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,", "anchors"},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.rule);
    RosSession ros({"-p", c.rule});
    // Transforms keep arriving while the half-built node unwinds: its listener must be gone
    // before the buffer it writes into (the sanitizer builds catch the other order), and no
    // thread it started may outlive it.
    const auto tf_source = rclcpp::Node::make_shared("tf_source");
    const auto tf_pub = tf_source->create_publisher<tf2_msgs::msg::TFMessage>("/tf", 10);
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
      tf2_msgs::msg::TFMessage message;
      message.transforms.resize(1);
      message.transforms[0].header.frame_id = "base_footprint";
      message.transforms[0].child_frame_id = "camera";
      message.transforms[0].transform.rotation.w = 1.0;
      while (flooding.load()) {
        message.transforms[0].header.stamp = tf_source->now();
        tf_pub->publish(message);
        std::this_thread::yield();
      }
    });
    const std::size_t threads_before = thread_count();
    try {
      const auto node = std::make_shared<Yolov5sPredictor>();
      ADD_FAILURE() << "the node started";
    } catch (const std::exception & e) {
      EXPECT_NE(std::string(e.what()).find(c.expected_in_message), std::string::npos) << e.what();
    }
    EXPECT_EQ(thread_count(), threads_before);
    flooding.store(false);
    flood.join();
  }
}

std::set<std::string> output_topics()
{
  std::set<std::string> topics;
  for (const auto & topic : rclcpp_host::advertised_topics()) {
    if (topic.rfind("/perception/", 0) == 0) topics.insert(topic);
  }
  return topics;
}

TEST(NodeFrame, AdvertisesDebugTopicsOnlyWithDebug)
{
  {
    RosSession ros;
    const auto node = std::make_shared<Yolov5sPredictor>();
    EXPECT_EQ(output_topics(),
              (std::set<std::string>{"/perception/yolov5/obstacle_pointcloud",
                                     "/perception/yolov5/person", "/perception/yolov5/trashes"}));
  }
  {
    RosSession ros({"-p", "debug:=true"});
    const auto node = std::make_shared<Yolov5sPredictor>();
    EXPECT_EQ(output_topics(),
              (std::set<std::string>{"/perception/yolov5/obstacle_pointcloud",
                                     "/perception/yolov5/person", "/perception/yolov5/trashes",
                                     "/perception/yolov5/image1", "/perception/yolov5/image2",
                                     "/perception/yolov5/detect_filtered_results1",
                                     "/perception/yolov5/detect_filtered_results2"}));
  }
}

TEST(NodeFrame, CachesTheNewestInputOfEveryStream)
{
  RosSession ros;
  const auto node = std::make_shared<Yolov5sPredictor>();
  Probe probe;
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);

  probe.info1->publish(veltrax_harness::camera_info(600, 605, 320, 240));
  probe.info2->publish(veltrax_harness::camera_info(500, 501, 300, 200));
  // Two colour frames before the node spins: the image queue keeps only the newest.
  const rclcpp::Time stamp = node->now();
  probe.color1->publish(veltrax_harness::image(4, 2, "rgb8", "cam1", stamp, 1));
  probe.color1->publish(veltrax_harness::image(4, 2, "rgb8", "cam1", stamp, 2));
  geometry_msgs::msg::Twist twist;
  twist.linear.x = 0.3;
  twist.angular.z = -0.5;
  probe.cmd_vel->publish(twist);
  executor.spin_some();

  EXPECT_FLOAT_EQ(node->camera1_intrinsics_.fx, 600.0f);
  EXPECT_FLOAT_EQ(node->camera1_intrinsics_.fy, 605.0f);
  EXPECT_FLOAT_EQ(node->camera1_intrinsics_.cx, 320.0f);
  EXPECT_FLOAT_EQ(node->camera1_intrinsics_.cy, 240.0f);
  EXPECT_FLOAT_EQ(node->camera2_intrinsics_.fx, 500.0f);
  ASSERT_NE(node->camera1_color_msg_, nullptr);
  EXPECT_EQ(node->camera1_color_msg_->data.front(), 2);
  EXPECT_EQ(node->camera2_color_msg_, nullptr);
  EXPECT_DOUBLE_EQ(node->cmd_vel_.linear.x, 0.3);
  EXPECT_DOUBLE_EQ(node->cmd_vel_.angular.z, -0.5);
}

TEST(NodeFrame, TicksOnItsTimerAndReportsMissingInputsOnce)
{
  // At debug level every tick that finds all four images logs their latencies.
  RosSession ros({"--log-level", "debug"});
  LogCapture log;
  const auto node = std::make_shared<Yolov5sPredictor>();
  Probe probe;
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.add_node(probe.node);
  ASSERT_TRUE(veltrax_harness::spin_until(executor,
                                          [&] { return log.count("No input camera data") >= 1; }));
  veltrax_harness::spin_for(executor, 300ms);
  EXPECT_EQ(log.count("No input camera data"), 1u);

  for (const auto & publisher : {probe.color1, probe.depth1, probe.color2, probe.depth2}) {
    publisher->publish(veltrax_harness::image(4, 4, "rgb8", "unknown_frame", node->now()));
  }
  EXPECT_TRUE(veltrax_harness::spin_until(
      executor, [&] { return log.count("camera1_color_pub_to_sub_cost_time") >= 3; }));
}

TEST(NodeFrame, LabelLookupsNeverInsert)
{
  RosSession ros;
  const auto node = std::make_shared<Yolov5sPredictor>();
  EXPECT_EQ(node->id_to_label_.at(6), "person");
  EXPECT_EQ(node->label_to_id_.at("reflection"), 7);
  EXPECT_EQ(node->id_to_label_.count(8), 0u);
  EXPECT_EQ(node->id_to_label_.size(), 8u);
}

}  // namespace
}  // namespace veltrax_cv_model
