// Host stand-in for rclcpp/context.hpp (ROS 2 Humble rclcpp 16.0): Context with init, is_valid,
// shutdown (false when already shut down), on_shutdown callbacks, interruptible sleep_for,
// ContextAlreadyInitialized on a second init of a valid context, re-init after shutdown.
// Differs from Humble: the context also owns the in-process topic graph (every node of the
// context shares it) and the parsed global ROS arguments; add_on_shutdown_callback handles,
// pre-shutdown callbacks and get_sub_context are not provided.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rclcpp/init_options.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{
namespace detail
{
struct HostArguments;
class Graph;
class WakeSignal;
}  // namespace detail

class ContextAlreadyInitialized : public std::runtime_error
{
public:
  ContextAlreadyInitialized() : std::runtime_error("context is already initialized") {}
};

class Context : public std::enable_shared_from_this<Context>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Context)

  Context();
  Context(const Context &) = delete;
  Context & operator=(const Context &) = delete;
  virtual ~Context();

  /// Parses the ROS arguments of argv (see rclcpp::init) and makes the context valid.
  virtual void init(int argc, char const * const * argv,
                    const rclcpp::InitOptions & init_options = rclcpp::InitOptions());

  bool is_valid() const;
  const rclcpp::InitOptions & get_init_options() const;
  rclcpp::InitOptions get_init_options();
  size_t get_domain_id() const;
  std::string shutdown_reason() const;

  /// Invalidates the context, runs the on_shutdown callbacks and wakes every waiting executor
  /// and sleep_for. Returns false when the context was not valid.
  virtual bool shutdown(const std::string & reason);

  using OnShutdownCallback = std::function<void()>;
  virtual OnShutdownCallback on_shutdown(OnShutdownCallback callback);
  std::vector<OnShutdownCallback> get_on_shutdown_callbacks() const;

  /// Sleeps, returning early (false) when the context is shut down meanwhile.
  bool sleep_for(const std::chrono::nanoseconds & nanoseconds);
  virtual void interrupt_all_sleep_for();

  // Host-only plumbing used by nodes and executors of this context.
  std::shared_ptr<const detail::HostArguments> host_global_arguments() const;
  std::shared_ptr<detail::Graph> host_graph() const { return graph_; }
  void host_register_wake_signal(const std::shared_ptr<detail::WakeSignal> & signal);

private:
  std::mutex init_mutex_;
  mutable std::mutex mutex_;
  bool valid_ = false;
  rclcpp::InitOptions init_options_;
  std::string shutdown_reason_;
  std::vector<OnShutdownCallback> on_shutdown_callbacks_;
  std::shared_ptr<const detail::HostArguments> global_arguments_;
  std::shared_ptr<detail::Graph> graph_;
  std::vector<std::weak_ptr<detail::WakeSignal>> wake_signals_;
  std::condition_variable interrupt_cv_;
  std::mutex interrupt_mutex_;
  uint64_t interrupt_generation_ = 0;
};

/// Every context that was ever initialised and still exists.
std::vector<Context::SharedPtr> get_contexts();

namespace contexts
{
class DefaultContext : public rclcpp::Context
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(DefaultContext)
  DefaultContext();
};

DefaultContext::SharedPtr get_global_default_context();
}  // namespace contexts
}  // namespace rclcpp
