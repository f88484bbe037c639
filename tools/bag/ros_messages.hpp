// The recorded message types the perception node consumes, decoded from CDR into plain records
// (no ROS types, so tools and tests build without ROS 2).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{

struct Header
{
  std::int32_t stamp_sec = 0;
  std::uint32_t stamp_nanosec = 0;
  std::string frame_id;
};

struct Vector3
{
  double x = 0.0, y = 0.0, z = 0.0;
};

/// sensor_msgs/msg/Image: `data` holds `height` rows of `step` bytes.
struct Image
{
  Header header;
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  std::string encoding;
  bool is_bigendian = false;
  std::uint32_t step = 0;
  std::vector<std::uint8_t> data;
};

/// sensor_msgs/msg/CompressedImage: `format` such as "jpeg", "png" or
/// "16UC1; compressedDepth png".
struct CompressedImage
{
  Header header;
  std::string format;
  std::vector<std::uint8_t> data;
};

/// sensor_msgs/msg/CameraInfo: K, R, P row-major as in the message.
struct CameraInfo
{
  Header header;
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  std::string distortion_model;
  std::vector<double> d;
  std::array<double, 9> k{};
  std::array<double, 9> r{};
  std::array<double, 12> p{};
  std::uint32_t binning_x = 0;
  std::uint32_t binning_y = 0;
  std::uint32_t roi_x_offset = 0, roi_y_offset = 0, roi_height = 0, roi_width = 0;
  bool roi_do_rectify = false;
};

/// geometry_msgs/msg/TransformStamped: the pose of `child_frame_id` in `header.frame_id`.
struct TransformStamped
{
  Header header;
  std::string child_frame_id;
  Vector3 translation;
  std::array<double, 4> rotation_xyzw{0.0, 0.0, 0.0, 1.0};
};

/// geometry_msgs/msg/Twist: m/s and rad/s.
struct Twist
{
  Vector3 linear;
  Vector3 angular;
};

// Each decoder reads one whole serialised message and throws BagError naming `source` and the
// offset when the bytes are shorter (or more than padding longer) than the type.
std::string decode_string(ByteView message, const std::string & source);
Image decode_image(ByteView message, const std::string & source);
CompressedImage decode_compressed_image(ByteView message, const std::string & source);
CameraInfo decode_camera_info(ByteView message, const std::string & source);
/// tf2_msgs/msg/TFMessage (/tf and /tf_static).
std::vector<TransformStamped> decode_tf_message(ByteView message, const std::string & source);
Twist decode_twist(ByteView message, const std::string & source);

}  // namespace veltrax_bag
