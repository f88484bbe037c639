// Host stand-in for rclcpp/parameter_value.hpp (ROS 2 Humble rclcpp 16.0): ParameterType,
// ParameterTypeException ("expected [x] got [y]"), and ParameterValue with the same
// constructors and get<ParameterType>() / get<T>() overload set, so the C++ type to parameter
// type mapping is the one of Humble: bool from BOOL; every other integral type from INTEGER;
// float/double from DOUBLE; string-convertible from STRING; and the five vector types.
// There is no int<->double coercion, and get<std::vector<int>>() does not compile.
// Differs from Humble: stored as plain members rather than an rcl_interfaces ParameterValue
// message (that message is not provided).
#pragma once

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "rcl_interfaces/msg/parameter_type.hpp"

namespace rclcpp
{
enum ParameterType : uint8_t {
  PARAMETER_NOT_SET = rcl_interfaces::msg::ParameterType::PARAMETER_NOT_SET,
  PARAMETER_BOOL = rcl_interfaces::msg::ParameterType::PARAMETER_BOOL,
  PARAMETER_INTEGER = rcl_interfaces::msg::ParameterType::PARAMETER_INTEGER,
  PARAMETER_DOUBLE = rcl_interfaces::msg::ParameterType::PARAMETER_DOUBLE,
  PARAMETER_STRING = rcl_interfaces::msg::ParameterType::PARAMETER_STRING,
  PARAMETER_BYTE_ARRAY = rcl_interfaces::msg::ParameterType::PARAMETER_BYTE_ARRAY,
  PARAMETER_BOOL_ARRAY = rcl_interfaces::msg::ParameterType::PARAMETER_BOOL_ARRAY,
  PARAMETER_INTEGER_ARRAY = rcl_interfaces::msg::ParameterType::PARAMETER_INTEGER_ARRAY,
  PARAMETER_DOUBLE_ARRAY = rcl_interfaces::msg::ParameterType::PARAMETER_DOUBLE_ARRAY,
  PARAMETER_STRING_ARRAY = rcl_interfaces::msg::ParameterType::PARAMETER_STRING_ARRAY,
};

/// "not set", "bool", "integer", "double", "string", "byte_array", ... "string_array".
std::string to_string(ParameterType type);
std::ostream & operator<<(std::ostream & os, ParameterType type);

class ParameterTypeException : public std::runtime_error
{
public:
  ParameterTypeException(ParameterType expected, ParameterType actual)
      : std::runtime_error("expected [" + rclcpp::to_string(expected) + "] got [" +
                           rclcpp::to_string(actual) + "]")
  {
  }
};

class ParameterValue
{
public:
  ParameterValue();
  explicit ParameterValue(const bool bool_value);
  explicit ParameterValue(const int int_value);
  explicit ParameterValue(const int64_t int_value);
  explicit ParameterValue(const float double_value);
  explicit ParameterValue(const double double_value);
  explicit ParameterValue(const std::string & string_value);
  explicit ParameterValue(const char * string_value);
  explicit ParameterValue(const std::vector<uint8_t> & byte_array_value);
  explicit ParameterValue(const std::vector<bool> & bool_array_value);
  explicit ParameterValue(const std::vector<int> & int_array_value);
  explicit ParameterValue(const std::vector<int64_t> & int_array_value);
  explicit ParameterValue(const std::vector<float> & double_array_value);
  explicit ParameterValue(const std::vector<double> & double_array_value);
  explicit ParameterValue(const std::vector<std::string> & string_array_value);

  ParameterType get_type() const { return type_; }

  bool operator==(const ParameterValue & rhs) const;
  bool operator!=(const ParameterValue & rhs) const { return !(*this == rhs); }

