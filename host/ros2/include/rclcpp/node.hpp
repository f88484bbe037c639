// Host stand-in for rclcpp/node.hpp and node_impl.hpp (ROS 2 Humble rclcpp 16.0): Node with
// the same constructors, name/namespace validation exceptions, RCLError when the context is
// not valid, logger named after the node (dot-joined with the namespace), RCL_ROS_TIME clock,
// publishers, subscriptions, wall timers, callback groups and parameters.
// Parameters follow Humble's NodeParameters: overrides are resolved from the global ROS
// arguments, then NodeOptions::arguments, then NodeOptions::parameter_overrides; declared
// parameters take an override when one exists; statically typed declarations reject an
// override of another type with InvalidParameterTypeException ("Wrong parameter type, ...");
// get_parameter(name, T &) is implemented exactly as in Humble; every node declares
// use_sim_time (bool, false).
// Differs from Humble: no parameter services, parameter callbacks or parameter events (the
// /parameter_events and /rosout topics only appear in the graph); descriptor ranges and
// read_only are not enforced; sub-namespaces and node interfaces other than the base
// interface are not provided.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "rcl_interfaces/msg/parameter_descriptor.hpp"
#include "rcl_interfaces/msg/set_parameters_result.hpp"
#include "rclcpp/callback_group.hpp"
#include "rclcpp/clock.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/detail/host_graph.hpp"
#include "rclcpp/logger.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "rclcpp/node_options.hpp"
#include "rclcpp/parameter.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription.hpp"
#include "rclcpp/time.hpp"
#include "rclcpp/timer.hpp"

