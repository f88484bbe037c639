// Host stand-in for rclcpp/exceptions/exceptions.hpp (ROS 2 Humble rclcpp 16.0): the same
// exception classes, bases and what() texts for the cases the host stand-in raises.
// Differs from Humble: RCLErrorBase is built from a message, file and line instead of an
// rcl_error_state_t (rcl has no error state here); throw_from_rcl_error is not provided.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "rcl/types.h"

namespace rclcpp
{
namespace exceptions
{
class InvalidNodeError : public std::runtime_error
{
public:
  InvalidNodeError() : std::runtime_error("node is invalid") {}
};

class NameValidationError : public std::invalid_argument
{
public:
  NameValidationError(const char * name_type_, const char * name_, const char * error_msg_,
                      size_t invalid_index_)
      : std::invalid_argument(format_error(name_type_, name_, error_msg_, invalid_index_)),
        name_type(name_type_),
        name(name_),
        error_msg(error_msg_),
        invalid_index(invalid_index_)
  {
  }

  static std::string format_error(const char * name_type, const char * name, const char * error_msg,
                                  size_t invalid_index);

  const std::string name_type;
  const std::string name;
  const std::string error_msg;
  const size_t invalid_index;
};

class InvalidNodeNameError : public NameValidationError
{
public:
  InvalidNodeNameError(const char * node_name, const char * error_msg_in, size_t invalid_index_in)
      : NameValidationError("node name", node_name, error_msg_in, invalid_index_in)
  {
  }
};

class InvalidNamespaceError : public NameValidationError
{
public:
  InvalidNamespaceError(const char * namespace_, const char * error_msg_in, size_t invalid_index_in)
      : NameValidationError("namespace", namespace_, error_msg_in, invalid_index_in)
  {
  }
};

class InvalidTopicNameError : public NameValidationError
{
public:
  InvalidTopicNameError(const char * namespace_, const char * error_msg_in, size_t invalid_index_in)
      : NameValidationError("topic name", namespace_, error_msg_in, invalid_index_in)
  {
  }
};

class InvalidServiceNameError : public NameValidationError
{
public:
  InvalidServiceNameError(const char * namespace_, const char * error_msg_in,
                          size_t invalid_index_in)
      : NameValidationError("service name", namespace_, error_msg_in, invalid_index_in)
  {
  }
};

class RCLErrorBase
{
public:
  RCLErrorBase(rcl_ret_t ret, const std::string & message, const std::string & file, size_t line);
  virtual ~RCLErrorBase() {}

  rcl_ret_t ret;
  std::string message;
  std::string file;
  size_t line;
  std::string formatted_message;
};

class RCLError : public RCLErrorBase, public std::runtime_error
{
public:
  RCLError(const RCLErrorBase & base_exc, const std::string & prefix);
};

class RCLBadAlloc : public RCLErrorBase, public std::bad_alloc
{
public:
  explicit RCLBadAlloc(const RCLErrorBase & base_exc) : RCLErrorBase(base_exc) {}
};

class RCLInvalidArgument : public RCLErrorBase, public std::invalid_argument
{
public:
  RCLInvalidArgument(const RCLErrorBase & base_exc, const std::string & prefix);
};

class RCLInvalidROSArgsError : public RCLErrorBase, public std::runtime_error
{
public:
  RCLInvalidROSArgsError(const RCLErrorBase & base_exc, const std::string & prefix);
};

class UnknownROSArgsError : public std::runtime_error
{
public:
  explicit UnknownROSArgsError(std::vector<std::string> && unknown_ros_args_in);

  const std::vector<std::string> unknown_ros_args;
};

class InvalidEventError : public std::runtime_error
{
public:
  InvalidEventError() : std::runtime_error("event is invalid") {}
};

class EventNotRegisteredError : public std::runtime_error
{
public:
  EventNotRegisteredError() : std::runtime_error("event already registered") {}
};

class InvalidParametersException : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

class InvalidParameterValueException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class InvalidParameterTypeException : public std::runtime_error
{
public:
  InvalidParameterTypeException(const std::string & name, const std::string message)
      : std::runtime_error("parameter '" + name + "' has invalid type: " + message)
  {
  }
};

class UninitializedStaticallyTypedParameterException : public std::runtime_error
{
public:
  explicit UninitializedStaticallyTypedParameterException(const std::string & name)
      : std::runtime_error("Statically typed parameter '" + name + "' must be initialized.")
  {
  }
};

class ParameterAlreadyDeclaredException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class ParameterNotDeclaredException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class ParameterImmutableException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class ParameterModifiedInCallbackException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class ParameterUninitializedException : public std::runtime_error
{
public:
  explicit ParameterUninitializedException(const std::string & name)
      : std::runtime_error("parameter '" + name + "' is not initialized")
  {
  }
};

class InvalidQosOverridesException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class QoSCheckCompatibleException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};
}  // namespace exceptions
}  // namespace rclcpp
