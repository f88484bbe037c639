// Humble API details of the host rclcpp that product code and the other stand-ins rely on:
// QoS profiles, callback forms, callback groups, shutdown callbacks and interruptible sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rclcpp/rclcpp.hpp"
#include "std_msgs/msg/header.hpp"

namespace
{
using std_msgs::msg::Header;
using namespace std::chrono_literals;

TEST(Qos, ProfilesMatchHumbleDefaults)
{
  struct Case
  {
    const char * name;
    rclcpp::QoS qos;
    rmw_qos_history_policy_t history;
    size_t depth;
    rmw_qos_reliability_policy_t reliability;
    rmw_qos_durability_policy_t durability;
  };
  const std::vector<Case> cases = {
      {"depth", rclcpp::QoS(7), RMW_QOS_POLICY_HISTORY_KEEP_LAST, 7,
       RMW_QOS_POLICY_RELIABILITY_RELIABLE, RMW_QOS_POLICY_DURABILITY_VOLATILE},
      {"sensor", rclcpp::SensorDataQoS(), RMW_QOS_POLICY_HISTORY_KEEP_LAST, 5,
       RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT, RMW_QOS_POLICY_DURABILITY_VOLATILE},
      {"system", rclcpp::SystemDefaultsQoS(), RMW_QOS_POLICY_HISTORY_KEEP_LAST, 0,
       RMW_QOS_POLICY_RELIABILITY_SYSTEM_DEFAULT, RMW_QOS_POLICY_DURABILITY_SYSTEM_DEFAULT},
      {"keep_all", rclcpp::QoS(rclcpp::KeepAll()).best_effort().transient_local(),
       RMW_QOS_POLICY_HISTORY_KEEP_ALL, 0, RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT,
       RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL},
      {"from_rmw",
       rclcpp::QoS(rclcpp::QoSInitialization::from_rmw(rmw_qos_profile_parameters),
                   rmw_qos_profile_parameters),
       RMW_QOS_POLICY_HISTORY_KEEP_LAST, 1000, RMW_QOS_POLICY_RELIABILITY_RELIABLE,
       RMW_QOS_POLICY_DURABILITY_VOLATILE},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    const rmw_qos_profile_t & profile = c.qos.get_rmw_qos_profile();
    EXPECT_EQ(profile.history, c.history);
    EXPECT_EQ(profile.depth, c.depth);
    EXPECT_EQ(profile.reliability, c.reliability);
    EXPECT_EQ(profile.durability, c.durability);
    EXPECT_EQ(profile.liveliness, RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT);
    EXPECT_EQ(profile.deadline.sec + profile.deadline.nsec, 0u);
    EXPECT_FALSE(profile.avoid_ros_namespace_conventions);
  }
}

class Api : public ::testing::Test
{
protected:
  void SetUp() override { rclcpp::init(0, nullptr); }
  void TearDown() override { rclcpp::shutdown(); }
};

TEST_F(Api, EveryHumbleCallbackFormReceivesTheMessageAndInfo)
{
  auto node = std::make_shared<rclcpp::Node>("forms");
  std::vector<std::string> got;
  uint64_t sequence = 0;
  auto a = node->create_subscription<Header>(
      "t", 10, [&](const Header & m, const rclcpp::MessageInfo & info) {
        got.push_back("ref:" + m.frame_id);
        sequence = info.get_rmw_message_info().publication_sequence_number;
      });
  auto b = node->create_subscription<Header>(
      "t", 10, [&](const Header::ConstSharedPtr & m) { got.push_back("cref:" + m->frame_id); });
  auto c = node->create_subscription<Header>(
      "t", 10, [&](Header::UniquePtr m) { got.push_back("unique:" + m->frame_id); });
  std::function<void(Header::ConstSharedPtr)> as_function = [&](Header::ConstSharedPtr m) {
    got.push_back("function:" + m->frame_id);
  };
  auto d = node->create_subscription<Header>("t", 10, as_function);
  auto pub = node->create_publisher<Header>("t", 10);
  Header msg;
  msg.frame_id = "f";
  pub->publish(msg);
  pub->publish(msg);
  rclcpp::spin_some(node);
  EXPECT_EQ(got, (std::vector<std::string>{"ref:f", "cref:f", "unique:f", "function:f"}));
  EXPECT_EQ(sequence, 1u);
}

TEST_F(Api, GroupsNotAddedWithTheNodeRunOnlyInTheirOwnExecutor)
{
  auto node = std::make_shared<rclcpp::Node>("groups");
  auto group = node->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive, false);
  std::atomic<int> in_group{0};
  int in_default = 0;
  rclcpp::SubscriptionOptions options;
  options.callback_group = group;
  auto grouped = node->create_subscription<Header>(
      "g", 10, [&in_group](const Header &) { ++in_group; }, options);
  auto plain =
      node->create_subscription<Header>("g", 10, [&in_default](const Header &) { ++in_default; });
  auto pub = node->create_publisher<Header>("g", 10);
  pub->publish(Header());

  rclcpp::executors::SingleThreadedExecutor node_executor;
  node_executor.add_node(node);
  node_executor.spin_all(100ms);
  EXPECT_EQ(in_group, 0);
  EXPECT_EQ(in_default, 1);

  rclcpp::executors::SingleThreadedExecutor group_executor;
  group_executor.add_callback_group(group, node->get_node_base_interface());
  std::thread spinner([&group_executor] { group_executor.spin(); });
  pub->publish(Header());
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (in_group.load() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  group_executor.cancel();
  spinner.join();
  EXPECT_EQ(in_group.load(), 2);
}

TEST_F(Api, ShutdownRunsCallbacksOnceAndInterruptsSleep)
{
  // Callbacks stay registered with the global context, so this one must not dangle.
  auto calls = std::make_shared<int>(0);
  rclcpp::on_shutdown([calls] { ++*calls; });
  std::thread stopper([] {
    std::this_thread::sleep_for(30ms);
    rclcpp::shutdown(nullptr, "test done");
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(rclcpp::sleep_for(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  stopper.join();
  EXPECT_EQ(*calls, 1);
  EXPECT_EQ(rclcpp::contexts::get_global_default_context()->shutdown_reason(), "test done");
  EXPECT_FALSE(rclcpp::shutdown());
  EXPECT_EQ(*calls, 1);
}
}  // namespace