namespace rclcpp
{
namespace detail
{
template <typename DurationRepT, typename DurationT>
std::chrono::nanoseconds safe_cast_to_period_in_ns(
    std::chrono::duration<DurationRepT, DurationT> period)
{
  if (period < std::chrono::duration<DurationRepT, DurationT>::zero()) {
    throw std::invalid_argument{"timer period cannot be negative"};
  }
  constexpr auto maximum_safe_cast_ns =
      std::chrono::nanoseconds::max() - std::chrono::duration<DurationRepT, DurationT>(1);
  constexpr auto ns_max_as_double =
      std::chrono::duration_cast<std::chrono::duration<double, std::chrono::nanoseconds::period>>(
          maximum_safe_cast_ns);
  if (period > ns_max_as_double) {
    throw std::invalid_argument{"timer period must be less than std::chrono::nanoseconds::max()"};
  }
  return std::chrono::duration_cast<std::chrono::nanoseconds>(period);
}
}  // namespace detail

class Node : public std::enable_shared_from_this<Node>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Node)

  explicit Node(const std::string & node_name, const NodeOptions & options = NodeOptions());
  explicit Node(const std::string & node_name, const std::string & namespace_,
                const NodeOptions & options = NodeOptions());
  Node(const Node &) = delete;
  Node & operator=(const Node &) = delete;
  virtual ~Node();

  const char * get_name() const;
  const char * get_namespace() const;
  const char * get_fully_qualified_name() const;
  rclcpp::Logger get_logger() const;

  rclcpp::CallbackGroup::SharedPtr create_callback_group(
      rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true);
  void for_each_callback_group(const std::function<void(rclcpp::CallbackGroup::SharedPtr)> & func);

  template <typename MessageT, typename AllocatorT = std::allocator<void>,
            typename PublisherT = rclcpp::Publisher<MessageT, AllocatorT>>
  std::shared_ptr<PublisherT> create_publisher(
      const std::string & topic_name, const rclcpp::QoS & qos,
      const PublisherOptionsWithAllocator<AllocatorT> & options =
          PublisherOptionsWithAllocator<AllocatorT>())
  {
    return std::make_shared<PublisherT>(
        node_base_.get(), node_base_->resolve_topic_or_service_name(topic_name, false), qos,
        options);
  }

  template <typename MessageT, typename CallbackT, typename AllocatorT = std::allocator<void>,
            typename SubscriptionT = rclcpp::Subscription<MessageT, AllocatorT>>
  std::shared_ptr<SubscriptionT> create_subscription(
      const std::string & topic_name, const rclcpp::QoS & qos, CallbackT && callback,
      const SubscriptionOptionsWithAllocator<AllocatorT> & options =
          SubscriptionOptionsWithAllocator<AllocatorT>())
  {
    rclcpp::CallbackGroup::SharedPtr group = callback_group_for(options.callback_group);
    auto subscription = std::make_shared<SubscriptionT>(
        node_base_.get(), node_base_->resolve_topic_or_service_name(topic_name, false), qos,
        std::forward<CallbackT>(callback), options, group->host_wake_set());
    group->host_add_subscription(subscription);
    return subscription;
  }

  template <typename DurationRepT = int64_t, typename DurationT = std::milli, typename CallbackT>
  typename rclcpp::WallTimer<CallbackT>::SharedPtr create_wall_timer(
      std::chrono::duration<DurationRepT, DurationT> period, CallbackT callback,
      rclcpp::CallbackGroup::SharedPtr group = nullptr)
  {
    rclcpp::CallbackGroup::SharedPtr target = callback_group_for(group);
    auto timer = rclcpp::WallTimer<CallbackT>::make_shared(
        detail::safe_cast_to_period_in_ns(period), std::move(callback), node_base_->get_context());
    timer->host_set_wake_set(target->host_wake_set());
    target->host_add_timer(timer);
    return timer;
  }

  // Parameters.
  const rclcpp::ParameterValue & declare_parameter(
      const std::string & name, const rclcpp::ParameterValue & default_value,
      const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor =
          rcl_interfaces::msg::ParameterDescriptor(),
      bool ignore_override = false);

  const rclcpp::ParameterValue & declare_parameter(
      const std::string & name, rclcpp::ParameterType type,
      const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor =
          rcl_interfaces::msg::ParameterDescriptor{},
      bool ignore_override = false);

  template <typename ParameterT>
  auto declare_parameter(const std::string & name, const ParameterT & default_value,
                         const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor =
                             rcl_interfaces::msg::ParameterDescriptor(),
                         bool ignore_override = false)
  {
    try {
      return this
          ->declare_parameter(name, rclcpp::ParameterValue(default_value), parameter_descriptor,
                              ignore_override)
          .template get<ParameterT>();
    } catch (const ParameterTypeException & ex) {
      throw exceptions::InvalidParameterTypeException(name, ex.what());
    }
  }

  template <typename ParameterT>
  auto declare_parameter(const std::string & name,
                         const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor =
                             rcl_interfaces::msg::ParameterDescriptor(),
                         bool ignore_override = false)
  {
    // ParameterValue's constructor set gives the ParameterType of ParameterT.
    rclcpp::ParameterValue value{ParameterT{}};
    try {
      return this->declare_parameter(name, value.get_type(), parameter_descriptor, ignore_override)
          .template get<ParameterT>();
    } catch (const ParameterTypeException &) {
      throw exceptions::UninitializedStaticallyTypedParameterException(name);
    }
  }

  void undeclare_parameter(const std::string & name);
  /// True iff the parameter is declared.
  bool has_parameter(const std::string & name) const;

  rcl_interfaces::msg::SetParametersResult set_parameter(const rclcpp::Parameter & parameter);
  std::vector<rcl_interfaces::msg::SetParametersResult> set_parameters(
      const std::vector<rclcpp::Parameter> & parameters);

  /// Throws ParameterNotDeclaredException (undeclared, undeclared ones not allowed) or
  /// ParameterUninitializedException (statically typed, declared without a value).
  rclcpp::Parameter get_parameter(const std::string & name) const;
  /// False, leaving `parameter` untouched, when undeclared or without a value.
  bool get_parameter(const std::string & name, rclcpp::Parameter & parameter) const;

  template <typename ParameterT>
  bool get_parameter(const std::string & name, ParameterT & parameter) const
  {
    rclcpp::Parameter parameter_variant;
    bool result = get_parameter(name, parameter_variant);
    if (result) {
      parameter = static_cast<ParameterT>(parameter_variant.get_value<ParameterT>());
    }
    return result;
  }

  template <typename ParameterT>
  bool get_parameter_or(const std::string & name, ParameterT & parameter,
                        const ParameterT & alternative_value) const
  {
    bool got_parameter = get_parameter(name, parameter);
    if (!got_parameter) {
      parameter = static_cast<ParameterT>(alternative_value);
    }
    return got_parameter;
  }

  template <typename ParameterT>
  ParameterT get_parameter_or(const std::string & name, const ParameterT & alternative_value) const
  {
    ParameterT parameter;
    get_parameter_or(name, parameter, alternative_value);
    return parameter;
  }

  std::vector<rclcpp::Parameter> get_parameters(const std::vector<std::string> & names) const;
  rcl_interfaces::msg::ParameterDescriptor describe_parameter(const std::string & name) const;
  std::map<std::string, rclcpp::ParameterValue> get_parameter_overrides() const;

  // Graph queries (topics of this node's context).
  std::map<std::string, std::vector<std::string>> get_topic_names_and_types() const;
  size_t count_publishers(const std::string & topic_name) const;
  size_t count_subscribers(const std::string & topic_name) const;

  rclcpp::Clock::SharedPtr get_clock();
  rclcpp::Clock::ConstSharedPtr get_clock() const;
  /// Current RCL_ROS_TIME of the node clock.
  Time now() const;

  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr get_node_base_interface();
  const rclcpp::NodeOptions & get_node_options() const;
  const std::string & get_sub_namespace() const { return sub_namespace_; }
  const std::string & get_effective_namespace() const { return effective_namespace_; }

private:
  struct ParameterInfo
  {
    rclcpp::ParameterValue value;
    rcl_interfaces::msg::ParameterDescriptor descriptor;
  };

  rclcpp::CallbackGroup::SharedPtr callback_group_for(rclcpp::CallbackGroup::SharedPtr group);
  rcl_interfaces::msg::SetParametersResult set_parameter_locked(
      const rclcpp::Parameter & parameter);

  rclcpp::NodeOptions node_options_;
  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_base_;
  std::string sub_namespace_;
  std::string effective_namespace_;
  rclcpp::Logger logger_;
  rclcpp::Clock::SharedPtr clock_;
  std::shared_ptr<detail::Graph> graph_;
  std::vector<std::pair<std::string, uint64_t>> builtin_publishers_;

  mutable std::recursive_mutex parameters_mutex_;
  std::map<std::string, ParameterInfo> parameters_;
  std::map<std::string, rclcpp::ParameterValue> parameter_overrides_;
};
}  // namespace rclcpp
