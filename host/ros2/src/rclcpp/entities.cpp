// Node base, callback groups, publisher/subscription bases and timers of the host stand-in.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/detail/host_graph.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "rclcpp/publisher_base.hpp"
#include "rclcpp/subscription_base.hpp"
#include "rclcpp/timer.hpp"

namespace rclcpp
{
namespace
{
bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

[[noreturn]] void throw_topic_error(bool is_service, const std::string & name, const char * message,
                                    size_t index)
{
  if (is_service) {
    throw exceptions::InvalidServiceNameError(name.c_str(), message, index);
  }
  throw exceptions::InvalidTopicNameError(name.c_str(), message, index);
}
}  // namespace

// ---- NodeBaseInterface ----

namespace node_interfaces
{
NodeBaseInterface::NodeBaseInterface(const std::string & node_name,
                                     const std::string & namespace_in,
                                     rclcpp::Context::SharedPtr context)
    : name_(node_name),
      namespace_(namespace_in),
      fully_qualified_name_(namespace_in == "/" ? "/" + node_name : namespace_in + "/" + node_name),
      context_(std::move(context)),
      wake_set_(std::make_shared<detail::WakeSet>()),
      default_group_(std::make_shared<rclcpp::CallbackGroup>(
          rclcpp::CallbackGroupType::MutuallyExclusive, true))
{
  default_group_->host_set_wake_set(wake_set_);
  groups_.push_back(default_group_);
}

NodeBaseInterface::~NodeBaseInterface() = default;

rclcpp::CallbackGroup::SharedPtr NodeBaseInterface::create_callback_group(
    rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node)
{
  auto group =
      std::make_shared<rclcpp::CallbackGroup>(group_type, automatically_add_to_executor_with_node);
  group->host_set_wake_set(wake_set_);
  std::lock_guard<std::mutex> lock(groups_mutex_);
  groups_.push_back(group);
  return group;
}

bool NodeBaseInterface::callback_group_in_node(rclcpp::CallbackGroup::SharedPtr group)
{
  std::lock_guard<std::mutex> lock(groups_mutex_);
  return std::any_of(
      groups_.begin(), groups_.end(),
      [&group](const std::weak_ptr<rclcpp::CallbackGroup> & weak) { return weak.lock() == group; });
}

void NodeBaseInterface::for_each_callback_group(
    const std::function<void(rclcpp::CallbackGroup::SharedPtr)> & func)
{
  std::vector<rclcpp::CallbackGroup::SharedPtr> groups;
  {
    std::lock_guard<std::mutex> lock(groups_mutex_);
    groups_.erase(std::remove_if(groups_.begin(), groups_.end(),
                                 [](const std::weak_ptr<rclcpp::CallbackGroup> & weak) {
                                   return weak.expired();
                                 }),
                  groups_.end());
    for (const auto & weak : groups_) {
      if (auto group = weak.lock()) {
        groups.push_back(std::move(group));
      }
    }
  }
  for (const auto & group : groups) {
    func(group);
  }
}

std::string NodeBaseInterface::resolve_topic_or_service_name(const std::string & name,
                                                             bool is_service,
                                                             bool only_expand) const
{
  if (name.empty()) {
    throw_topic_error(is_service, name, "topic name must not be empty", 0);
  }
  std::string expanded;
  if (name[0] == '/') {
    expanded = name;
  } else if (name[0] == '~') {
    if (name.size() == 1) {
      expanded = fully_qualified_name_;
    } else if (name[1] == '/') {
      expanded = fully_qualified_name_ + name.substr(1);
    } else {
      throw_topic_error(is_service, name, "'~' must be followed by a forward slash", 1);
    }
  } else {
    expanded = (namespace_ == "/" ? "/" : namespace_ + "/") + name;
  }
  if (only_expand) {
    return expanded;
  }
  for (size_t i = 0; i < expanded.size(); ++i) {
    const char c = expanded[i];
    if (!is_name_char(c) && c != '/') {
      throw_topic_error(is_service, expanded,
                        "topic name must not contain characters other than alphanumerics, '_', "
                        "or '/'",
                        i);
    }
    if (c == '/' && i + 1 < expanded.size() && expanded[i + 1] == '/') {
      throw_topic_error(is_service, expanded, "topic name must not contain repeated '/'", i + 1);
    }
    if (c == '/' && i + 1 < expanded.size() && is_digit(expanded[i + 1])) {
      throw_topic_error(is_service, expanded, "topic name token must not start with a number",
                        i + 1);
    }
  }
  if (expanded.size() > 1 && expanded.back() == '/') {
    throw_topic_error(is_service, expanded, "topic name must not end with a forward slash",
                      expanded.size() - 1);
  }
  return expanded;
}
}  // namespace node_interfaces

// ---- CallbackGroup ----

CallbackGroup::CallbackGroup(CallbackGroupType group_type,
                             bool automatically_add_to_executor_with_node)
    : type_(group_type), automatically_add_(automatically_add_to_executor_with_node)
{
}

size_t CallbackGroup::size() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return subscriptions_.size() + timers_.size();
}

