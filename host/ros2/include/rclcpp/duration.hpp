// Host stand-in for rclcpp/duration.hpp (ROS 2 Humble rclcpp 16.0): Duration with the same
// constructors (no public default constructor), operators, overflow exceptions and conversions.
#pragma once

#include <chrono>
#include <cstdint>

#include "builtin_interfaces/msg/duration.hpp"
#include "rcl/time.h"
#include "rmw/time.h"

namespace rclcpp
{
class Duration
{
public:
  Duration(int32_t seconds, uint32_t nanoseconds);
  explicit Duration(std::chrono::nanoseconds nanoseconds);

  // Implicit, as in Humble: Duration d = std::chrono::milliseconds(100);
  template <class Rep, class Period>
  Duration(const std::chrono::duration<Rep, Period> & duration)  // NOLINT
      : Duration(std::chrono::duration_cast<std::chrono::nanoseconds>(duration))
  {
  }

  Duration(const builtin_interfaces::msg::Duration & duration_msg);  // NOLINT
  explicit Duration(const rcl_duration_t & duration);
  Duration(const Duration & rhs);
  virtual ~Duration() = default;

  operator builtin_interfaces::msg::Duration() const;

  Duration & operator=(const Duration & rhs);
  Duration & operator=(const builtin_interfaces::msg::Duration & duration_msg);

  bool operator==(const rclcpp::Duration & rhs) const;
  bool operator!=(const rclcpp::Duration & rhs) const;
  bool operator<(const rclcpp::Duration & rhs) const;
  bool operator<=(const rclcpp::Duration & rhs) const;
  bool operator>=(const rclcpp::Duration & rhs) const;
  bool operator>(const rclcpp::Duration & rhs) const;

  Duration operator+(const rclcpp::Duration & rhs) const;
  Duration & operator+=(const rclcpp::Duration & rhs);
  Duration operator-(const rclcpp::Duration & rhs) const;
  Duration & operator-=(const rclcpp::Duration & rhs);
  Duration operator*(double scale) const;
  Duration & operator*=(double scale);

  static Duration max();

  rcl_duration_value_t nanoseconds() const;
  double seconds() const;

  static Duration from_seconds(double seconds);
  static Duration from_nanoseconds(rcl_duration_value_t nanoseconds);
  static Duration from_rmw_time(rmw_time_t duration);

  template <class DurationT>
  DurationT to_chrono() const
  {
    return std::chrono::duration_cast<DurationT>(std::chrono::nanoseconds(this->nanoseconds()));
  }

  rmw_time_t to_rmw_time() const;

private:
  rcl_duration_t rcl_duration_;
  Duration() = default;
};
}  // namespace rclcpp
