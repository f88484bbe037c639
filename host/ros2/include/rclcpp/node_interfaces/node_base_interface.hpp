// Host stand-in for rclcpp/node_interfaces/node_base_interface.hpp (ROS 2 Humble rclcpp
// 16.0): names, context, callback groups and the executor association flag of a node.
// Differs from Humble: a concrete class (Humble has an abstract interface implemented by
// NodeBase) without rcl handles; topic name resolution covers absolute, relative and "~"
// names (no substitutions, no remapping); it also carries the node's host wake-up set.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{
namespace detail
{
class WakeSet;
}

namespace node_interfaces
{
class NodeBaseInterface
{
public:
  RCLCPP_SMART_PTR_ALIASES_ONLY(NodeBaseInterface)

  /// `node_name` and `namespace_in` must be valid; the namespace absolute.
  NodeBaseInterface(const std::string & node_name, const std::string & namespace_in,
                    rclcpp::Context::SharedPtr context);
  NodeBaseInterface(const NodeBaseInterface &) = delete;
  NodeBaseInterface & operator=(const NodeBaseInterface &) = delete;
  virtual ~NodeBaseInterface();

  const char * get_name() const { return name_.c_str(); }
  const char * get_namespace() const { return namespace_.c_str(); }
  const char * get_fully_qualified_name() const { return fully_qualified_name_.c_str(); }
  rclcpp::Context::SharedPtr get_context() { return context_; }

  rclcpp::CallbackGroup::SharedPtr create_callback_group(
      rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true);
  rclcpp::CallbackGroup::SharedPtr get_default_callback_group() { return default_group_; }
  bool callback_group_in_node(rclcpp::CallbackGroup::SharedPtr group);
  void for_each_callback_group(const std::function<void(rclcpp::CallbackGroup::SharedPtr)> & func);

  std::atomic_bool & get_associated_with_executor_atomic() { return associated_with_executor_; }
  bool get_use_intra_process_default() const { return false; }
  bool get_enable_topic_statistics_default() const { return false; }

  /// Expands a topic name as rclcpp does: absolute kept, "~" -> node FQN, relative names
  /// prefixed with the namespace. Throws exceptions::InvalidTopicNameError.
  std::string resolve_topic_or_service_name(const std::string & name, bool is_service,
                                            bool only_expand = false) const;

  // Host-only: executors that run this node's callbacks.
  std::shared_ptr<detail::WakeSet> host_wake_set() const { return wake_set_; }

private:
  std::string name_;
  std::string namespace_;
  std::string fully_qualified_name_;
  rclcpp::Context::SharedPtr context_;
  std::shared_ptr<detail::WakeSet> wake_set_;
  rclcpp::CallbackGroup::SharedPtr default_group_;
  std::mutex groups_mutex_;
  std::vector<std::weak_ptr<rclcpp::CallbackGroup>> groups_;
  std::atomic_bool associated_with_executor_{false};
};
}  // namespace node_interfaces
}  // namespace rclcpp
