// Host stand-in for image_transport/image_transport.hpp (ROS 2 Humble, image_common 3.1.x):
// the free functions create_publisher and create_subscription taking a raw rclcpp::Node *
// and an rmw_qos_profile_t. The "raw" transport subscribes to base_topic with
// rclcpp::QoS(QoSInitialization::from_rmw(custom_qos), custom_qos) and hands the callback the
// message pointer rclcpp delivered; any other transport throws TransportLoadException.
// Differs from Humble: only "raw" is installed (Humble loads compressed, theora, ... through
// pluginlib when present); no camera publisher/subscriber and no ImageTransport class.
#pragma once

#include <string>

#include "image_transport/exception.hpp"
#include "image_transport/publisher.hpp"
#include "image_transport/subscriber.hpp"
#include "rclcpp/node.hpp"
#include "rmw/qos_profiles.h"

namespace image_transport
{
/// Advertises `base_topic` for raw images.
Publisher create_publisher(rclcpp::Node * node, const std::string & base_topic,
                           rmw_qos_profile_t custom_qos = rmw_qos_profile_default);

/// Subscribes to `base_topic` through `transport` ("raw" only). The callback runs on the
/// executor that spins the node (or the group in `options`).
/// @throws TransportLoadException for any transport other than "raw".
Subscriber create_subscription(rclcpp::Node * node, const std::string & base_topic,
                               const Subscriber::Callback & callback, const std::string & transport,
                               rmw_qos_profile_t custom_qos = rmw_qos_profile_default,
                               rclcpp::SubscriptionOptions options = rclcpp::SubscriptionOptions());
}  // namespace image_transport
