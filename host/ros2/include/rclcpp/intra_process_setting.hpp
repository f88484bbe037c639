// Host stand-in for rclcpp/intra_process_setting.hpp (ROS 2 Humble): same enum, no effect.
#pragma once

namespace rclcpp
{
enum class IntraProcessSetting { Enable, Disable, NodeDefault };
}  // namespace rclcpp
