// Host stand-in for rclcpp/contexts/default_context.hpp (ROS 2 Humble): see rclcpp/context.hpp.
#pragma once

#include "rclcpp/context.hpp"
