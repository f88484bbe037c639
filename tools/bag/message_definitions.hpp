// ROS 2 message definitions in the "ros2msg" encoding that rosbag2's MCAP storage stores as each
// channel's schema, so tools without ROS 2 (Foxglove Studio, the mcap CLI) can decode messages.
#pragma once

#include <string>

namespace veltrax_bag
{

/// The complete definition of `type` ("sensor_msgs/msg/Image" or "sensor_msgs/Image"): its
/// .msg text, then each type it depends on, depth first and in name order, after a line of 80
/// '=' and "MSG: pkg/Type", as the recorder writes them. Known: sensor_msgs Image,
/// CompressedImage, CameraInfo and PointCloud2, tf2_msgs/TFMessage, veltrax_protocol Trash and
/// Trashes, and their dependencies. Comments of the installed .msg files are left out. Throws
/// BagError for any other type.
std::string ros2msg_definition(const std::string & type);

}  // namespace veltrax_bag
