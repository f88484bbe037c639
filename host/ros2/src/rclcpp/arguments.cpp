// ROS argument and parameter-file parsing for the host stand-in, typed like rcl.
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "host_arguments.hpp"
#include "rclcpp/exceptions.hpp"
#include "rcutils/logging.h"

namespace rclcpp
{
namespace detail
{
namespace
{
[[noreturn]] void throw_invalid(const std::string & prefix, const std::string & message)
{
  throw exceptions::RCLInvalidROSArgsError(
      exceptions::RCLErrorBase(RCL_RET_INVALID_ROS_ARGS, message, "./src/rcl/arguments.c", 0),
      prefix);
}

struct ParseError
{
  std::string message;
};

bool is_token_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

bool is_bool_word(const std::string & text, bool & value)
{
  static const char * const kTrue[] = {"Y",    "y",    "yes", "Yes", "YES", "true",
                                       "True", "TRUE", "on",  "On",  "ON"};
  static const char * const kFalse[] = {"N",     "n",     "no",  "No",  "NO", "false",
                                        "False", "FALSE", "off", "Off", "OFF"};
  for (const char * word : kTrue) {
    if (text == word) {
      value = true;
      return true;
    }
  }
  for (const char * word : kFalse) {
    if (text == word) {
      value = false;
      return true;
    }
  }
  return false;
}

rclcpp::ParameterValue yaml_to_value(const YAML::Node & node, const std::string & raw_text)
{
  if (node.IsScalar()) {
    return parse_yaml_scalar(node.Scalar(), node.Tag() == "!");
  }
  if (node.IsNull()) {
    // rcl types "~" and "null" as strings; an empty value has nothing to type.
    std::string trimmed = raw_text;
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) {
      trimmed.pop_back();
    }
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.front()))) {
      trimmed.erase(trimmed.begin());
    }
    if (trimmed.empty()) {
      throw ParseError{"No value"};
    }
    return rclcpp::ParameterValue(trimmed);
  }
  if (node.IsSequence()) {
    if (node.size() == 0) {
      throw ParseError{"Empty sequences are not supported"};
    }
    std::vector<rclcpp::ParameterValue> items;
    for (const auto & item : node) {
      if (!item.IsScalar()) {
        throw ParseError{"Sequences can only contain scalars"};
      }
      items.push_back(parse_yaml_scalar(item.Scalar(), item.Tag() == "!"));
      if (items.back().get_type() != items.front().get_type()) {
        throw ParseError{"Sequence should be of same type. Value type '" +
                         rclcpp::to_string(items.back().get_type()) + "' do not belong"};
      }
    }
    switch (items.front().get_type()) {
      case PARAMETER_BOOL: {
        std::vector<bool> values;
        for (const auto & v : items) values.push_back(v.get<bool>());
        return rclcpp::ParameterValue(values);
      }
      case PARAMETER_INTEGER: {
        std::vector<int64_t> values;
        for (const auto & v : items) values.push_back(v.get<int64_t>());
        return rclcpp::ParameterValue(values);
      }
      case PARAMETER_DOUBLE: {
        std::vector<double> values;
        for (const auto & v : items) values.push_back(v.get<double>());
        return rclcpp::ParameterValue(values);
      }
      default: {
        std::vector<std::string> values;
        for (const auto & v : items) values.push_back(v.get<std::string>());
        return rclcpp::ParameterValue(values);
      }
    }
  }
  throw ParseError{"Maps are not parameter values"};
}

void parse_parameter_map(const YAML::Node & map, const std::string & prefix,
                         const std::string & node_key, HostArguments & out)
{
  for (const auto & entry : map) {
    const std::string key = entry.first.as<std::string>();
    const std::string name = prefix.empty() ? key : prefix + "." + key;
    const YAML::Node & value = entry.second;
    if (value.IsMap()) {
      parse_parameter_map(value, name, node_key, out);
    } else if (value.IsNull()) {
      throw ParseError{"No value for parameter '" + name + "'"};
    } else {
      out.add_parameter(node_key, name, yaml_to_value(value, ""));
    }
  }
}

