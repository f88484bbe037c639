// Host stand-in for image_transport/subscriber.hpp (ROS 2 Humble, image_common 3.1.x).
// A Subscriber owns one transport subscription shared by all its copies; it lives while a copy
// does. Differs from Humble: there is no pluginlib, so the public constructor that takes a
// SubLoaderPtr is replaced by image_transport::create_subscription (the only way to make one);
// only the "raw" transport exists.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "rclcpp/node.hpp"
#include "rclcpp/subscription_options.hpp"
#include "rmw/qos_profiles.h"
#include "rmw/types.h"
#include "sensor_msgs/msg/image.hpp"

namespace image_transport
{
class Subscriber
{
public:
  typedef std::function<void(const sensor_msgs::msg::Image::ConstSharedPtr &)> Callback;

  Subscriber() = default;

  /// Resolved name of the subscribed topic; empty after shutdown or when default-constructed.
  std::string getTopic() const;

  /// Publishers matched on the subscribed topic.
  size_t getNumPublishers() const;

  /// "raw", or empty when default-constructed.
  std::string getTransport() const;

  /// Unsubscribes every copy; callbacks stop.
  void shutdown();

  /// Non-null while subscribed.
  operator void *() const;

  bool operator<(const Subscriber & rhs) const { return impl_ < rhs.impl_; }
  bool operator!=(const Subscriber & rhs) const { return impl_ != rhs.impl_; }
  bool operator==(const Subscriber & rhs) const { return impl_ == rhs.impl_; }

private:
  struct Impl;

  Subscriber(rclcpp::Node * node, const std::string & base_topic, const Callback & callback,
             const std::string & transport, rmw_qos_profile_t custom_qos,
             rclcpp::SubscriptionOptions options);

  std::shared_ptr<Impl> impl_;

  friend Subscriber create_subscription(rclcpp::Node * node, const std::string & base_topic,
                                        const Callback & callback, const std::string & transport,
                                        rmw_qos_profile_t custom_qos,
                                        rclcpp::SubscriptionOptions options);
};
}  // namespace image_transport
