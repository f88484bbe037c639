// Host stand-in for rclcpp/clock.hpp (ROS 2 Humble rclcpp 16.0): Clock with the same
// constructor default (RCL_SYSTEM_TIME) and a NON-const now(), as in Humble.
// Differs from Humble: RCL_ROS_TIME always reads system time (simulated time is not
// supported, so ros_time_is_active() is false); jump callbacks are not provided.
#pragma once

#include <mutex>

#include "rcl/time.h"
#include "rclcpp/context.hpp"
#include "rclcpp/duration.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/time.hpp"

namespace rclcpp
{
class Clock
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Clock)

  explicit Clock(rcl_clock_type_t clock_type = RCL_SYSTEM_TIME);
  ~Clock();

  /// Current time of this clock's type. Non-const as in Humble.
  Time now();

  /// Sleeps until `until` (same clock type, else std::runtime_error); false when the context
  /// shut down first.
  bool sleep_until(Time until, Context::SharedPtr context = contexts::get_global_default_context());
  bool sleep_for(Duration rel_time,
                 Context::SharedPtr context = contexts::get_global_default_context());

  bool started() { return true; }
  bool ros_time_is_active() { return false; }
  rcl_clock_type_t get_clock_type() const noexcept { return rcl_clock_.type; }
  rcl_clock_t * get_clock_handle() noexcept { return &rcl_clock_; }
  std::mutex & get_clock_mutex() noexcept { return clock_mutex_; }

private:
  rcl_clock_t rcl_clock_;
  std::mutex clock_mutex_;
};
}  // namespace rclcpp