  // The getters by ParameterType throw ParameterTypeException on a type mismatch.
  template <ParameterType type>
  constexpr typename std::enable_if<type == ParameterType::PARAMETER_BOOL, const bool &>::type get()
      const
  {
    check(ParameterType::PARAMETER_BOOL);
    return bool_value_;
  }
  template <ParameterType type>
  constexpr typename std::enable_if<type == ParameterType::PARAMETER_INTEGER, const int64_t &>::type
  get() const
  {
    check(ParameterType::PARAMETER_INTEGER);
    return integer_value_;
  }
  template <ParameterType type>
  constexpr typename std::enable_if<type == ParameterType::PARAMETER_DOUBLE, const double &>::type
  get() const
  {
    check(ParameterType::PARAMETER_DOUBLE);
    return double_value_;
  }
  template <ParameterType type>
  constexpr
      typename std::enable_if<type == ParameterType::PARAMETER_STRING, const std::string &>::type
      get() const
  {
    check(ParameterType::PARAMETER_STRING);
    return string_value_;
  }
  template <ParameterType type>
  constexpr typename std::enable_if<type == ParameterType::PARAMETER_BYTE_ARRAY,
                                    const std::vector<uint8_t> &>::type
  get() const
  {
    check(ParameterType::PARAMETER_BYTE_ARRAY);
    return byte_array_value_;
  }
  template <ParameterType type>
  constexpr typename std::enable_if<type == ParameterType::PARAMETER_BOOL_ARRAY,
                                    const std::vector<bool> &>::type
  get() const
  {
    check(ParameterType::PARAMETER_BOOL_ARRAY);
    return bool_array_value_;
  }
  template <ParameterType type>
  constexpr typename std::enable_if<type == ParameterType::PARAMETER_INTEGER_ARRAY,
                                    const std::vector<int64_t> &>::type
  get() const
  {
    check(ParameterType::PARAMETER_INTEGER_ARRAY);
    return integer_array_value_;
  }
  template <ParameterType type>
  constexpr typename std::enable_if<type == ParameterType::PARAMETER_DOUBLE_ARRAY,
                                    const std::vector<double> &>::type
  get() const
  {
    check(ParameterType::PARAMETER_DOUBLE_ARRAY);
    return double_array_value_;
  }
  template <ParameterType type>
  constexpr typename std::enable_if<type == ParameterType::PARAMETER_STRING_ARRAY,
                                    const std::vector<std::string> &>::type
  get() const
  {
    check(ParameterType::PARAMETER_STRING_ARRAY);
    return string_array_value_;
  }

  // The getters by C++ type.
  template <typename type>
  constexpr typename std::enable_if<std::is_same<type, bool>::value, const bool &>::type get() const
  {
    return get<ParameterType::PARAMETER_BOOL>();
  }
  template <typename type>
  constexpr
      typename std::enable_if<std::is_integral<type>::value && !std::is_same<type, bool>::value,
                              const int64_t &>::type
      get() const
  {
    return get<ParameterType::PARAMETER_INTEGER>();
  }
  template <typename type>
  constexpr typename std::enable_if<std::is_floating_point<type>::value, const double &>::type get()
      const
  {
    return get<ParameterType::PARAMETER_DOUBLE>();
  }
  template <typename type>
  constexpr typename std::enable_if<std::is_convertible<type, std::string>::value,
                                    const std::string &>::type
  get() const
  {
    return get<ParameterType::PARAMETER_STRING>();
  }
  template <typename type>
  constexpr typename std::enable_if<std::is_convertible<type, const std::vector<uint8_t> &>::value,
                                    const std::vector<uint8_t> &>::type
  get() const
  {
    return get<ParameterType::PARAMETER_BYTE_ARRAY>();
  }
  template <typename type>
  constexpr typename std::enable_if<std::is_convertible<type, const std::vector<bool> &>::value,
                                    const std::vector<bool> &>::type
  get() const
  {
    return get<ParameterType::PARAMETER_BOOL_ARRAY>();
  }
  template <typename type>
  constexpr typename std::enable_if<std::is_convertible<type, const std::vector<int64_t> &>::value,
                                    const std::vector<int64_t> &>::type
  get() const
  {
    return get<ParameterType::PARAMETER_INTEGER_ARRAY>();
  }
  template <typename type>
  constexpr typename std::enable_if<std::is_convertible<type, const std::vector<double> &>::value,
                                    const std::vector<double> &>::type
  get() const
  {
    return get<ParameterType::PARAMETER_DOUBLE_ARRAY>();
  }
  template <typename type>
  constexpr
      typename std::enable_if<std::is_convertible<type, const std::vector<std::string> &>::value,
                              const std::vector<std::string> &>::type
      get() const
  {
    return get<ParameterType::PARAMETER_STRING_ARRAY>();
  }

private:
  void check(ParameterType expected) const
  {
    if (type_ != expected) {
      throw ParameterTypeException(expected, type_);
    }
  }

  ParameterType type_ = ParameterType::PARAMETER_NOT_SET;
  bool bool_value_ = false;
  int64_t integer_value_ = 0;
  double double_value_ = 0.0;
  std::string string_value_;
  std::vector<uint8_t> byte_array_value_;
  std::vector<bool> bool_array_value_;
  std::vector<int64_t> integer_array_value_;
  std::vector<double> double_array_value_;
  std::vector<std::string> string_array_value_;
};

/// Value as text, e.g. "true", "3", "2.5", "[1, 2]".
std::string to_string(const ParameterValue & type);
}  // namespace rclcpp
