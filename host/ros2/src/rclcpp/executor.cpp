// Single-threaded executor of the host stand-in: polls the ready work of its nodes and sleeps
// on a wake signal that messages, timer resets, cancel() and context shutdown raise.
#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "rclcpp/detail/host_graph.hpp"
#include "rclcpp/executor.hpp"
#include "rclcpp/executors.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/subscription_base.hpp"
#include "rclcpp/timer.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp
{
namespace
{
// Resets the spinning flag however the spin call ends (callbacks may throw).
class SpinningGuard
{
public:
  SpinningGuard(std::atomic_bool & spinning, const char * what) : spinning_(spinning)
  {
    if (spinning_.exchange(true)) {
      throw std::runtime_error(std::string(what) + "() called while already spinning");
    }
  }
  ~SpinningGuard() { spinning_.store(false); }
  SpinningGuard(const SpinningGuard &) = delete;
  SpinningGuard & operator=(const SpinningGuard &) = delete;

private:
  std::atomic_bool & spinning_;
};

// Waits are cut into slices so that "forever" never overflows a time_point.
constexpr std::chrono::hours kMaxWaitSlice(1);
}  // namespace

Executor::Executor(const rclcpp::ExecutorOptions & options)
    : spinning(false),
      context_(options.context),
      wake_signal_(std::make_shared<detail::WakeSignal>())
{
  context_->host_register_wake_signal(wake_signal_);
}

Executor::~Executor()
{
  std::lock_guard<std::mutex> lock(entities_mutex_);
  for (const auto & weak : nodes_) {
    if (auto node = weak.lock()) {
      node->host_wake_set()->remove(wake_signal_.get());
      node->get_associated_with_executor_atomic().store(false);
    }
  }
  for (const auto & entry : groups_) {
    if (auto group = entry.group.lock()) {
      group->get_associated_with_executor_atomic().store(false);
    }
    if (auto node = entry.node.lock()) {
      node->host_wake_set()->remove(wake_signal_.get());
    }
  }
}

void Executor::add_callback_group(rclcpp::CallbackGroup::SharedPtr group_ptr,
                                  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                                  bool notify)
{
  if (group_ptr->get_associated_with_executor_atomic().exchange(true)) {
    throw std::runtime_error("Callback group has already been added to an executor.");
  }
  {
    std::lock_guard<std::mutex> lock(entities_mutex_);
    groups_.push_back(GroupEntry{group_ptr, node_ptr});
  }
  node_ptr->host_wake_set()->add(wake_signal_);
  if (notify) {
    wake_signal_->notify();
  }
}

void Executor::remove_callback_group(rclcpp::CallbackGroup::SharedPtr group_ptr, bool notify)
{
  std::lock_guard<std::mutex> lock(entities_mutex_);
  auto it = std::find_if(groups_.begin(), groups_.end(), [&group_ptr](const GroupEntry & entry) {
    return entry.group.lock() == group_ptr;
  });
  if (it == groups_.end()) {
    throw std::runtime_error("Callback group needs to be associated with executor.");
  }
  groups_.erase(it);
  group_ptr->get_associated_with_executor_atomic().store(false);
  if (notify) {
    wake_signal_->notify();
  }
}

void Executor::add_node(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify)
{
  if (node_ptr->get_associated_with_executor_atomic().exchange(true)) {
    throw std::runtime_error("Node has already been added to an executor.");
  }
  {
    std::lock_guard<std::mutex> lock(entities_mutex_);
    nodes_.push_back(node_ptr);
  }
  node_ptr->host_wake_set()->add(wake_signal_);
  if (notify) {
    wake_signal_->notify();
  }
}

void Executor::add_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify)
{
  add_node(node_ptr->get_node_base_interface(), notify);
}