void parse_node_level(const YAML::Node & map, const std::string & ns, HostArguments & out)
{
  for (const auto & entry : map) {
    const std::string key = entry.first.as<std::string>();
    const YAML::Node & value = entry.second;
    if (key == "ros__parameters") {
      if (ns.empty()) {
        throw ParseError{"ros__parameters must be nested under a node name"};
      }
      if (value.IsNull()) {
        continue;
      }
      if (!value.IsMap()) {
        throw ParseError{"ros__parameters of '" + ns + "' is not a map"};
      }
      parse_parameter_map(value, "", ns, out);
      continue;
    }
    if (!value.IsMap()) {
      throw ParseError{"Cannot have a value before ros__parameters at key '" + key + "'"};
    }
    // A leading "/" is added when missing; nested keys are namespaces.
    const std::string child = (!key.empty() && key[0] == '/') ? ns + key : ns + "/" + key;
    parse_node_level(value, child, out);
  }
}

void parse_params_file(const std::string & path, HostArguments & out)
{
  // Read here rather than by YAML::LoadFile: a path that opens but cannot be read (a directory)
  // makes yaml-cpp's stream throw from its constructor and leak its buffer.
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw ParseError{"Error opening YAML file"};
  }
  std::string text;
  try {
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  } catch (const std::ios_base::failure &) {
    // libstdc++'s file buffer throws on a failed read whatever the stream's exception mask.
    throw ParseError{"Error reading YAML file"};
  }
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::Exception & ex) {
    throw ParseError{std::string("Error parsing a event near line ") +
                     std::to_string(ex.mark.line + 1) + ": " + ex.msg};
  }
  if (root.IsNull()) {
    return;
  }
  if (!root.IsMap()) {
    throw ParseError{"The top level of a parameter file must be a map of node names"};
  }
  try {
    parse_node_level(root, "", out);
  } catch (const YAML::Exception & ex) {
    // A key that is itself a map or a sequence ("? {a: 1}") has no string form.
    throw ParseError{std::string("Error parsing a event near line ") +
                     std::to_string(ex.mark.line + 1) + ": " + ex.msg};
  }
}

bool valid_param_name(const std::string & name)
{
  // (token | '/')+ ('.' (token | '/')+)*, as rcl's lexer accepts.
  static const std::regex kName(R"([A-Za-z0-9_/]+(\.[A-Za-z0-9_/]+)*)");
  return std::regex_match(name, kName);
}

void parse_param_rule(const std::string & rule, HostArguments & out)
{
  const size_t separator = rule.find(":=");
  if (separator == std::string::npos) {
    throw ParseError{"Expected lexeme type (19) not found, search ended at index " +
                     std::to_string(rule.size())};
  }
  std::string left = rule.substr(0, separator);
  const std::string value_text = rule.substr(separator + 2);
  std::string node_key = "/**";
  const size_t colon = left.find(':');
  if (colon != std::string::npos) {
    const std::string node = left.substr(0, colon);
    if (node.empty() || !std::all_of(node.begin(), node.end(), is_token_char)) {
      throw ParseError{"Invalid node name prefix '" + node + "'"};
    }
    node_key = node;
    left = left.substr(colon + 1);
  }
  if (!valid_param_name(left)) {
    throw ParseError{"Invalid parameter name '" + left + "'"};
  }
  YAML::Node value;
  try {
    value = YAML::Load(value_text);
  } catch (const YAML::Exception & ex) {
    throw ParseError{"Error parsing value '" + value_text + "': " + ex.msg};
  }
  out.add_parameter(node_key, left, yaml_to_value(value, value_text));
}

