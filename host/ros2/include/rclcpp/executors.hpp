// Host stand-in for rclcpp/executors.hpp (ROS 2 Humble rclcpp 16.0): spin and spin_some on a
// temporary SingleThreadedExecutor, and the executor classes.
// Differs from Humble: MultiThreadedExecutor and StaticSingleThreadedExecutor are not
// provided.
#pragma once

#include <memory>

#include "rclcpp/executor.hpp"
#include "rclcpp/executors/single_threaded_executor.hpp"
#include "rclcpp/node.hpp"

namespace rclcpp
{
void spin_some(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr);
void spin_some(rclcpp::Node::SharedPtr node_ptr);
/// Blocks until the node's context is shut down (rclcpp::shutdown, SIGINT, SIGTERM); returns
/// normally.
void spin(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr);
void spin(rclcpp::Node::SharedPtr node_ptr);
}  // namespace rclcpp
