// Host stand-in for rclcpp/visibility_control.hpp (ROS 2 Humble): the macros expand to nothing
// because the host library is linked statically.
#pragma once

#define RCLCPP_EXPORT
#define RCLCPP_IMPORT
#define RCLCPP_PUBLIC
#define RCLCPP_LOCAL
#define RCLCPP_PUBLIC_TYPE
