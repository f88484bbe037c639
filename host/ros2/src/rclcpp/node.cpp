// rclcpp::Node for the host stand-in: names, clock, logger and parameters.
#include <cctype>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host_arguments.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/node.hpp"

namespace rclcpp
{
namespace
{
constexpr size_t kNodeNameMaxLength = 255;

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

void validate_node_name(const std::string & name)
{
  auto fail = [&name](const char * message, size_t index) {
    throw exceptions::InvalidNodeNameError(name.c_str(), message, index);
  };
  if (name.empty()) {
    fail("node name must not be empty", 0);
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (!is_name_char(name[i])) {
      fail("node name must not contain characters other than alphanumerics or '_'", i);
    }
  }
  if (is_digit(name[0])) {
    fail("node name must not start with a number", 0);
  }
  if (name.size() > kNodeNameMaxLength) {
    fail("node name length should not exceed '255'", kNodeNameMaxLength - 1);
  }
}

// rclcpp makes a relative namespace absolute before rmw validates it.
std::string normalize_and_validate_namespace(const std::string & ns)
{
  std::string result = ns.empty() ? "/" : ns;
  if (result[0] != '/') {
    result = "/" + result;
  }
  auto fail = [&result](const char * message, size_t index) {
    throw exceptions::InvalidNamespaceError(result.c_str(), message, index);
  };
  if (result.size() == 1) {
    return result;
  }
  for (size_t i = 0; i < result.size(); ++i) {
    const char c = result[i];
    if (!is_name_char(c) && c != '/') {
      fail("namespace must not contain characters other than alphanumerics, '_', or '/'", i);
    }
    if (c == '/' && i + 1 < result.size() && result[i + 1] == '/') {
      fail("namespace must not contain repeated forward slashes", i + 1);
    }
    if (c == '/' && i + 1 < result.size() && is_digit(result[i + 1])) {
      fail("namespace must not have a token that starts with a number", i + 1);
    }
  }
  if (result.back() == '/') {
    fail("namespace must not end with a forward slash", result.size() - 1);
  }
  return result;
}

// rcl's logger name: the namespace tokens and the node name joined with dots.
std::string logger_name_for(const std::string & ns, const std::string & name)
{
  std::string out;
  for (char c : ns.substr(1)) {
    out += c == '/' ? '.' : c;
  }
  return out.empty() ? name : out + "." + name;
}

std::string format_type_reason(const std::string & name, const std::string & old_type,
                               const std::string & new_type)
{
  std::ostringstream ss;
  // declare_parameter relies on this text starting with "Wrong parameter type".
  ss << "Wrong parameter type, parameter {" << name << "} is of type {" << old_type
     << "}, setting it to {" << new_type << "} is not allowed.";
  return ss.str();
}
}  // namespace

Node::Node(const std::string & node_name, const NodeOptions & options)
    : Node(node_name, "", options)
{
}

Node::Node(const std::string & node_name, const std::string & namespace_,
           const NodeOptions & options)
    : node_options_(options), logger_(rclcpp::get_logger(node_name))
{
  rclcpp::Context::SharedPtr context = options.context();
  if (!context || !context->is_valid()) {
    throw exceptions::RCLError(
        exceptions::RCLErrorBase(RCL_RET_NOT_INIT,
                                 "the given context is not valid, either rcl_init() was not called "
                                 "or rcl_shutdown() was called.",
                                 "./src/rcl/node.c", 258),
        "failed to initialize rcl node");
  }
  validate_node_name(node_name);
  const std::string ns = normalize_and_validate_namespace(namespace_);
  node_base_ = std::make_shared<rclcpp::node_interfaces::NodeBaseInterface>(node_name, ns, context);
  effective_namespace_ = ns;
  logger_ = rclcpp::get_logger(logger_name_for(ns, node_name));
  clock_ = std::make_shared<rclcpp::Clock>(RCL_ROS_TIME);
  graph_ = context->host_graph();

  const detail::HostArguments local_args =
      detail::parse_ros_arguments(options.arguments(), "failed to parse arguments");
  if (!local_args.unknown_ros_args.empty()) {
    std::vector<std::string> unknown = local_args.unknown_ros_args;
    throw exceptions::UnknownROSArgsError(std::move(unknown));
  }
  std::shared_ptr<const detail::HostArguments> global_args;
  if (options.use_global_arguments()) {
    global_args = context->host_global_arguments();
  }
  parameter_overrides_ = detail::resolve_parameter_overrides(node_base_->get_fully_qualified_name(),
                                                             options.parameter_overrides(),
                                                             &local_args, global_args.get());

  if (options.automatically_declare_parameters_from_overrides()) {
    rcl_interfaces::msg::ParameterDescriptor descriptor;
    descriptor.dynamic_typing = true;
    for (const auto & pair : parameter_overrides_) {
      if (!has_parameter(pair.first)) {
        declare_parameter(pair.first, pair.second, descriptor, true);
      }
    }
  }

  // The time source of every node declares use_sim_time.
  const std::string use_sim_time_name = "use_sim_time";
  rclcpp::ParameterValue use_sim_time;
  if (!has_parameter(use_sim_time_name)) {
    use_sim_time = declare_parameter(use_sim_time_name, rclcpp::ParameterValue(false));
  } else {
    use_sim_time = get_parameter(use_sim_time_name).get_parameter_value();
  }
  if (use_sim_time.get_type() != rclcpp::PARAMETER_BOOL) {
    RCLCPP_ERROR(logger_, "Invalid type '%s' for parameter 'use_sim_time', should be 'bool'",
                 rclcpp::to_string(use_sim_time.get_type()).c_str());
    throw std::invalid_argument("Invalid type for parameter 'use_sim_time', should be 'bool'");
  }

  if (options.start_parameter_event_publisher()) {
    builtin_publishers_.emplace_back(
        "/parameter_events",
        graph_->add_publisher("/parameter_events", "rcl_interfaces/msg/ParameterEvent",
                              options.parameter_event_qos().get_rmw_qos_profile()));
  }
  if (options.enable_rosout()) {
    builtin_publishers_.emplace_back(
        "/rosout", graph_->add_publisher("/rosout", "rcl_interfaces/msg/Log",
                                         options.rosout_qos().get_rmw_qos_profile()));
  }
}

Node::~Node()
{
  for (const auto & publisher : builtin_publishers_) {
    graph_->remove_publisher(publisher.first, publisher.second);
  }
}

const char * Node::get_name() const { return node_base_->get_name(); }
const char * Node::get_namespace() const { return node_base_->get_namespace(); }
const char * Node::get_fully_qualified_name() const
{
  return node_base_->get_fully_qualified_name();
}
rclcpp::Logger Node::get_logger() const { return logger_; }

rclcpp::CallbackGroup::SharedPtr Node::create_callback_group(
    rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node)
{
  return node_base_->create_callback_group(group_type, automatically_add_to_executor_with_node);
}

void Node::for_each_callback_group(
    const std::function<void(rclcpp::CallbackGroup::SharedPtr)> & func)
{
  node_base_->for_each_callback_group(func);
}

rclcpp::CallbackGroup::SharedPtr Node::callback_group_for(rclcpp::CallbackGroup::SharedPtr group)
{
  if (!group) {
    return node_base_->get_default_callback_group();
  }
  if (!node_base_->callback_group_in_node(group)) {
    throw std::runtime_error("Cannot create subscription or timer, group not in node.");
  }
  return group;
}

// ---- parameters ----

const rclcpp::ParameterValue & Node::declare_parameter(
    const std::string & name, const rclcpp::ParameterValue & default_value,
    const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor, bool ignore_override)
{
  std::lock_guard<std::recursive_mutex> lock(parameters_mutex_);
  if (name.empty()) {
    throw exceptions::InvalidParametersException("parameter name must not be empty");
  }
  if (parameters_.count(name) > 0) {
    throw exceptions::ParameterAlreadyDeclaredException("parameter '" + name +
                                                        "' has already been declared");
  }
  rcl_interfaces::msg::ParameterDescriptor descriptor = parameter_descriptor;
  if (!descriptor.dynamic_typing) {
    if (default_value.get_type() == rclcpp::PARAMETER_NOT_SET) {
      throw exceptions::InvalidParameterTypeException(
          name, "cannot declare a statically typed parameter with an uninitialized value");
    }
    descriptor.type = static_cast<uint8_t>(default_value.get_type());
  }
  const rclcpp::ParameterValue * initial = &default_value;
  auto override_it = parameter_overrides_.find(name);
  if (!ignore_override && override_it != parameter_overrides_.end()) {
    initial = &override_it->second;
  }
  descriptor.name = name;
  if (initial->get_type() != rclcpp::PARAMETER_NOT_SET && !descriptor.dynamic_typing &&
      initial->get_type() != descriptor.type) {
    throw exceptions::InvalidParameterTypeException(
        name,
        format_type_reason(name, rclcpp::to_string(static_cast<ParameterType>(descriptor.type)),
                           rclcpp::to_string(initial->get_type())));
  }
  if (descriptor.dynamic_typing && initial->get_type() == rclcpp::PARAMETER_NOT_SET) {
    descriptor.type = rclcpp::PARAMETER_NOT_SET;
  }
  ParameterInfo & info = parameters_[name];
  info.descriptor = descriptor;
  info.value = *initial;
  return info.value;
}

const rclcpp::ParameterValue & Node::declare_parameter(
    const std::string & name, rclcpp::ParameterType type,
    const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor, bool ignore_override)
{
  std::lock_guard<std::recursive_mutex> lock(parameters_mutex_);
  if (type == rclcpp::PARAMETER_NOT_SET) {
    throw std::invalid_argument{
        "declare_parameter(): the provided parameter type cannot be rclcpp::PARAMETER_NOT_SET"};
  }
  if (parameter_descriptor.dynamic_typing) {
    throw std::invalid_argument{
        "declare_parameter(): cannot declare parameter of specific type and pass descriptor"
        "with `dynamic_typing=true`"};
  }
  if (name.empty()) {
    throw exceptions::InvalidParametersException("parameter name must not be empty");
  }
  if (parameters_.count(name) > 0) {
    throw exceptions::ParameterAlreadyDeclaredException("parameter '" + name +
                                                        "' has already been declared");
  }
  rcl_interfaces::msg::ParameterDescriptor descriptor = parameter_descriptor;
  descriptor.name = name;
  descriptor.type = static_cast<uint8_t>(type);
  rclcpp::ParameterValue initial;
  auto override_it = parameter_overrides_.find(name);
  if (!ignore_override && override_it != parameter_overrides_.end()) {
    initial = override_it->second;
  }
  if (initial.get_type() != rclcpp::PARAMETER_NOT_SET && initial.get_type() != type) {
    throw exceptions::InvalidParameterTypeException(
        name,
        format_type_reason(name, rclcpp::to_string(type), rclcpp::to_string(initial.get_type())));
  }
  ParameterInfo & info = parameters_[name];
  info.descriptor = descriptor;
  info.value = initial;
  return info.value;
}

void Node::undeclare_parameter(const std::string & name)
{
  std::lock_guard<std::recursive_mutex> lock(parameters_mutex_);
  auto it = parameters_.find(name);
  if (it == parameters_.end()) {
    throw exceptions::ParameterNotDeclaredException("cannot undeclare parameter '" + name +
                                                    "' which has not yet been declared");
  }
  if (it->second.descriptor.read_only) {
    throw exceptions::ParameterImmutableException("cannot undeclare parameter '" + name +
                                                  "' because it is read-only");
  }
  if (!it->second.descriptor.dynamic_typing) {
    throw exceptions::InvalidParameterTypeException(
        name, "cannot undeclare an statically typed parameter");
  }
  parameters_.erase(it);
}

bool Node::has_parameter(const std::string & name) const
{
  std::lock_guard<std::recursive_mutex> lock(parameters_mutex_);
  return parameters_.count(name) > 0;
}

rcl_interfaces::msg::SetParametersResult Node::set_parameter_locked(
    const rclcpp::Parameter & parameter)
{
  rcl_interfaces::msg::SetParametersResult result;
  const std::string & name = parameter.get_name();
  auto it = parameters_.find(name);
  if (it == parameters_.end()) {
    if (!node_options_.allow_undeclared_parameters()) {
      throw exceptions::ParameterNotDeclaredException("parameter '" + name +
                                                      "' cannot be set because it was not "
                                                      "declared");
    }
    rcl_interfaces::msg::ParameterDescriptor descriptor;
    descriptor.name = name;
    descriptor.dynamic_typing = true;
    descriptor.type = static_cast<uint8_t>(parameter.get_type());
    parameters_[name] = ParameterInfo{parameter.get_parameter_value(), descriptor};
    result.successful = true;
    return result;
  }
  ParameterInfo & info = it->second;
  if (info.descriptor.read_only) {
    result.successful = false;
    result.reason = "parameter '" + name + "' cannot be set because it is read-only";
    return result;
  }
  if (!info.descriptor.dynamic_typing && parameter.get_type() != info.descriptor.type) {
    result.successful = false;
    result.reason = format_type_reason(
        name, rclcpp::to_string(static_cast<ParameterType>(info.descriptor.type)),
        parameter.get_type_name());
    return result;
  }
  info.value = parameter.get_parameter_value();
  result.successful = true;
  return result;
}

rcl_interfaces::msg::SetParametersResult Node::set_parameter(const rclcpp::Parameter & parameter)
{
  std::lock_guard<std::recursive_mutex> lock(parameters_mutex_);
  return set_parameter_locked(parameter);
}

std::vector<rcl_interfaces::msg::SetParametersResult> Node::set_parameters(
    const std::vector<rclcpp::Parameter> & parameters)
{
  std::lock_guard<std::recursive_mutex> lock(parameters_mutex_);
  std::vector<rcl_interfaces::msg::SetParametersResult> results;
  for (const auto & parameter : parameters) {
    results.push_back(set_parameter_locked(parameter));
  }
  return results;
}

rclcpp::Parameter Node::get_parameter(const std::string & name) const
{
  std::lock_guard<std::recursive_mutex> lock(parameters_mutex_);
  auto it = parameters_.find(name);
  if (it != parameters_.end()) {
    if (it->second.descriptor.dynamic_typing ||
        it->second.value.get_type() != rclcpp::PARAMETER_NOT_SET) {
      return rclcpp::Parameter{name, it->second.value};
    }
    throw exceptions::ParameterUninitializedException(name);
  }
  if (node_options_.allow_undeclared_parameters()) {
    return rclcpp::Parameter{name};
  }
  throw exceptions::ParameterNotDeclaredException(name);
}

bool Node::get_parameter(const std::string & name, rclcpp::Parameter & parameter) const
{
  std::lock_guard<std::recursive_mutex> lock(parameters_mutex_);
  auto it = parameters_.find(name);
  if (it != parameters_.end() && it->second.value.get_type() != rclcpp::PARAMETER_NOT_SET) {
    parameter = {name, it->second.value};
    return true;
  }
  return false;
}

std::vector<rclcpp::Parameter> Node::get_parameters(const std::vector<std::string> & names) const
{
  std::vector<rclcpp::Parameter> results;
  for (const auto & name : names) {
    results.push_back(get_parameter(name));
  }
  return results;
}

rcl_interfaces::msg::ParameterDescriptor Node::describe_parameter(const std::string & name) const
{
  std::lock_guard<std::recursive_mutex> lock(parameters_mutex_);
  auto it = parameters_.find(name);
  if (it != parameters_.end()) {
    return it->second.descriptor;
  }
  if (node_options_.allow_undeclared_parameters()) {
    rcl_interfaces::msg::ParameterDescriptor descriptor;
    descriptor.name = name;
    return descriptor;
  }
  throw exceptions::ParameterNotDeclaredException(name);
}

std::map<std::string, rclcpp::ParameterValue> Node::get_parameter_overrides() const
{
  std::lock_guard<std::recursive_mutex> lock(parameters_mutex_);
  return parameter_overrides_;
}

// ---- graph, clock ----

std::map<std::string, std::vector<std::string>> Node::get_topic_names_and_types() const
{
  return graph_->topic_names_and_types();
}

size_t Node::count_publishers(const std::string & topic_name) const
{
  return graph_->count_publishers(node_base_->resolve_topic_or_service_name(topic_name, false));
}

size_t Node::count_subscribers(const std::string & topic_name) const
{
  return graph_->count_subscriptions(node_base_->resolve_topic_or_service_name(topic_name, false));
}

rclcpp::Clock::SharedPtr Node::get_clock() { return clock_; }
rclcpp::Clock::ConstSharedPtr Node::get_clock() const { return clock_; }
Time Node::now() const { return clock_->now(); }

rclcpp::node_interfaces::NodeBaseInterface::SharedPtr Node::get_node_base_interface()
{
  return node_base_;
}

const rclcpp::NodeOptions & Node::get_node_options() const { return node_options_; }
}  // namespace rclcpp

namespace rclcpp
{
NodeOptions::NodeOptions(rcl_allocator_t allocator) : allocator_(allocator) {}
}  // namespace rclcpp
