// Host stand-in for tf2_ros/buffer.h (ROS 2 Humble, geometry2 0.25.x): tf2::BufferCore plus
// lookups that may wait, timed on the given clock. The 3-argument lookupTransform and
// canTransform come from BufferCore and never wait. A timed call first checks for a dedicated
// feeding thread (TransformListener with spin_thread) and, without one, logs the "Do not call
// canTransform or lookupTransform with a timeout ..." error (even for a zero timeout) and does
// not wait; otherwise it polls every 10 ms until the transform is available, the timeout has
// passed or rclcpp::ok() turns false.
// Differs from Humble: no AsyncBufferInterface (waitForTransform, cancel,
// setCreateTimerInterface), no tf2_frames service for a given node and no clock jump handling.
#pragma once

#include <memory>
#include <string>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/clock.hpp"
#include "rclcpp/duration.hpp"
#include "rclcpp/logger.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/time.hpp"
#include "tf2/buffer_core.h"
#include "tf2/time.h"
#include "tf2_ros/buffer_interface.h"

namespace tf2_ros
{
/// Transform buffer; thread-safe like BufferCore.
class Buffer : public BufferInterface, public tf2::BufferCore
{
public:
  using tf2::BufferCore::canTransform;
  using tf2::BufferCore::lookupTransform;
  using SharedPtr = std::shared_ptr<tf2_ros::Buffer>;

  /// @param clock times the waits (usually the node's ROS-time clock); must not be null.
  /// @param node used only for the logger.
  /// @throws std::invalid_argument("clock must be a valid instance") for a null clock.
  Buffer(rclcpp::Clock::SharedPtr clock,
         tf2::Duration cache_time = tf2::Duration(tf2::BUFFER_CORE_DEFAULT_CACHE_TIME),
         rclcpp::Node::SharedPtr node = rclcpp::Node::SharedPtr());

  geometry_msgs::msg::TransformStamped lookupTransform(const std::string & target_frame,
                                                       const std::string & source_frame,
                                                       const tf2::TimePoint & time,
                                                       const tf2::Duration timeout) const override;

  /// Goes through the timed path even with the default zero timeout.
  geometry_msgs::msg::TransformStamped lookupTransform(
      const std::string & target_frame, const std::string & source_frame, const rclcpp::Time & time,
      const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0)) const;

  geometry_msgs::msg::TransformStamped lookupTransform(const std::string & target_frame,
                                                       const tf2::TimePoint & target_time,
                                                       const std::string & source_frame,
                                                       const tf2::TimePoint & source_time,
                                                       const std::string & fixed_frame,
                                                       const tf2::Duration timeout) const override;

  geometry_msgs::msg::TransformStamped lookupTransform(
      const std::string & target_frame, const rclcpp::Time & target_time,
      const std::string & source_frame, const rclcpp::Time & source_time,
      const std::string & fixed_frame,
      const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0)) const;

  bool canTransform(const std::string & target_frame, const std::string & source_frame,
                    const tf2::TimePoint & target_time, const tf2::Duration timeout,
                    std::string * errstr = nullptr) const override;

  bool canTransform(const std::string & target_frame, const std::string & source_frame,
                    const rclcpp::Time & time,
                    const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0),
                    std::string * errstr = nullptr) const;

  bool canTransform(const std::string & target_frame, const tf2::TimePoint & target_time,
                    const std::string & source_frame, const tf2::TimePoint & source_time,
                    const std::string & fixed_frame, const tf2::Duration timeout,
                    std::string * errstr = nullptr) const override;

  bool canTransform(const std::string & target_frame, const rclcpp::Time & target_time,
                    const std::string & source_frame, const rclcpp::Time & source_time,
                    const std::string & fixed_frame,
                    const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0),
                    std::string * errstr = nullptr) const;

private:
  bool checkAndErrorDedicatedThreadPresent(std::string * errstr) const;
  rclcpp::Logger getLogger() const;

  rclcpp::Clock::SharedPtr clock_;
  rclcpp::Node::SharedPtr node_;
};

static const char threading_error[] =
    "Do not call canTransform or lookupTransform with a timeout unless you are using another "
    "thread for populating data. Without a dedicated thread it will always timeout.  If you have "
    "a separate thread servicing tf messages, call setUsingDedicatedThread(true) on your Buffer "
    "instance.";
}  // namespace tf2_ros
