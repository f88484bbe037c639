// Host stand-in for rclcpp/executor.hpp and executor_options.hpp (ROS 2 Humble rclcpp 16.0):
// add/remove nodes and callback groups, spin_some (one pass over the work ready when called,
// at most one message per subscription, as with an rcl wait set), spin_all, spin_once, cancel.
// Ready work is polled in Humble's order: due timers first, then subscriptions with queued
// messages. Waits end on a new message, a timer deadline, cancel() or context shutdown.
// Differs from Humble: no memory strategies, waitables, services or clients;
// spin_until_future_complete and spin_node_once are not provided.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"

namespace rclcpp
{
class Node;
namespace detail
{
class WakeSignal;
}

struct ExecutorOptions
{
  ExecutorOptions() : context(rclcpp::contexts::get_global_default_context()), max_conditions(0) {}

  rclcpp::Context::SharedPtr context;
  size_t max_conditions;
};

class Executor
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(Executor)

  explicit Executor(const rclcpp::ExecutorOptions & options = rclcpp::ExecutorOptions());
  Executor(const Executor &) = delete;
  Executor & operator=(const Executor &) = delete;
  virtual ~Executor();

  virtual void spin() = 0;

  /// Throws std::runtime_error when the group is already in an executor.
  virtual void add_callback_group(rclcpp::CallbackGroup::SharedPtr group_ptr,
                                  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                                  bool notify = true);
  virtual void remove_callback_group(rclcpp::CallbackGroup::SharedPtr group_ptr,
                                     bool notify = true);
  /// Throws std::runtime_error("Node has already been added to an executor.").
  virtual void add_node(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                        bool notify = true);
  virtual void add_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify = true);
  virtual void remove_node(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                           bool notify = true);
  virtual void remove_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify = true);

  void spin_node_some(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node);
  void spin_node_some(std::shared_ptr<rclcpp::Node> node);

  /// Runs the work that is ready now, one pass; max_duration 0 means no time limit.
  virtual void spin_some(std::chrono::nanoseconds max_duration = std::chrono::nanoseconds(0));
  /// Runs ready work repeatedly until none is left or max_duration (> 0) has passed.
  virtual void spin_all(std::chrono::nanoseconds max_duration);
  /// Waits up to `timeout` (negative: forever) for work and runs one callback.
  virtual void spin_once(std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));

  /// Makes spin() return after the running callback; any thread.
  void cancel();
  bool is_spinning() { return spinning.load(); }

protected:
  struct AnyExecutable
  {
    std::shared_ptr<rclcpp::SubscriptionBase> subscription;
    std::shared_ptr<rclcpp::TimerBase> timer;
  };

  /// Collects the ready work into ready_ unless some is still pending; waits up to timeout.
  void wait_for_work(std::chrono::nanoseconds timeout);
  bool get_next_ready_executable(AnyExecutable & any_executable);
  bool get_next_executable(AnyExecutable & any_executable,
                           std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));
  void execute_any_executable(AnyExecutable & any_exec);
  void spin_some_impl(std::chrono::nanoseconds max_duration, bool exhaustive);

  std::atomic_bool spinning;
  std::shared_ptr<rclcpp::Context> context_;

private:
  struct GroupEntry
  {
    std::weak_ptr<rclcpp::CallbackGroup> group;
    std::weak_ptr<rclcpp::node_interfaces::NodeBaseInterface> node;
  };

  void collect(std::vector<std::shared_ptr<rclcpp::SubscriptionBase>> & subscriptions,
               std::vector<std::shared_ptr<rclcpp::TimerBase>> & timers);

  std::shared_ptr<detail::WakeSignal> wake_signal_;
  std::mutex entities_mutex_;
  std::vector<std::weak_ptr<rclcpp::node_interfaces::NodeBaseInterface>> nodes_;
  std::vector<GroupEntry> groups_;
  std::vector<AnyExecutable> ready_;
};

namespace executors
{
class SingleThreadedExecutor : public rclcpp::Executor
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(SingleThreadedExecutor)

  explicit SingleThreadedExecutor(
      const rclcpp::ExecutorOptions & options = rclcpp::ExecutorOptions());
  ~SingleThreadedExecutor() override;

  /// Runs callbacks until cancel() or the context shuts down (e.g. on SIGINT), then returns.
  void spin() override;
};
}  // namespace executors
}  // namespace rclcpp