void parse_log_level(const std::string & arg, HostArguments & out)
{
  const size_t separator = arg.find(":=");
  int level = 0;
  if (separator == std::string::npos) {
    if (rcutils_logging_severity_level_from_string(arg.c_str(), rcutils_get_default_allocator(),
                                                   &level) != RCUTILS_RET_OK) {
      throw ParseError{"Argument does not use a valid severity level"};
    }
    out.default_log_level = level;
    return;
  }
  const std::string name = arg.substr(0, separator);
  const std::string level_text = arg.substr(separator + 2);
  if (name.empty()) {
    throw ParseError{"Argument has an invalid logger item that name is empty"};
  }
  if (rcutils_logging_severity_level_from_string(
          level_text.c_str(), rcutils_get_default_allocator(), &level) != RCUTILS_RET_OK) {
    throw ParseError{"Argument does not use a valid severity level"};
  }
  out.logger_levels.emplace_back(name, level);
}
}  // namespace

void HostArguments::add_parameter(const std::string & node_key, const std::string & name,
                                  const rclcpp::ParameterValue & value)
{
  NodeParameterRules * rules = nullptr;
  for (auto & candidate : parameters) {
    if (candidate.node_key == node_key) {
      rules = &candidate;
      break;
    }
  }
  if (rules == nullptr) {
    parameters.push_back(NodeParameterRules{node_key, {}});
    rules = &parameters.back();
  }
  for (auto & entry : rules->parameters) {
    if (entry.first == name) {
      entry.second = value;
      return;
    }
  }
  rules->parameters.emplace_back(name, value);
}

rclcpp::ParameterValue parse_yaml_scalar(const std::string & text, bool quoted)
{
  if (quoted) {
    return rclcpp::ParameterValue(text);
  }
  bool bool_value = false;
  if (is_bool_word(text, bool_value)) {
    return rclcpp::ParameterValue(bool_value);
  }
  if (!text.empty()) {
    errno = 0;
    char * end = nullptr;
    const long long integer = std::strtoll(text.c_str(), &end, 0);
    if (errno == 0 && end != text.c_str() && *end == '\0') {
      return rclcpp::ParameterValue(static_cast<int64_t>(integer));
    }
    static const char * const kSpecial[] = {".nan",  ".NaN",  ".NAN",  ".inf",  ".Inf",  ".INF",
                                            "+.inf", "+.Inf", "+.INF", "-.inf", "-.Inf", "-.INF"};
    double number = 0.0;
    bool is_special = false;
    for (const char * special : kSpecial) {
      if (text == special) {
        is_special = true;
      }
    }
    errno = 0;
    end = nullptr;
    const char * start = text.c_str();
    if (is_special) {
      const char * letters = start;
      while (!std::isalpha(static_cast<unsigned char>(*letters))) {
        ++letters;
      }
      number = std::strtod(letters, &end);
      if (text[0] == '-') {
        number = -number;
      }
    } else {
      number = std::strtod(start, &end);
    }
    if (errno == 0 && end != start && *end == '\0') {
      return rclcpp::ParameterValue(number);
    }
  }
  return rclcpp::ParameterValue(text);
}

