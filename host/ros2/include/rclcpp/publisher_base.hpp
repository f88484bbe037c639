// Host stand-in for rclcpp/publisher_base.hpp (ROS 2 Humble rclcpp 16.0): topic name, queue
// size, matched subscription count and actual QoS.
// Differs from Humble: the publisher is an endpoint of the host graph (no rcl handle, no gid,
// no event handlers); intra-process counts are always 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "rclcpp/context.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/qos.hpp"

namespace rclcpp
{
namespace node_interfaces
{
class NodeBaseInterface;
}
namespace detail
{
class Graph;
}

class PublisherBase
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(PublisherBase)

  PublisherBase(const PublisherBase &) = delete;
  PublisherBase & operator=(const PublisherBase &) = delete;
  virtual ~PublisherBase();

  /// Fully resolved topic name.
  const char * get_topic_name() const { return topic_name_.c_str(); }
  /// History depth of the publisher's QoS.
  size_t get_queue_size() const { return qos_.depth(); }
  /// Subscriptions of the same message type on this topic in this context.
  size_t get_subscription_count() const;
  size_t get_intra_process_subscription_count() const { return 0; }
  rclcpp::QoS get_actual_qos() const { return qos_; }
  bool can_loan_messages() const { return false; }

protected:
  /// `topic_name` must already be resolved.
  PublisherBase(rclcpp::node_interfaces::NodeBaseInterface * node_base,
                const std::string & topic_name, const char * type_name, const rclcpp::QoS & qos);

  /// Hands the message to every matched subscription; dropped once the context shut down.
  void do_publish(const std::shared_ptr<const void> & message);

  rclcpp::Context::SharedPtr context_;
  std::shared_ptr<detail::Graph> graph_;
  std::string topic_name_;
  rclcpp::QoS qos_;
  uint64_t id_;
};
}  // namespace rclcpp
