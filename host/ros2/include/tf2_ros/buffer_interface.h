// Host stand-in for tf2_ros/buffer_interface.h (ROS 2 Humble, geometry2 0.25.x): the time
// conversion helpers (fromMsg, toMsg, fromRclcpp, toRclcpp for stamps and durations) and the
// BufferInterface with the waiting lookup / canTransform overloads.
// Differs from Humble: BufferInterface has no transform<T>() templates (the host has no
// tf2::convert / doTransform machinery).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "builtin_interfaces/msg/duration.hpp"
#include "builtin_interfaces/msg/time.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/duration.hpp"
#include "rclcpp/time.hpp"
#include "tf2/time.h"

namespace tf2_ros
{
inline builtin_interfaces::msg::Time toMsg(const tf2::TimePoint & t)
{
  std::chrono::nanoseconds ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
  std::chrono::seconds s = std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch());
  builtin_interfaces::msg::Time time_msg;
  time_msg.sec = static_cast<int32_t>(s.count());
  time_msg.nanosec = static_cast<uint32_t>(ns.count() % 1000000000ull);
  return time_msg;
}

inline tf2::TimePoint fromMsg(const builtin_interfaces::msg::Time & time_msg)
{
  int64_t d = time_msg.sec * 1000000000ull + time_msg.nanosec;
  std::chrono::nanoseconds ns(d);
  return tf2::TimePoint(std::chrono::duration_cast<tf2::Duration>(ns));
}

inline builtin_interfaces::msg::Duration toMsg(const tf2::Duration & t)
{
  std::chrono::nanoseconds ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t);
  std::chrono::seconds s = std::chrono::duration_cast<std::chrono::seconds>(t);
  builtin_interfaces::msg::Duration duration_msg;
  duration_msg.sec = static_cast<int32_t>(s.count());
  duration_msg.nanosec = static_cast<uint32_t>(ns.count() % 1000000000ull);
  return duration_msg;
}

inline tf2::Duration fromMsg(const builtin_interfaces::msg::Duration & duration_msg)
{
  int64_t d = duration_msg.sec * 1000000000ull + duration_msg.nanosec;
  std::chrono::nanoseconds ns(d);
  return tf2::Duration(std::chrono::duration_cast<tf2::Duration>(ns));
}

inline double timeToSec(const builtin_interfaces::msg::Time & time_msg)
{
  auto ns = std::chrono::duration<double, std::nano>(time_msg.nanosec);
  auto s = std::chrono::duration<double>(time_msg.sec);
  return (s + std::chrono::duration_cast<std::chrono::duration<double>>(ns)).count();
}

/// Drops the clock type.
inline tf2::TimePoint fromRclcpp(const rclcpp::Time & time)
{
  return tf2::TimePoint(std::chrono::nanoseconds(time.nanoseconds()));
}

/// The result carries RCL_SYSTEM_TIME, as in Humble.
inline rclcpp::Time toRclcpp(const tf2::TimePoint & time)
{
  return rclcpp::Time(
      std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count());
}

inline tf2::Duration fromRclcpp(const rclcpp::Duration & duration)
{
  return tf2::Duration(std::chrono::nanoseconds(duration.nanoseconds()));
}

inline rclcpp::Duration toRclcpp(const tf2::Duration & duration)
{
  return rclcpp::Duration(std::chrono::duration_cast<std::chrono::nanoseconds>(duration));
}

/// Lookups that may wait for data; implemented by tf2_ros::Buffer.
class BufferInterface
{
public:
  virtual ~BufferInterface() = default;

  virtual geometry_msgs::msg::TransformStamped lookupTransform(
      const std::string & target_frame, const std::string & source_frame,
      const tf2::TimePoint & time, const tf2::Duration timeout) const = 0;

  virtual geometry_msgs::msg::TransformStamped lookupTransform(
      const std::string & target_frame, const tf2::TimePoint & target_time,
      const std::string & source_frame, const tf2::TimePoint & source_time,
      const std::string & fixed_frame, const tf2::Duration timeout) const = 0;

  virtual bool canTransform(const std::string & target_frame, const std::string & source_frame,
                            const tf2::TimePoint & time, const tf2::Duration timeout,
                            std::string * errstr = nullptr) const = 0;

  virtual bool canTransform(const std::string & target_frame, const tf2::TimePoint & target_time,
                            const std::string & source_frame, const tf2::TimePoint & source_time,
                            const std::string & fixed_frame, const tf2::Duration timeout,
                            std::string * errstr = nullptr) const = 0;
};
}  // namespace tf2_ros
