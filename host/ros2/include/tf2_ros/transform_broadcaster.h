// Host stand-in for tf2_ros/transform_broadcaster.h (ROS 2 Humble, geometry2 0.25.x):
// publishes TFMessage on "/tf" with DynamicBroadcasterQoS.
// Differs from Humble: the node may be anything with Node's members (Humble takes node
// interfaces); no qos_overrides.* parameters are declared.
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
class TransformBroadcaster
{
public:
  template <class NodeT, class AllocatorT = std::allocator<void>>
  TransformBroadcaster(NodeT && node, const rclcpp::QoS & qos = DynamicBroadcasterQoS(),
                       const rclcpp::PublisherOptionsWithAllocator<AllocatorT> & options =
                           rclcpp::PublisherOptionsWithAllocator<AllocatorT>())
  {
    publisher_ = node->template create_publisher<tf2_msgs::msg::TFMessage>("/tf", qos, options);
  }

  /// One message with one transform.
  void sendTransform(const geometry_msgs::msg::TransformStamped & transform);

  /// One message with all the transforms.
  void sendTransform(const std::vector<geometry_msgs::msg::TransformStamped> & transforms);

private:
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr publisher_;
};
}  // namespace tf2_ros
