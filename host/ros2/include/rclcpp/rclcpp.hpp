// Host stand-in for rclcpp/rclcpp.hpp (ROS 2 Humble rclcpp 16.0): the umbrella header.
// Differs from Humble: parameter clients/services, guard conditions, waitables, wait sets
// and rate are not provided.
#pragma once

#include <csignal>
#include <memory>

#include "rclcpp/clock.hpp"
#include "rclcpp/duration.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/executors.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/parameter.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/time.hpp"
#include "rclcpp/utilities.hpp"
#include "rclcpp/visibility_control.hpp"
