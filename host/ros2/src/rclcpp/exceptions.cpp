// what() texts of the rclcpp exceptions, formatted as rclcpp formats them.
#include <string>
#include <utility>
#include <vector>

#include "rclcpp/exceptions.hpp"

namespace rclcpp
{
namespace exceptions
{
std::string NameValidationError::format_error(const char * name_type, const char * name,
                                              const char * error_msg, size_t invalid_index)
{
  std::string msg;
  msg += std::string("Invalid ") + name_type + ": " + error_msg + ":\n";
  msg += std::string("  '") + name + "'\n";
  msg += std::string("   ") + std::string(invalid_index, ' ') + "^\n";
  return msg;
}

RCLErrorBase::RCLErrorBase(rcl_ret_t ret_in, const std::string & message_in,
                           const std::string & file_in, size_t line_in)
    : ret(ret_in),
      message(message_in),
      file(file_in),
      line(line_in),
      formatted_message(message_in + ", at " + file_in + ":" + std::to_string(line_in))
{
}

RCLError::RCLError(const RCLErrorBase & base_exc, const std::string & prefix)
    : RCLErrorBase(base_exc), std::runtime_error(prefix + ": " + base_exc.formatted_message)
{
}

RCLInvalidArgument::RCLInvalidArgument(const RCLErrorBase & base_exc, const std::string & prefix)
    : RCLErrorBase(base_exc), std::invalid_argument(prefix + ": " + base_exc.formatted_message)
{
}

RCLInvalidROSArgsError::RCLInvalidROSArgsError(const RCLErrorBase & base_exc,
                                               const std::string & prefix)
    : RCLErrorBase(base_exc), std::runtime_error(prefix + ": " + base_exc.formatted_message)
{
}

namespace
{
std::string join(const std::vector<std::string> & items, const std::string & separator)
{
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) {
      out += separator;
    }
    out += items[i];
  }
  return out;
}
}  // namespace

UnknownROSArgsError::UnknownROSArgsError(std::vector<std::string> && unknown_ros_args_in)
    : std::runtime_error("found unknown ROS arguments: '" + join(unknown_ros_args_in, "', '") +
                         "'"),
      unknown_ros_args(std::move(unknown_ros_args_in))
{
}
}  // namespace exceptions
}  // namespace rclcpp
