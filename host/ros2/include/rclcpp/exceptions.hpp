// Host stand-in for rclcpp/exceptions.hpp (ROS 2 Humble): forwards to exceptions/exceptions.hpp.
#pragma once

#include "rclcpp/exceptions/exceptions.hpp"
