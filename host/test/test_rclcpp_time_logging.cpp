// Clock/Time semantics and logging output of the host rclcpp.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rclcpp/rclcpp.hpp"

namespace
{
std::mutex g_lines_mutex;
std::vector<std::string> g_lines;

void capture(const rcutils_log_location_t *, int severity, const char * name,
             rcutils_time_point_value_t, const char * format, va_list * args)
{
  char message[512];
  std::vsnprintf(message, sizeof(message), format, *args);
  std::lock_guard<std::mutex> lock(g_lines_mutex);
  g_lines.push_back(std::to_string(severity) + " " + name + ": " + message);
}

class Logging : public ::testing::Test
{
protected:
  void SetUp() override
  {
    previous_ = rcutils_logging_get_output_handler();
    rcutils_logging_set_output_handler(&capture);
    std::lock_guard<std::mutex> lock(g_lines_mutex);
    g_lines.clear();
  }
  void TearDown() override
  {
    rcutils_logging_set_output_handler(previous_);
    rcutils_logging_set_default_logger_level(RCUTILS_LOG_SEVERITY_INFO);
    rcutils_logging_set_logger_level("quiet", RCUTILS_LOG_SEVERITY_UNSET);
    rclcpp::shutdown();
  }
  std::vector<std::string> lines()
  {
    std::lock_guard<std::mutex> lock(g_lines_mutex);
    return g_lines;
  }

  rcutils_logging_output_handler_t previous_ = nullptr;
};

int g_evaluations = 0;
int counted() { return ++g_evaluations; }

TEST_F(Logging, HandlerSeesSeverityNameAndFormattedMessage)
{
  rclcpp::init(0, nullptr);
  auto node = std::make_shared<rclcpp::Node>("det", "ns");
  RCLCPP_INFO(node->get_logger(), "model_batch = %d", 2);
  RCLCPP_WARN_STREAM(node->get_logger(), "value " << 1.5);
  RCLCPP_ERROR(rclcpp::get_logger("other"), "%s", std::string("text").c_str());
  for (int i = 0; i < 3; ++i) {
    RCLCPP_INFO_ONCE(node->get_logger(), "once %d", i);
    RCLCPP_INFO_SKIPFIRST(node->get_logger(), "skip %d", i);
    RCLCPP_INFO_EXPRESSION(node->get_logger(), i == 1, "expr %d", i);
    RCLCPP_INFO_THROTTLE(node->get_logger(), *node->get_clock(), 10000, "throttle %d", i);
  }
  EXPECT_EQ(lines(), (std::vector<std::string>{"20 ns.det: model_batch = 2", "30 ns.det: value 1.5",
                                               "40 other: text", "20 ns.det: once 0",
                                               "20 ns.det: throttle 0", "20 ns.det: skip 1",
                                               "20 ns.det: expr 1", "20 ns.det: skip 2"}));
}

TEST_F(Logging, DisabledSeveritiesDoNotEvaluateArguments)
{
  g_evaluations = 0;
  auto logger = rclcpp::get_logger("quiet");
  RCLCPP_DEBUG(logger, "%d", counted());
  EXPECT_EQ(g_evaluations, 0);
  logger.set_level(rclcpp::Logger::Level::Debug);
  RCLCPP_DEBUG(logger, "%d", counted());
  EXPECT_EQ(g_evaluations, 1);
  // Child loggers inherit the level of their parent.
  RCLCPP_DEBUG(logger.get_child("child"), "child %d", 7);
  logger.set_level(rclcpp::Logger::Level::Error);
  RCLCPP_WARN(logger, "%d", counted());
  EXPECT_EQ(g_evaluations, 1);
  EXPECT_EQ(lines(), (std::vector<std::string>{"10 quiet: 1", "10 quiet.child: child 7"}));
}

TEST_F(Logging, LogLevelArgumentsSetDefaultAndPerLoggerLevels)
{
  const char * argv[] = {"prog", "--ros-args", "--log-level", "warn", "--log-level", "loud:=debug"};
  rclcpp::init(6, argv);
  EXPECT_EQ(rcutils_logging_get_default_logger_level(), RCUTILS_LOG_SEVERITY_WARN);
  EXPECT_EQ(rcutils_logging_get_logger_effective_level("loud.x"), RCUTILS_LOG_SEVERITY_DEBUG);
  RCLCPP_INFO(rclcpp::get_logger("plain"), "hidden");
  RCLCPP_DEBUG(rclcpp::get_logger("loud"), "shown");
  EXPECT_EQ(lines(), (std::vector<std::string>{"10 loud: shown"}));
  rcutils_logging_set_logger_level("loud", RCUTILS_LOG_SEVERITY_UNSET);
}

TEST(ConsoleOutput, LineFormatMatchesRcutilsDefault)
{
  rcutils_log_location_t location{"f", "file.cpp", 3};
  char buffer[256];
  rcutils_logging_format_message(&location, RCUTILS_LOG_SEVERITY_WARN, "node",
                                 1700000000000000042LL, "hello", buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, "[WARN] [1700000000.000000042] [node]: hello");
  ::testing::internal::CaptureStderr();
  RCUTILS_LOG_ERROR_NAMED("console", "x=%d", 5);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("[ERROR] [", 0), 0u);
  EXPECT_NE(err.find("] [console]: x=5\n"), std::string::npos);
}

