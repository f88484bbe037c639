// Host stand-in for rclcpp/parameter.hpp (ROS 2 Humble rclcpp 16.0): Parameter with the same
// constructors and accessors. get_value<T>() rethrows a type mismatch as
// exceptions::InvalidParameterTypeException ("parameter 'n' has invalid type: expected [x]
// got [y]"); the as_*() accessors and get_value<ParameterType>() throw the unwrapped
// ParameterTypeException, as in Humble.
// Differs from Humble: no conversion to/from rcl_interfaces Parameter messages.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "rclcpp/exceptions.hpp"
#include "rclcpp/parameter_value.hpp"

namespace rclcpp
{
class Parameter;

namespace detail
{
template <typename T>
decltype(auto) get_value_helper(const rclcpp::Parameter * parameter);
}

class Parameter
{
public:
  Parameter();
  explicit Parameter(const std::string & name);
  Parameter(const std::string & name, const rclcpp::ParameterValue & value);

  template <typename ValueTypeT>
  Parameter(const std::string & name, ValueTypeT value)
      : Parameter(name, rclcpp::ParameterValue(value))
  {
  }

  bool operator==(const Parameter & rhs) const;
  bool operator!=(const Parameter & rhs) const { return !(*this == rhs); }

  ParameterType get_type() const { return value_.get_type(); }
  std::string get_type_name() const { return rclcpp::to_string(get_type()); }
  const std::string & get_name() const { return name_; }
  const rclcpp::ParameterValue & get_parameter_value() const { return value_; }

  template <ParameterType ParamT>
  decltype(auto) get_value() const
  {
    return value_.get<ParamT>();
  }

  template <typename T>
  decltype(auto) get_value() const
  {
    try {
      return detail::get_value_helper<T>(this);
    } catch (const ParameterTypeException & ex) {
      throw exceptions::InvalidParameterTypeException(this->name_, ex.what());
    }
  }

  bool as_bool() const { return get_value<ParameterType::PARAMETER_BOOL>(); }
  int64_t as_int() const { return get_value<ParameterType::PARAMETER_INTEGER>(); }
  double as_double() const { return get_value<ParameterType::PARAMETER_DOUBLE>(); }
  const std::string & as_string() const { return get_value<ParameterType::PARAMETER_STRING>(); }
  const std::vector<uint8_t> & as_byte_array() const
  {
    return get_value<ParameterType::PARAMETER_BYTE_ARRAY>();
  }
  const std::vector<bool> & as_bool_array() const
  {
    return get_value<ParameterType::PARAMETER_BOOL_ARRAY>();
  }
  const std::vector<int64_t> & as_integer_array() const
  {
    return get_value<ParameterType::PARAMETER_INTEGER_ARRAY>();
  }
  const std::vector<double> & as_double_array() const
  {
    return get_value<ParameterType::PARAMETER_DOUBLE_ARRAY>();
  }
  const std::vector<std::string> & as_string_array() const
  {
    return get_value<ParameterType::PARAMETER_STRING_ARRAY>();
  }

  std::string value_to_string() const { return rclcpp::to_string(value_); }

private:
  std::string name_;
  ParameterValue value_;
};

std::string _to_json_dict_entry(const Parameter & param);
std::ostream & operator<<(std::ostream & os, const rclcpp::Parameter & pv);
std::ostream & operator<<(std::ostream & os, const std::vector<Parameter> & parameters);

namespace detail
{
template <typename T>
decltype(auto) get_value_helper(const rclcpp::Parameter * parameter)
{
  return parameter->get_parameter_value().get<T>();
}

template <>
inline decltype(auto) get_value_helper<rclcpp::ParameterValue>(const rclcpp::Parameter * parameter)
{
  return parameter->get_parameter_value();
}

template <>
inline decltype(auto) get_value_helper<rclcpp::Parameter>(const rclcpp::Parameter * parameter)
{
  return *parameter;
}
}  // namespace detail
}  // namespace rclcpp
