// Host stand-in for rclcpp/callback_group.hpp (ROS 2 Humble rclcpp 16.0): CallbackGroup with
// its type, the automatically_add_to_executor_with_node flag and the executor association flag.
// Differs from Humble: the single-threaded executor ignores the type (it runs one callback at a
// time anyway); the group holds weak references to its subscriptions and timers through
// host-only members.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "rclcpp/macros.hpp"

namespace rclcpp
{
class SubscriptionBase;
class TimerBase;
namespace detail
{
class WakeSet;
}

enum class CallbackGroupType { MutuallyExclusive, Reentrant };

class CallbackGroup
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(CallbackGroup)

  explicit CallbackGroup(CallbackGroupType group_type,
                         bool automatically_add_to_executor_with_node = true);
  CallbackGroup(const CallbackGroup &) = delete;
  CallbackGroup & operator=(const CallbackGroup &) = delete;

  CallbackGroupType type() const { return type_; }
  std::atomic_bool & get_associated_with_executor_atomic() { return associated_with_executor_; }
  bool automatically_add_to_executor_with_node() const { return automatically_add_; }
  size_t size() const;

  // Host-only plumbing between nodes and executors.
  void host_add_subscription(const std::shared_ptr<SubscriptionBase> & subscription);
  void host_add_timer(const std::shared_ptr<TimerBase> & timer);
  /// Live members, subscriptions and timers in creation order.
  void host_collect(std::vector<std::shared_ptr<SubscriptionBase>> & subscriptions,
                    std::vector<std::shared_ptr<TimerBase>> & timers);
  void host_set_wake_set(std::shared_ptr<detail::WakeSet> wake_set);
  std::shared_ptr<detail::WakeSet> host_wake_set() const;

private:
  CallbackGroupType type_;
  bool automatically_add_;
  std::atomic_bool associated_with_executor_{false};
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<SubscriptionBase>> subscriptions_;
  std::vector<std::weak_ptr<TimerBase>> timers_;
  std::shared_ptr<detail::WakeSet> wake_set_;
};
}  // namespace rclcpp