TEST(Time, MixingClockTypesThrowsAndRosStampsMixWithNodeTime)
{
  rclcpp::init(0, nullptr);
  auto node = std::make_shared<rclcpp::Node>("clock");
  builtin_interfaces::msg::Time stamp;
  stamp.sec = 10;
  const rclcpp::Time from_msg(stamp);
  EXPECT_EQ(from_msg.get_clock_type(), RCL_ROS_TIME);
  EXPECT_EQ(node->now().get_clock_type(), RCL_ROS_TIME);
  EXPECT_GT((node->now() - from_msg).seconds(), 1.0e9);
  const rclcpp::Time system = rclcpp::Clock(RCL_SYSTEM_TIME).now();
  try {
    (void)(node->now() - system);
    FAIL();
  } catch (const std::runtime_error & e) {
    EXPECT_STREQ(e.what(), "can't subtract times with different time sources [1 != 2]");
  }
  try {
    (void)(rclcpp::Time() < from_msg);
    FAIL();
  } catch (const std::runtime_error & e) {
    EXPECT_STREQ(e.what(), "can't compare times with different time sources");
  }
  EXPECT_THROW(rclcpp::Time(-1, 0), std::runtime_error);
  rclcpp::shutdown();
}

TEST(Time, MessageConversionFloorsAndDurationsConvert)
{
  const builtin_interfaces::msg::Time negative = rclcpp::Time(-1500000000LL);
  EXPECT_EQ(negative.sec, -2);
  EXPECT_EQ(negative.nanosec, 500000000u);
  const builtin_interfaces::msg::Time positive = rclcpp::Time(2, 999999999u);
  EXPECT_EQ(positive.sec, 2);
  EXPECT_EQ(positive.nanosec, 999999999u);
  EXPECT_EQ(rclcpp::Duration::from_seconds(0.1).nanoseconds(), 100000000);
  EXPECT_EQ(rclcpp::Duration(std::chrono::milliseconds(250)).seconds(), 0.25);
  EXPECT_EQ(rclcpp::Duration(1, 5).to_chrono<std::chrono::nanoseconds>().count(), 1000000005);
  const rclcpp::Time later = rclcpp::Time(5, 0, RCL_ROS_TIME) + rclcpp::Duration(1, 0);
  EXPECT_EQ(later.nanoseconds(), 6000000000LL);
  EXPECT_EQ(later.get_clock_type(), RCL_ROS_TIME);
  EXPECT_THROW(rclcpp::Time::max() + rclcpp::Duration::max() + rclcpp::Duration::max() +
                   rclcpp::Duration::from_nanoseconds(INT64_MAX),
               std::overflow_error);
}
}  // namespace
