// Host stand-in for tf2_ros/static_transform_broadcaster.h (ROS 2 Humble, geometry2 0.25.x):
// publishes on "/tf_static" (StaticBroadcasterQoS: depth 1, transient local) the accumulated
// set of static transforms, one per child frame, so a late listener gets all of them.
// Differs from Humble: the node may be anything with Node's members (Humble takes node
// interfaces).
#pragma once

#include <memory>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/publisher_options.hpp"
#include "rclcpp/qos.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros
{
class StaticTransformBroadcaster
{
public:
  template <class NodeT, class AllocatorT = std::allocator<void>>
  StaticTransformBroadcaster(NodeT && node, const rclcpp::QoS & qos = StaticBroadcasterQoS(),
                             const rclcpp::PublisherOptionsWithAllocator<AllocatorT> & options =
                                 rclcpp::PublisherOptionsWithAllocator<AllocatorT>())
  {
    publisher_ =
        node->template create_publisher<tf2_msgs::msg::TFMessage>("/tf_static", qos, options);
  }

  /// Adds or replaces (by child frame) and republishes the whole set.
  void sendTransform(const geometry_msgs::msg::TransformStamped & transform);
  void sendTransform(const std::vector<geometry_msgs::msg::TransformStamped> & transforms);

private:
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr publisher_;
  tf2_msgs::msg::TFMessage net_message_;
};
}  // namespace tf2_ros
