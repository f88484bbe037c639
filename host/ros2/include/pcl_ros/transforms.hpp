// Host stand-in for pcl_ros/transforms.hpp (perception_pcl `ros2` branch 2.4.x, Humble):
// transformAsMatrix from a TransformStamped, with tf2's quaternion-to-matrix formula
// (s = 2 / |q|^2, so unnormalised quaternions still give a rotation).
// Differs from Humble: no tf2::Transform overload (the host has no tf2 LinearMath) and no
// transformPointCloud overloads; use PCL's pcl::transformPointCloud with the matrix instead.
#pragma once

#include <Eigen/Core>

#include "geometry_msgs/msg/transform_stamped.hpp"

namespace pcl_ros
{
/// Homogeneous matrix mapping points in `bt.child_frame_id` (the lookup source) into
/// `bt.header.frame_id` (the lookup target): p_target = out_mat * [p_source; 1].
/// The header and frame ids are ignored. A zero quaternion yields NaN in the rotation block.
void transformAsMatrix(const geometry_msgs::msg::TransformStamped & bt, Eigen::Matrix4f & out_mat);
}  // namespace pcl_ros
