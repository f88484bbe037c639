// Host stand-in for rclcpp/node_options.hpp (ROS 2 Humble rclcpp 16.0): the same chaining
// setters and defaults (use_global_arguments, enable_rosout, start_parameter_services and
// start_parameter_event_publisher true; the rest false). `arguments` are node-local ROS
// arguments, parsed like the global ones (only -p/--param and --params-file take effect).
// Differs from Humble: use_intra_process_comms, use_clock_thread and the QoS/allocator
// members are stored without effect; enable_rosout and start_parameter_event_publisher only
// decide whether /rosout and /parameter_events appear in the host graph.
#pragma once

#include <string>
#include <vector>

#include "rcl/allocator.h"
#include "rclcpp/context.hpp"
#include "rclcpp/parameter.hpp"
#include "rclcpp/qos.hpp"

namespace rclcpp
{
class NodeOptions
{
public:
  explicit NodeOptions(rcl_allocator_t allocator = rcl_get_default_allocator());
  virtual ~NodeOptions() = default;
  NodeOptions(const NodeOptions & other) = default;
  NodeOptions & operator=(const NodeOptions & other) = default;

  rclcpp::Context::SharedPtr context() const { return context_; }
  NodeOptions & context(rclcpp::Context::SharedPtr context)
  {
    context_ = context;
    return *this;
  }

  const std::vector<std::string> & arguments() const { return arguments_; }
  NodeOptions & arguments(const std::vector<std::string> & arguments)
  {
    arguments_ = arguments;
    return *this;
  }

  std::vector<rclcpp::Parameter> & parameter_overrides() { return parameter_overrides_; }
  const std::vector<rclcpp::Parameter> & parameter_overrides() const
  {
    return parameter_overrides_;
  }
  NodeOptions & parameter_overrides(const std::vector<rclcpp::Parameter> & parameter_overrides)
  {
    parameter_overrides_ = parameter_overrides;
    return *this;
  }

  template <typename ParameterT>
  NodeOptions & append_parameter_override(const std::string & name, const ParameterT & value)
  {
    this->parameter_overrides().emplace_back(name, rclcpp::ParameterValue(value));
    return *this;
  }

  bool use_global_arguments() const { return use_global_arguments_; }
  NodeOptions & use_global_arguments(bool use_global_arguments)
  {
    use_global_arguments_ = use_global_arguments;
    return *this;
  }

  bool enable_rosout() const { return enable_rosout_; }
  NodeOptions & enable_rosout(bool enable_rosout)
  {
    enable_rosout_ = enable_rosout;
    return *this;
  }

  bool use_intra_process_comms() const { return use_intra_process_comms_; }
  NodeOptions & use_intra_process_comms(bool use_intra_process_comms)
  {
    use_intra_process_comms_ = use_intra_process_comms;
    return *this;
  }

  bool enable_topic_statistics() const { return enable_topic_statistics_; }
  NodeOptions & enable_topic_statistics(bool enable_topic_statistics)
  {
    enable_topic_statistics_ = enable_topic_statistics;
    return *this;
  }

  bool start_parameter_services() const { return start_parameter_services_; }
  NodeOptions & start_parameter_services(bool start_parameter_services)
  {
    start_parameter_services_ = start_parameter_services;
    return *this;
  }

  bool start_parameter_event_publisher() const { return start_parameter_event_publisher_; }
  NodeOptions & start_parameter_event_publisher(bool start_parameter_event_publisher)
  {
    start_parameter_event_publisher_ = start_parameter_event_publisher;
    return *this;
  }

  const rclcpp::QoS & parameter_event_qos() const { return parameter_event_qos_; }
  NodeOptions & parameter_event_qos(const rclcpp::QoS & parameter_event_qos)
  {
    parameter_event_qos_ = parameter_event_qos;
    return *this;
  }

  const rclcpp::QoS & rosout_qos() const { return rosout_qos_; }
  NodeOptions & rosout_qos(const rclcpp::QoS & rosout_qos)
  {
    rosout_qos_ = rosout_qos;
    return *this;
  }

  bool use_clock_thread() const { return use_clock_thread_; }
  NodeOptions & use_clock_thread(bool use_clock_thread)
  {
    use_clock_thread_ = use_clock_thread;
    return *this;
  }

  bool allow_undeclared_parameters() const { return allow_undeclared_parameters_; }
  NodeOptions & allow_undeclared_parameters(bool allow_undeclared_parameters)
  {
    allow_undeclared_parameters_ = allow_undeclared_parameters;
    return *this;
  }

  bool automatically_declare_parameters_from_overrides() const
  {
    return automatically_declare_parameters_from_overrides_;
  }
  NodeOptions & automatically_declare_parameters_from_overrides(
      bool automatically_declare_parameters_from_overrides)
  {
    automatically_declare_parameters_from_overrides_ =
        automatically_declare_parameters_from_overrides;
    return *this;
  }

  const rcl_allocator_t & allocator() const { return allocator_; }
  NodeOptions & allocator(rcl_allocator_t allocator)
  {
    allocator_ = allocator;
    return *this;
  }

private:
  rclcpp::Context::SharedPtr context_{rclcpp::contexts::get_global_default_context()};
  std::vector<std::string> arguments_{};
  std::vector<rclcpp::Parameter> parameter_overrides_{};
  bool use_global_arguments_{true};
  bool enable_rosout_{true};
  bool use_intra_process_comms_{false};
  bool enable_topic_statistics_{false};
  bool start_parameter_services_{true};
  bool start_parameter_event_publisher_{true};
  rclcpp::QoS parameter_event_qos_ =
      rclcpp::QoS(rclcpp::QoSInitialization::from_rmw(rmw_qos_profile_parameter_events));
  rclcpp::QoS rosout_qos_ = rclcpp::RosoutQoS();
  bool use_clock_thread_{true};
  bool allow_undeclared_parameters_{false};
  bool automatically_declare_parameters_from_overrides_{false};
  rcl_allocator_t allocator_;
};
}  // namespace rclcpp
