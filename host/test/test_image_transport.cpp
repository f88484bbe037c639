// image_transport stand-in: raw delivery through the host graph with the caller's QoS, shared
// subscriber handles, and refusal of transports that are not installed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "image_transport/image_transport.hpp"
#include "rclcpp/rclcpp.hpp"

namespace
{
class ImageTransportTest : public ::testing::Test
{
protected:
  static void SetUpTestSuite() { rclcpp::init(0, nullptr); }
  static void TearDownTestSuite() { rclcpp::shutdown(); }

  void SetUp() override
  {
    node = std::make_shared<rclcpp::Node>("image_transport_test", "/robot");
    executor.add_node(node);
  }

  sensor_msgs::msg::Image make_image(uint32_t seq)
  {
    sensor_msgs::msg::Image msg;
    msg.header.frame_id = "camera1_color_optical_frame";
    msg.header.stamp.sec = static_cast<int32_t>(seq);
    msg.encoding = "rgb8";
    msg.width = 1;
    msg.height = 1;
    msg.step = 3;
    msg.data = {static_cast<uint8_t>(seq), 2, 3};
    return msg;
  }

  rclcpp::Node::SharedPtr node;
  rclcpp::executors::SingleThreadedExecutor executor;
};

// The camera image profile: keep last 1, best effort, volatile.
rmw_qos_profile_t camera_qos()
{
  rmw_qos_profile_t qos = rmw_qos_profile_default;
  qos.depth = 1;
  qos.reliability = RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT;
  return qos;
}
}  // namespace

TEST_F(ImageTransportTest, RawTransportDeliversOnTheResolvedBaseTopicWithTheGivenDepth)
{
  std::vector<int32_t> latest_only;
  std::vector<int32_t> all;
  image_transport::Subscriber latest = image_transport::create_subscription(
      node.get(), "camera/color",
      [&](const sensor_msgs::msg::Image::ConstSharedPtr & msg) {
        latest_only.push_back(msg->header.stamp.sec);
        EXPECT_EQ(msg->data,
                  (std::vector<uint8_t>{static_cast<uint8_t>(msg->header.stamp.sec), 2, 3}));
      },
      "raw", camera_qos());
  image_transport::Subscriber every = image_transport::create_subscription(
      node.get(), "/robot/camera/color",
      [&](const sensor_msgs::msg::Image::ConstSharedPtr & msg) {
        all.push_back(msg->header.stamp.sec);
      },
      "raw");

  EXPECT_EQ(latest.getTopic(), "/robot/camera/color");
  EXPECT_EQ(latest.getTransport(), "raw");
  EXPECT_EQ(latest.getNumPublishers(), 0u);

  auto publisher = image_transport::create_publisher(node.get(), "camera/color");
  EXPECT_EQ(publisher.getTopic(), "/robot/camera/color");
  EXPECT_EQ(latest.getNumPublishers(), 1u);
  EXPECT_EQ(publisher.getNumSubscribers(), 2u);

  for (uint32_t seq = 1; seq <= 3; ++seq) {
    publisher.publish(make_image(seq));
  }
  executor.spin_all(std::chrono::milliseconds(200));
  EXPECT_EQ(latest_only, (std::vector<int32_t>{3}));
  EXPECT_EQ(all, (std::vector<int32_t>{1, 2, 3}));
}

TEST_F(ImageTransportTest, CopiesShareOneSubscriptionUntilShutdown)
{
  int received = 0;
  image_transport::Subscriber original = image_transport::create_subscription(
      node.get(), "camera/depth",
      [&](const sensor_msgs::msg::Image::ConstSharedPtr &) { ++received; }, "raw", camera_qos());
  image_transport::Subscriber copy = original;
  EXPECT_TRUE(copy == original);
  EXPECT_NE(static_cast<void *>(copy), nullptr);
  EXPECT_EQ(static_cast<void *>(image_transport::Subscriber()), nullptr);

  auto publisher = image_transport::create_publisher(node.get(), "camera/depth");
  publisher.publish(std::make_shared<const sensor_msgs::msg::Image>(make_image(1)));
  executor.spin_some();
  EXPECT_EQ(received, 1);

  // Dropping the original keeps the subscription alive through the copy.
  original = image_transport::Subscriber();
  publisher.publish(make_image(2));
  executor.spin_some();
  EXPECT_EQ(received, 2);

  copy.shutdown();
  EXPECT_EQ(static_cast<void *>(copy), nullptr);
  EXPECT_EQ(copy.getTopic(), "");
  EXPECT_EQ(publisher.getNumSubscribers(), 0u);
  publisher.publish(make_image(3));
  executor.spin_some();
  EXPECT_EQ(received, 2);
}

TEST_F(ImageTransportTest, RefusesTransportsThatAreNotInstalled)
{
  for (const std::string transport : {"compressed", "compressedDepth", "theora", ""}) {
    SCOPED_TRACE(transport);
    try {
      image_transport::create_subscription(
          node.get(), "camera/color", [](const sensor_msgs::msg::Image::ConstSharedPtr &) {},
          transport, camera_qos());
      FAIL() << "transport accepted";
    } catch (const image_transport::TransportLoadException & e) {
      EXPECT_EQ(e.getTransport(), transport);
      const std::string prefix =
          "Unable to load plugin for transport '" + transport + "', error string:\n";
      EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix);
    }
  }
  // Nothing was left subscribed by the failed attempts.
  auto publisher = image_transport::create_publisher(node.get(), "camera/color");
  EXPECT_EQ(publisher.getNumSubscribers(), 0u);
  // It is an image_transport::Exception and a std::runtime_error, as callers may catch either.
  EXPECT_THROW(image_transport::create_subscription(
                   node.get(), "camera/color",
                   [](const sensor_msgs::msg::Image::ConstSharedPtr &) {}, "compressed"),
               std::runtime_error);
}
