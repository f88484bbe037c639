// Host stand-in for rclcpp/time.hpp (ROS 2 Humble rclcpp 16.0): Time with the same
// constructors, implicit msg conversions, operators and exception texts (clock-type mismatch,
// negative time, int64 overflow). The conversion to a message floors to whole seconds.
#pragma once

#include <cstdint>

#include "builtin_interfaces/msg/time.hpp"
#include "rcl/time.h"
#include "rclcpp/duration.hpp"

namespace rclcpp
{
class Clock;

class Time
{
public:
  Time(int32_t seconds, uint32_t nanoseconds, rcl_clock_type_t clock_type = RCL_SYSTEM_TIME);
  explicit Time(int64_t nanoseconds = 0, rcl_clock_type_t clock_type = RCL_SYSTEM_TIME);
  Time(const Time & rhs);
  Time(const builtin_interfaces::msg::Time & time_msg,  // NOLINT: implicit as in Humble
       rcl_clock_type_t clock_type = RCL_ROS_TIME);
  explicit Time(const rcl_time_point_t & time_point);
  virtual ~Time();

  operator builtin_interfaces::msg::Time() const;

  Time & operator=(const Time & rhs);
  Time & operator=(const builtin_interfaces::msg::Time & time_msg);

  bool operator==(const rclcpp::Time & rhs) const;
  bool operator!=(const rclcpp::Time & rhs) const;
  bool operator<(const rclcpp::Time & rhs) const;
  bool operator<=(const rclcpp::Time & rhs) const;
  bool operator>=(const rclcpp::Time & rhs) const;
  bool operator>(const rclcpp::Time & rhs) const;

  Time operator+(const rclcpp::Duration & rhs) const;
  Duration operator-(const rclcpp::Time & rhs) const;
  Time operator-(const rclcpp::Duration & rhs) const;
  Time & operator+=(const rclcpp::Duration & rhs);
  Time & operator-=(const rclcpp::Duration & rhs);

  rcl_time_point_value_t nanoseconds() const;
  static Time max(rcl_clock_type_t clock_type = RCL_SYSTEM_TIME);
  double seconds() const;
  rcl_clock_type_t get_clock_type() const;

private:
  rcl_time_point_t rcl_time_;
  friend Clock;
};

Time operator+(const rclcpp::Duration & lhs, const rclcpp::Time & rhs);
}  // namespace rclcpp
