// Host stand-in for tf2_ros/qos.hpp (ROS 2 Humble, geometry2 0.25.x): the QoS profiles of the
// transform topics. /tf: KEEP_LAST 100, RELIABLE, VOLATILE; /tf_static: the same but
// TRANSIENT_LOCAL (depth 1 for the broadcaster), so late listeners receive the static tree.
// Differs from Humble: none intended.
#pragma once

#include <cstddef>

#include "rclcpp/qos.hpp"

namespace tf2_ros
{
class DynamicListenerQoS : public rclcpp::QoS
{
public:
  explicit DynamicListenerQoS(size_t depth = 100) : rclcpp::QoS(depth) {}
};

class DynamicBroadcasterQoS : public rclcpp::QoS
{
public:
  explicit DynamicBroadcasterQoS(size_t depth = 100) : rclcpp::QoS(depth) {}
};

class StaticListenerQoS : public rclcpp::QoS
{
public:
  explicit StaticListenerQoS(size_t depth = 100) : rclcpp::QoS(depth) { transient_local(); }
};

class StaticBroadcasterQoS : public rclcpp::QoS
{
public:
  explicit StaticBroadcasterQoS(size_t depth = 1) : rclcpp::QoS(depth) { transient_local(); }
};
}  // namespace tf2_ros
