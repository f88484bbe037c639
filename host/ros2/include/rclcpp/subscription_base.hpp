// Host stand-in for rclcpp/subscription_base.hpp (ROS 2 Humble rclcpp 16.0): topic name,
// matched publisher count and actual QoS. The subscription owns a keep-last queue of its QoS
// depth (KEEP_ALL: unbounded; depth 0 counts as 1); the oldest message is dropped when full.
// Destroying the subscription disconnects it.
// Differs from Humble: the queue lives in the subscription (rmw keeps it in the DDS reader);
// content filters, events and intra-process buffers are not provided.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "rclcpp/context.hpp"
#include "rclcpp/detail/host_graph.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/qos.hpp"

namespace rclcpp
{
namespace node_interfaces
{
class NodeBaseInterface;
}

class SubscriptionBase : public std::enable_shared_from_this<SubscriptionBase>,
                         private detail::SubscriptionEndpoint
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(SubscriptionBase)

  SubscriptionBase(const SubscriptionBase &) = delete;
  SubscriptionBase & operator=(const SubscriptionBase &) = delete;
  ~SubscriptionBase() override;

  /// Fully resolved topic name.
  const char * get_topic_name() const { return topic_name_.c_str(); }
  /// Publishers of the same message type on this topic in this context.
  size_t get_publisher_count() const;
  rclcpp::QoS get_actual_qos() const { return qos_; }

  // Host-only, used by executors.
  bool host_has_message() const;
  /// Takes the oldest queued message and runs the callback with it; false if none queued.
  bool host_take_and_execute();

protected:
  /// `topic_name` must already be resolved; `wake_set` comes from the callback group.
  SubscriptionBase(rclcpp::node_interfaces::NodeBaseInterface * node_base,
                   const std::string & topic_name, const char * type_name, const rclcpp::QoS & qos,
                   std::shared_ptr<detail::WakeSet> wake_set);

  /// Connects to the graph; called last by the derived constructor so that replayed
  /// transient-local messages find a complete object.
  void host_connect();
  /// Leaves the graph; called first by the derived destructor, while the object is complete, so
  /// that a publisher on another thread never reaches it half destroyed. Safe to call again.
  void host_disconnect();

  virtual void host_dispatch(const std::shared_ptr<const void> & message,
                             const rmw_message_info_t & info) = 0;

private:
  void host_enqueue(const std::shared_ptr<const void> & message,
                    const rmw_message_info_t & info) override;

  struct Queued
  {
    std::shared_ptr<const void> message;
    rmw_message_info_t info;
  };

  rclcpp::Context::SharedPtr context_;
  std::shared_ptr<detail::Graph> graph_;
  std::string topic_name_;
  std::string type_name_;
  rclcpp::QoS qos_;
  std::shared_ptr<detail::WakeSet> wake_set_;
  uint64_t id_ = 0;
  bool connected_ = false;
  mutable std::mutex queue_mutex_;
  std::deque<Queued> queue_;
  uint64_t reception_sequence_ = 0;
};
}  // namespace rclcpp