void CallbackGroup::host_add_subscription(const std::shared_ptr<SubscriptionBase> & subscription)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    subscriptions_.push_back(subscription);
  }
  if (wake_set_) {
    wake_set_->notify();
  }
}

void CallbackGroup::host_add_timer(const std::shared_ptr<TimerBase> & timer)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    timers_.push_back(timer);
  }
  if (wake_set_) {
    wake_set_->notify();
  }
}

void CallbackGroup::host_collect(std::vector<std::shared_ptr<SubscriptionBase>> & subscriptions,
                                 std::vector<std::shared_ptr<TimerBase>> & timers)
{
  std::lock_guard<std::mutex> lock(mutex_);
  subscriptions_.erase(
      std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                     [](const std::weak_ptr<SubscriptionBase> & weak) { return weak.expired(); }),
      subscriptions_.end());
  timers_.erase(
      std::remove_if(timers_.begin(), timers_.end(),
                     [](const std::weak_ptr<TimerBase> & weak) { return weak.expired(); }),
      timers_.end());
  for (const auto & weak : subscriptions_) {
    if (auto subscription = weak.lock()) {
      subscriptions.push_back(std::move(subscription));
    }
  }
  for (const auto & weak : timers_) {
    if (auto timer = weak.lock()) {
      timers.push_back(std::move(timer));
    }
  }
}

void CallbackGroup::host_set_wake_set(std::shared_ptr<detail::WakeSet> wake_set)
{
  std::lock_guard<std::mutex> lock(mutex_);
  wake_set_ = std::move(wake_set);
}

std::shared_ptr<detail::WakeSet> CallbackGroup::host_wake_set() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return wake_set_;
}

// ---- PublisherBase ----

PublisherBase::PublisherBase(rclcpp::node_interfaces::NodeBaseInterface * node_base,
                             const std::string & topic_name, const char * type_name,
                             const rclcpp::QoS & qos)
    : context_(node_base->get_context()),
      graph_(context_->host_graph()),
      topic_name_(topic_name),
      qos_(qos),
      id_(graph_->add_publisher(topic_name, type_name, qos.get_rmw_qos_profile()))
{
}

PublisherBase::~PublisherBase() { graph_->remove_publisher(topic_name_, id_); }

size_t PublisherBase::get_subscription_count() const
{
  return graph_->count_matched_subscriptions(topic_name_, id_);
}

void PublisherBase::do_publish(const std::shared_ptr<const void> & message)
{
  // Humble's publish() returns silently once the context is shut down.
  if (!context_->is_valid()) {
    return;
  }
  graph_->publish(topic_name_, id_, message);
}

// ---- SubscriptionBase ----

