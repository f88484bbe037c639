// Host stand-in for image_transport/publisher.hpp (ROS 2 Humble, image_common 3.1.x), used by
// tools and tests to feed images. Copies share one publisher.
// Differs from Humble: no pluginlib loader constructor (use image_transport::create_publisher)
// and only the "raw" transport, so nothing is published on <base_topic>/<transport>.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "rclcpp/node.hpp"
#include "rmw/qos_profiles.h"
#include "rmw/types.h"
#include "sensor_msgs/msg/image.hpp"

namespace image_transport
{
class Publisher
{
public:
  Publisher() = default;

  /// Subscribers matched on the raw topic.
  size_t getNumSubscribers() const;

  /// Resolved base topic; empty when default-constructed.
  std::string getTopic() const;

  void publish(const sensor_msgs::msg::Image & message) const;
  void publish(const sensor_msgs::msg::Image::ConstSharedPtr & message) const;

  void shutdown();

  operator void *() const;

  bool operator<(const Publisher & rhs) const { return impl_ < rhs.impl_; }
  bool operator!=(const Publisher & rhs) const { return impl_ != rhs.impl_; }
  bool operator==(const Publisher & rhs) const { return impl_ == rhs.impl_; }

private:
  struct Impl;

  Publisher(rclcpp::Node * node, const std::string & base_topic, rmw_qos_profile_t custom_qos);

  std::shared_ptr<Impl> impl_;

  friend Publisher create_publisher(rclcpp::Node * node, const std::string & base_topic,
                                    rmw_qos_profile_t custom_qos);
};
}  // namespace image_transport
