// Transform broadcasters used by tools and tests to feed /tf and /tf_static.
#include "tf2_ros/static_transform_broadcaster.h"
#include "tf2_ros/transform_broadcaster.h"

namespace tf2_ros
{
void TransformBroadcaster::sendTransform(const geometry_msgs::msg::TransformStamped & transform)
{
  sendTransform(std::vector<geometry_msgs::msg::TransformStamped>{transform});
}

void TransformBroadcaster::sendTransform(
    const std::vector<geometry_msgs::msg::TransformStamped> & transforms)
{
  tf2_msgs::msg::TFMessage message;
  message.transforms = transforms;
  publisher_->publish(message);
}

void StaticTransformBroadcaster::sendTransform(
    const geometry_msgs::msg::TransformStamped & transform)
{
  sendTransform(std::vector<geometry_msgs::msg::TransformStamped>{transform});
}

void StaticTransformBroadcaster::sendTransform(
    const std::vector<geometry_msgs::msg::TransformStamped> & transforms)
{
  // The latched message must describe every static frame ever sent, not just the latest.
  for (const auto & in : transforms) {
    bool match_found = false;
    for (auto & existing : net_message_.transforms) {
      if (in.child_frame_id == existing.child_frame_id) {
        existing = in;
        match_found = true;
        break;
      }
    }
    if (!match_found) {
      net_message_.transforms.push_back(in);
    }
  }
  publisher_->publish(net_message_);
}
}  // namespace tf2_ros
