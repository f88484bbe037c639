// Host stand-in for rosidl_runtime_cpp/traits.hpp (ROS 2 Humble): the message traits that
// rclcpp::Publisher::publish checks. Differs: only is_message, data_type and name.
#pragma once

#include <type_traits>

namespace rosidl_generator_traits
{
template <typename T>
struct is_message : std::false_type
{
};
template <typename T>
inline const char * data_type();
template <typename T>
inline const char * name();
}  // namespace rosidl_generator_traits
