// tf2_ros stand-in: the listener thread filling a Buffer from /tf and /tf_static (including
// static transforms latched before it existed), clean shutdown, and the timed-lookup rules.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "rclcpp/rclcpp.hpp"
#include "tf2_ros/buffer.h"
#include "tf2_ros/buffer_interface.h"
#include "tf2_ros/static_transform_broadcaster.h"
#include "tf2_ros/transform_broadcaster.h"
#include "tf2_ros/transform_listener.h"

namespace
{
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

geometry_msgs::msg::TransformStamped make_tf(const std::string & parent, const std::string & child,
                                             int32_t sec, double x)
{
  geometry_msgs::msg::TransformStamped msg;
  msg.header.frame_id = parent;
  msg.header.stamp.sec = sec;
  msg.child_frame_id = child;
  msg.transform.translation.x = x;
  return msg;
}

// Polls without a timeout on the buffer so that no dedicated thread is required.
bool wait_for(const tf2::BufferCore & buffer, const std::string & target,
              const std::string & source, milliseconds limit = milliseconds(3000))
{
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (buffer.canTransform(target, source, tf2::TimePointZero)) {
      return true;
    }
    std::this_thread::sleep_for(milliseconds(2));
  }
  return false;
}

class Tf2RosTest : public ::testing::Test
{
protected:
  static void SetUpTestSuite() { rclcpp::init(0, nullptr); }
  static void TearDownTestSuite() { rclcpp::shutdown(); }

  void SetUp() override { node = std::make_shared<rclcpp::Node>("tf_publisher"); }

  rclcpp::Node::SharedPtr node;
};
}  // namespace

TEST_F(Tf2RosTest, ListenerThreadReceivesStaticTransformsSentBeforeAndAfterIt)
{
  tf2_ros::StaticTransformBroadcaster static_broadcaster(node);
  tf2_ros::TransformBroadcaster broadcaster(node);
  static_broadcaster.sendTransform(make_tf("base_footprint", "camera1_link", 0, 0.1));

  tf2_ros::Buffer buffer(node->get_clock());
  EXPECT_FALSE(buffer.isUsingDedicatedThread());
  tf2_ros::TransformListener listener(buffer);
  EXPECT_TRUE(buffer.isUsingDedicatedThread());

  ASSERT_TRUE(wait_for(buffer, "base_footprint", "camera1_link"));
  static_broadcaster.sendTransform(make_tf("base_footprint", "camera2_link", 0, 0.2));
  broadcaster.sendTransform(make_tf("odom", "base_footprint", 5, 1.0));
  ASSERT_TRUE(wait_for(buffer, "base_footprint", "camera2_link"));
  ASSERT_TRUE(wait_for(buffer, "odom", "camera2_link"));

  const auto cam1 = buffer.lookupTransform("base_footprint", "camera1_link", tf2::TimePointZero);
  EXPECT_DOUBLE_EQ(cam1.transform.translation.x, 0.1);
  EXPECT_EQ(cam1.header.stamp.sec, 0);
  const auto odom_cam2 = buffer.lookupTransform("odom", "camera2_link", tf2::TimePointZero);
  EXPECT_DOUBLE_EQ(odom_cam2.transform.translation.x, 1.2);
  EXPECT_EQ(odom_cam2.header.stamp.sec, 5);

  // With the listener's thread present, a timed lookup may wait for late data.
  std::thread late([&]() {
    std::this_thread::sleep_for(milliseconds(50));
    broadcaster.sendTransform(make_tf("map", "odom", 5, 10.0));
  });
  std::string error;
  EXPECT_TRUE(buffer.canTransform("map", "camera1_link", tf2::TimePointZero,
                                  tf2::durationFromSec(3.0), &error))
      << error;
  late.join();
  EXPECT_DOUBLE_EQ(
      buffer.lookupTransform("map", "camera1_link", tf2::TimePointZero).transform.translation.x,
      11.1);
}

TEST_F(Tf2RosTest, ListenerJoinsItsThreadAndTheBufferOutlivesIt)
{
  tf2_ros::StaticTransformBroadcaster static_broadcaster(node);
  static_broadcaster.sendTransform(make_tf("base_footprint", "camera1_link", 0, 0.1));
  tf2_ros::Buffer buffer(node->get_clock());

  // Destroyed at once, before its thread may even have started spinning: must not hang.
  for (int i = 0; i < 20; ++i) {
    tf2_ros::TransformListener listener(buffer);
  }
  {
    tf2_ros::TransformListener listener(buffer);
    ASSERT_TRUE(wait_for(buffer, "base_footprint", "camera1_link"));
  }
  // No listener any more: the buffer keeps its data and receives nothing new.
  tf2_ros::TransformBroadcaster broadcaster(node);
  broadcaster.sendTransform(make_tf("odom", "base_footprint", 1, 1.0));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_NO_THROW(buffer.lookupTransform("base_footprint", "camera1_link", tf2::TimePointZero));
  EXPECT_FALSE(buffer.canTransform("odom", "base_footprint", tf2::TimePointZero));
}