HostArguments parse_ros_arguments(const std::vector<std::string> & args,
                                  const std::string & error_prefix)
{
  HostArguments out;
  bool in_ros_args = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string & arg = args[i];
    if (arg == "--ros-args") {
      in_ros_args = true;
      continue;
    }
    if (!in_ros_args) {
      continue;
    }
    if (arg == "--") {
      in_ros_args = false;
      continue;
    }
    const bool has_next = i + 1 < args.size();
    if (arg == "-p" || arg == "--param") {
      if (!has_next) {
        throw_invalid(error_prefix, "Couldn't parse trailing " + arg +
                                        " flag. No parameter override rule found.");
      }
      try {
        parse_param_rule(args[i + 1], out);
      } catch (const ParseError & error) {
        throw_invalid(error_prefix, "Couldn't parse parameter override rule: '" + arg + " " +
                                        args[i + 1] + "'. Error: " + error.message);
      }
      ++i;
    } else if (arg == "--params-file") {
      if (!has_next) {
        throw_invalid(error_prefix,
                      "Couldn't parse trailing " + arg + " flag. No file path provided.");
      }
      try {
        parse_params_file(args[i + 1], out);
      } catch (const ParseError & error) {
        throw_invalid(error_prefix, "Couldn't parse params file: '" + arg + " " + args[i + 1] +
                                        "'. Error: " + error.message);
      }
      ++i;
    } else if (arg == "--log-level") {
      if (!has_next) {
        throw_invalid(error_prefix,
                      "Couldn't parse trailing log level flag. No log level provided.");
      }
      try {
        parse_log_level(args[i + 1], out);
      } catch (const ParseError & error) {
        throw_invalid(error_prefix, "Couldn't parse log level: '" + arg + " " + args[i + 1] +
                                        "'. Error: " + error.message);
      }
      ++i;
    } else if (arg == "-r" || arg == "--remap") {
      throw_invalid(error_prefix, "Couldn't parse remap rule: '" + arg +
                                      (has_next ? " " + args[i + 1] : std::string()) +
                                      "'. Error: remapping is not supported by the host graph");
    } else if (arg == "-e" || arg == "--enclave" || arg == "--log-config-file") {
      if (!has_next) {
        throw_invalid(error_prefix, "Couldn't parse trailing " + arg + " flag.");
      }
      ++i;
    } else if (arg == "--enable-stdout-logs" || arg == "--disable-stdout-logs" ||
               arg == "--enable-rosout-logs" || arg == "--disable-rosout-logs" ||
               arg == "--enable-external-lib-logs" || arg == "--disable-external-lib-logs") {
      continue;
    } else {
      out.unknown_ros_args.push_back(arg);
    }
  }
  return out;
}

std::map<std::string, rclcpp::ParameterValue> resolve_parameter_overrides(
    const std::string & node_fqn, const std::vector<rclcpp::Parameter> & parameter_overrides,
    const HostArguments * local_args, const HostArguments * global_args)
{
  std::map<std::string, rclcpp::ParameterValue> result;
  for (const HostArguments * source : {global_args, local_args}) {
    if (source == nullptr) {
      continue;
    }
    for (const auto & rules : source->parameters) {
      std::string key = rules.node_key;
      if (key.empty() || key[0] != '/') {
        key = "/" + key;
      }
      // A node name holds only these characters: any other key (regex syntax from a malformed
      // file) matches no node and never reaches std::regex.
      if (key.find_first_not_of(
              "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_/*") !=
          std::string::npos) {
        continue;
      }
      std::string pattern;
      for (size_t i = 0; i < key.size(); ++i) {
        if (key[i] == '/' && i + 1 < key.size() && key[i + 1] == '*') {
          pattern += R"((/\w+))";
          ++i;
        } else {
          pattern += key[i];
        }
      }
      try {
        if (!std::regex_match(node_fqn, std::regex(pattern))) {
          continue;
        }
      } catch (const std::regex_error &) {
        continue;  // wildcards the regex cannot express match no node
      }
      for (const auto & parameter : rules.parameters) {
        result[parameter.first] = parameter.second;
      }
    }
  }
  for (const auto & parameter : parameter_overrides) {
    result[parameter.get_name()] = parameter.get_parameter_value();
  }
  return result;
}

std::vector<std::string> strip_ros_arguments(const std::vector<std::string> & args)
{
  std::vector<std::string> out;
  bool in_ros_args = false;
  for (const auto & arg : args) {
    if (arg == "--ros-args") {
      in_ros_args = true;
    } else if (in_ros_args && arg == "--") {
      in_ros_args = false;
    } else if (!in_ros_args) {
      out.push_back(arg);
    }
  }
  return out;
}
}  // namespace detail
}  // namespace rclcpp