void Executor::remove_node(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                           bool notify)
{
  {
    std::lock_guard<std::mutex> lock(entities_mutex_);
    auto it =
        std::find_if(nodes_.begin(), nodes_.end(),
                     [&node_ptr](const std::weak_ptr<node_interfaces::NodeBaseInterface> & weak) {
                       return weak.lock() == node_ptr;
                     });
    if (it == nodes_.end()) {
      throw std::runtime_error("Node needs to be associated with an executor.");
    }
    nodes_.erase(it);
    // Work collected from this node must not run after removal.
    ready_.clear();
  }
  node_ptr->host_wake_set()->remove(wake_signal_.get());
  node_ptr->get_associated_with_executor_atomic().store(false);
  if (notify) {
    wake_signal_->notify();
  }
}

void Executor::remove_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify)
{
  remove_node(node_ptr->get_node_base_interface(), notify);
}

void Executor::spin_node_some(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node)
{
  add_node(node, false);
  try {
    spin_some();
  } catch (...) {
    remove_node(node, false);
    throw;
  }
  remove_node(node, false);
}

void Executor::spin_node_some(std::shared_ptr<rclcpp::Node> node)
{
  spin_node_some(node->get_node_base_interface());
}

void Executor::spin_some(std::chrono::nanoseconds max_duration)
{
  spin_some_impl(max_duration, false);
}

void Executor::spin_all(std::chrono::nanoseconds max_duration)
{
  if (max_duration < std::chrono::nanoseconds(0)) {
    throw std::invalid_argument("max_duration must be greater than or equal to 0");
  }
  spin_some_impl(max_duration, true);
}

void Executor::spin_some_impl(std::chrono::nanoseconds max_duration, bool exhaustive)
{
  const auto start = std::chrono::steady_clock::now();
  auto max_duration_not_elapsed = [max_duration, start]() {
    return max_duration == std::chrono::nanoseconds(0) ||
           std::chrono::steady_clock::now() - start < max_duration;
  };
  SpinningGuard guard(spinning, "spin_some");
  bool work_available = false;
  while (rclcpp::ok(context_) && spinning.load() && max_duration_not_elapsed()) {
    AnyExecutable any_exec;
    if (!work_available) {
      wait_for_work(std::chrono::nanoseconds(0));
    }
    if (get_next_ready_executable(any_exec)) {
      execute_any_executable(any_exec);
      work_available = true;
    } else {
      if (!work_available || !exhaustive) {
        break;
      }
      work_available = false;
    }
  }
}

void Executor::spin_once(std::chrono::nanoseconds timeout)
{
  SpinningGuard guard(spinning, "spin_once");
  AnyExecutable any_exec;
  if (get_next_executable(any_exec, timeout)) {
    execute_any_executable(any_exec);
  }
}

void Executor::cancel()
{
  spinning.store(false);
  wake_signal_->notify();
}

void Executor::collect(std::vector<std::shared_ptr<rclcpp::SubscriptionBase>> & subscriptions,
                       std::vector<std::shared_ptr<rclcpp::TimerBase>> & timers)
{
  std::vector<std::shared_ptr<node_interfaces::NodeBaseInterface>> nodes;
  std::vector<std::shared_ptr<rclcpp::CallbackGroup>> groups;
  {
    std::lock_guard<std::mutex> lock(entities_mutex_);
    for (const auto & weak : nodes_) {
      if (auto node = weak.lock()) {
        nodes.push_back(std::move(node));
      }
    }
    for (const auto & entry : groups_) {
      if (auto group = entry.group.lock()) {
        groups.push_back(std::move(group));
      }
    }
  }
  for (const auto & node : nodes) {
    node->for_each_callback_group([&groups](rclcpp::CallbackGroup::SharedPtr group) {
      if (group->automatically_add_to_executor_with_node() &&
          std::find(groups.begin(), groups.end(), group) == groups.end()) {
        groups.push_back(group);
      }
    });
  }
  for (const auto & group : groups) {
    group->host_collect(subscriptions, timers);
  }
}

