// Host stand-in for rclcpp/executors/single_threaded_executor.hpp (ROS 2 Humble): see
// rclcpp/executor.hpp.
#pragma once

#include "rclcpp/executor.hpp"
