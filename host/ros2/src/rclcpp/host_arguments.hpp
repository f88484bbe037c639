// Private to the host rclcpp library: parsed ROS command-line arguments, mirroring what rcl
// keeps in rcl_arguments_t (parameter overrides per node key in order of first appearance,
// log levels, unknown ROS arguments).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "rclcpp/parameter.hpp"
#include "rclcpp/parameter_value.hpp"

namespace rclcpp
{
namespace detail
{
struct NodeParameterRules
{
  std::string node_key;  // as written: "/**", "/talker", "talker" (from -p talker:x:=1)
  std::vector<std::pair<std::string, rclcpp::ParameterValue>> parameters;
};

struct HostArguments
{
  std::vector<NodeParameterRules> parameters;
  int default_log_level = -1;  // -1: not given
  std::vector<std::pair<std::string, int>> logger_levels;
  std::vector<std::string> unknown_ros_args;

  /// A repeated node key keeps its place; a repeated parameter is overwritten in place.
  void add_parameter(const std::string & node_key, const std::string & name,
                     const rclcpp::ParameterValue & value);
};

/// Parses every "--ros-args ... [--]" section of `args`. Malformed rules and unreadable or
/// malformed parameter files throw exceptions::RCLInvalidROSArgsError with `error_prefix`;
/// unknown ROS arguments are collected, not thrown.
HostArguments parse_ros_arguments(const std::vector<std::string> & args,
                                  const std::string & error_prefix);

/// Parses a YAML scalar the way rcl_yaml_param_parser types it.
rclcpp::ParameterValue parse_yaml_scalar(const std::string & text, bool quoted);

/// rclcpp's resolve_parameter_overrides: global, then local arguments (keys matched against
/// `node_fqn` with "/*" -> "(/\w+)" and "/**" -> "(/\w+)*"), then `parameter_overrides`.
std::map<std::string, rclcpp::ParameterValue> resolve_parameter_overrides(
    const std::string & node_fqn, const std::vector<rclcpp::Parameter> & parameter_overrides,
    const HostArguments * local_args, const HostArguments * global_args);

/// Arguments outside every --ros-args section, "--" terminators removed.
std::vector<std::string> strip_ros_arguments(const std::vector<std::string> & args);
}  // namespace detail
}  // namespace rclcpp