void Executor::wait_for_work(std::chrono::nanoseconds timeout)
{
  {
    std::lock_guard<std::mutex> lock(entities_mutex_);
    if (!ready_.empty()) {
      return;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  const bool forever = timeout < std::chrono::nanoseconds(0);
  const auto deadline = start + (forever ? std::chrono::nanoseconds(0) : timeout);
  while (true) {
    const uint64_t seen = wake_signal_->generation();
    std::vector<std::shared_ptr<rclcpp::SubscriptionBase>> subscriptions;
    std::vector<std::shared_ptr<rclcpp::TimerBase>> timers;
    collect(subscriptions, timers);
    std::vector<AnyExecutable> ready;
    auto next_timer = std::chrono::nanoseconds::max();
    // Timers before subscriptions, the order in which Humble's executor takes ready work.
    for (const auto & timer : timers) {
      if (timer->is_ready()) {
        ready.push_back(AnyExecutable{nullptr, timer});
      } else if (!timer->is_canceled()) {
        next_timer = std::min(next_timer, timer->time_until_trigger());
      }
    }
    for (const auto & subscription : subscriptions) {
      if (subscription->host_has_message()) {
        ready.push_back(AnyExecutable{subscription, nullptr});
      }
    }
    if (!ready.empty()) {
      std::lock_guard<std::mutex> lock(entities_mutex_);
      ready_ = std::move(ready);
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!rclcpp::ok(context_) || !spinning.load() || timeout == std::chrono::nanoseconds(0) ||
        (!forever && now >= deadline)) {
      return;
    }
    auto wake_at = forever ? now + kMaxWaitSlice : deadline;
    if (next_timer < std::chrono::nanoseconds(kMaxWaitSlice)) {
      wake_at = std::min(wake_at, now + next_timer);
    }
    wake_signal_->wait_until(seen, wake_at);
  }
}

bool Executor::get_next_ready_executable(AnyExecutable & any_executable)
{
  while (true) {
    AnyExecutable candidate;
    {
      std::lock_guard<std::mutex> lock(entities_mutex_);
      if (ready_.empty()) {
        return false;
      }
      candidate = std::move(ready_.front());
      ready_.erase(ready_.begin());
    }
    if (candidate.timer) {
      // call() advances the deadline before the callback runs, as rcl_timer_call does.
      if (candidate.timer->call()) {
        any_executable = std::move(candidate);
        return true;
      }
    } else if (candidate.subscription && candidate.subscription->host_has_message()) {
      any_executable = std::move(candidate);
      return true;
    }
  }
}

bool Executor::get_next_executable(AnyExecutable & any_executable, std::chrono::nanoseconds timeout)
{
  if (get_next_ready_executable(any_executable)) {
    return true;
  }
  wait_for_work(timeout);
  if (!spinning.load()) {
    return false;
  }
  return get_next_ready_executable(any_executable);
}

void Executor::execute_any_executable(AnyExecutable & any_exec)
{
  if (!spinning.load()) {
    return;
  }
  if (any_exec.timer) {
    any_exec.timer->execute_callback();
  }
  if (any_exec.subscription) {
    any_exec.subscription->host_take_and_execute();
  }
}

namespace executors
{
SingleThreadedExecutor::SingleThreadedExecutor(const rclcpp::ExecutorOptions & options)
    : rclcpp::Executor(options)
{
}

SingleThreadedExecutor::~SingleThreadedExecutor() = default;

void SingleThreadedExecutor::spin()
{
  SpinningGuard guard(spinning, "spin");
  while (rclcpp::ok(context_) && spinning.load()) {
    AnyExecutable any_executable;
    if (get_next_executable(any_executable)) {
      execute_any_executable(any_executable);
    }
  }
}
}  // namespace executors

void spin_some(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr)
{
  rclcpp::ExecutorOptions options;
  options.context = node_ptr->get_context();
  rclcpp::executors::SingleThreadedExecutor executor(options);
  executor.spin_node_some(node_ptr);
}

void spin_some(rclcpp::Node::SharedPtr node_ptr)
{
  rclcpp::spin_some(node_ptr->get_node_base_interface());
}

void spin(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr)
{
  rclcpp::ExecutorOptions options;
  options.context = node_ptr->get_context();
  rclcpp::executors::SingleThreadedExecutor executor(options);
  executor.add_node(node_ptr);
  executor.spin();
  executor.remove_node(node_ptr);
}

void spin(rclcpp::Node::SharedPtr node_ptr) { rclcpp::spin(node_ptr->get_node_base_interface()); }
}  // namespace rclcpp