SubscriptionBase::SubscriptionBase(rclcpp::node_interfaces::NodeBaseInterface * node_base,
                                   const std::string & topic_name, const char * type_name,
                                   const rclcpp::QoS & qos,
                                   std::shared_ptr<detail::WakeSet> wake_set)
    : context_(node_base->get_context()),
      graph_(context_->host_graph()),
      topic_name_(topic_name),
      type_name_(type_name),
      qos_(qos),
      wake_set_(std::move(wake_set))
{
}

SubscriptionBase::~SubscriptionBase() { host_disconnect(); }

void SubscriptionBase::host_disconnect()
{
  if (connected_) {
    graph_->remove_subscription(topic_name_, id_);
    connected_ = false;
  }
}

void SubscriptionBase::host_connect()
{
  id_ = graph_->add_subscription(topic_name_, type_name_, qos_.get_rmw_qos_profile(), this);
  connected_ = true;
}

size_t SubscriptionBase::get_publisher_count() const
{
  return graph_->count_matched_publishers(topic_name_, id_);
}

bool SubscriptionBase::host_has_message() const
{
  std::lock_guard<std::mutex> lock(queue_mutex_);
  return !queue_.empty();
}

bool SubscriptionBase::host_take_and_execute()
{
  Queued item;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (queue_.empty()) {
      return false;
    }
    item = std::move(queue_.front());
    queue_.pop_front();
  }
  host_dispatch(item.message, item.info);
  return true;
}

void SubscriptionBase::host_enqueue(const std::shared_ptr<const void> & message,
                                    const rmw_message_info_t & info)
{
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    Queued item{message, info};
    item.info.reception_sequence_number = ++reception_sequence_;
    queue_.push_back(std::move(item));
    const auto & profile = qos_.get_rmw_qos_profile();
    if (profile.history != RMW_QOS_POLICY_HISTORY_KEEP_ALL) {
      // A keep-last reader drops its oldest sample; depth 0 behaves as 1.
      const size_t depth = std::max<size_t>(profile.depth, 1);
      while (queue_.size() > depth) {
        queue_.pop_front();
      }
    }
  }
  if (wake_set_) {
    wake_set_->notify();
  }
}

// ---- TimerBase ----

TimerBase::TimerBase(Clock::SharedPtr clock, std::chrono::nanoseconds period,
                     rclcpp::Context::SharedPtr)
    : clock_(std::move(clock)),
      period_ns_(period.count()),
      next_call_ns_(steady_now_ns() + period.count())
{
}

TimerBase::~TimerBase() = default;

int64_t TimerBase::steady_now_ns()
{
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void TimerBase::cancel() { canceled_.store(true); }

bool TimerBase::is_canceled() { return canceled_.load(); }

void TimerBase::reset()
{
  next_call_ns_.store(steady_now_ns() + period_ns_);
  canceled_.store(false);
  std::shared_ptr<detail::WakeSet> wake_set = std::atomic_load(&wake_set_);
  if (wake_set) {
    wake_set->notify();
  }
}

bool TimerBase::call()
{
  if (canceled_.load()) {
    return false;
  }
  const int64_t now = steady_now_ns();
  int64_t next = next_call_ns_.load() + period_ns_;
  // Missed periods are skipped, not replayed: jump to the first boundary after now.
  if (next < now) {
    if (period_ns_ == 0) {
      next = now;
    } else {
      const int64_t now_ahead = now - next;
      const int64_t periods_ahead = 1 + (now_ahead - 1) / period_ns_;
      next += periods_ahead * period_ns_;
    }
  }
  next_call_ns_.store(next);
  return true;
}

std::chrono::nanoseconds TimerBase::time_until_trigger()
{
  if (canceled_.load()) {
    return std::chrono::nanoseconds::max();
  }
  return std::chrono::nanoseconds(next_call_ns_.load() - steady_now_ns());
}

bool TimerBase::is_ready() { return !canceled_.load() && steady_now_ns() >= next_call_ns_.load(); }

void TimerBase::host_set_wake_set(std::shared_ptr<detail::WakeSet> wake_set)
{
  std::atomic_store(&wake_set_, std::move(wake_set));
}
}  // namespace rclcpp