TEST_F(Tf2RosTest, ListenerOnAGivenNodeWithoutThreadIsServicedByThatNode)
{
  tf2_ros::Buffer buffer(node->get_clock());
  tf2_ros::TransformListener listener(buffer, node, false);
  EXPECT_FALSE(buffer.isUsingDedicatedThread());
  tf2_ros::TransformBroadcaster broadcaster(node);
  broadcaster.sendTransform(make_tf("odom", "base_footprint", 2, 3.0));
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(buffer.canTransform("odom", "base_footprint", tf2::TimePointZero));

  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.spin_all(milliseconds(200));
  EXPECT_TRUE(buffer.canTransform("odom", "base_footprint", tf2::TimePointZero));
}

TEST_F(Tf2RosTest, TimedLookupsRefuseToWaitWithoutADedicatedThread)
{
  EXPECT_THROW(
      {
        try {
          tf2_ros::Buffer buffer(nullptr);
        } catch (const std::invalid_argument & e) {
          EXPECT_STREQ(e.what(), "clock must be a valid instance");
          throw;
        }
      },
      std::invalid_argument);

  tf2_ros::Buffer buffer(node->get_clock(), tf2::durationFromSec(10.0), node);
  ASSERT_TRUE(buffer.setTransform(make_tf("odom", "base_footprint", 1, 1.0), "test"));

  // A long timeout, yet no wait: the error comes at once and the core lookup then throws.
  const auto start = Clock::now();
  std::string error;
  EXPECT_FALSE(buffer.canTransform("odom", "camera1_link", tf2::TimePointZero,
                                   tf2::durationFromSec(5), &error));
  EXPECT_EQ(error, tf2_ros::threading_error);
  EXPECT_THROW(
      buffer.lookupTransform("odom", "camera1_link", tf2::TimePointZero, tf2::durationFromSec(5)),
      tf2::LookupException);
  // rclcpp::Time goes through the timed path too (zero timeout), still answering.
  const auto via_rclcpp = buffer.lookupTransform("odom", "base_footprint", rclcpp::Time(0));
  EXPECT_DOUBLE_EQ(via_rclcpp.transform.translation.x, 1.0);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));

  // With a dedicated thread declared, the timeout is honoured.
  buffer.setUsingDedicatedThread(true);
  const auto wait_start = Clock::now();
  EXPECT_FALSE(
      buffer.canTransform("odom", "camera1_link", tf2::TimePointZero, tf2::durationFromSec(0.1)));
  EXPECT_GE(Clock::now() - wait_start, milliseconds(100));
}

TEST(Tf2RosConversions, TimeHelpersRoundTrip)
{
  builtin_interfaces::msg::Time stamp;
  stamp.sec = 1700000000;
  stamp.nanosec = 123456789;
  const tf2::TimePoint tp = tf2_ros::fromMsg(stamp);
  EXPECT_EQ(tp.time_since_epoch().count(), 1700000000123456789LL);
  EXPECT_EQ(tf2_ros::toMsg(tp), stamp);

  const rclcpp::Time ros_time(5, 250, RCL_ROS_TIME);
  EXPECT_EQ(tf2_ros::fromRclcpp(ros_time).time_since_epoch().count(), 5000000250LL);
  const rclcpp::Time back = tf2_ros::toRclcpp(tf2_ros::fromRclcpp(ros_time));
  EXPECT_EQ(back.nanoseconds(), 5000000250LL);
  EXPECT_EQ(back.get_clock_type(), RCL_SYSTEM_TIME);
  EXPECT_EQ(tf2_ros::fromRclcpp(rclcpp::Duration(1, 5)).count(), 1000000005LL);
  EXPECT_EQ(tf2_ros::toRclcpp(tf2::durationFromSec(0.5)).nanoseconds(), 500000000LL);

  const tf2_ros::StaticListenerQoS static_qos;
  EXPECT_EQ(static_qos.durability(), rclcpp::DurabilityPolicy::TransientLocal);
  EXPECT_EQ(static_qos.depth(), 100u);
  EXPECT_EQ(tf2_ros::StaticBroadcasterQoS().depth(), 1u);
  EXPECT_EQ(tf2_ros::DynamicListenerQoS().durability(), rclcpp::DurabilityPolicy::Volatile);
  EXPECT_EQ(tf2_ros::DynamicListenerQoS().reliability(), rclcpp::ReliabilityPolicy::Reliable);
}
