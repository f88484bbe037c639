// Host stand-in for veltrax_protocol/msg/%s.msg of this repository (rosidl output on the robot).
// Same fields, types, order and defaults; differs only as rosidl_runtime_cpp/host_message.hpp says.
#pragma once

#include "rosidl_runtime_cpp/host_message.hpp"
#include "sensor_msgs/msg/image.hpp"

namespace veltrax_protocol
{
namespace msg
{
struct Trash
{
  HOST_ROSIDL_MESSAGE_MEMBERS(Trash)

  using _image_type = sensor_msgs::msg::Image;
  _image_type image;
  using _x_type = float;
  _x_type x{0.0f};
  using _y_type = float;
  _y_type y{0.0f};

  Type & set__image(const sensor_msgs::msg::Image & _arg)
  {
    image = _arg;
    return *this;
  }
  Type & set__x(const float & _arg)
  {
    x = _arg;
    return *this;
  }
  Type & set__y(const float & _arg)
  {
    y = _arg;
    return *this;
  }

  bool operator==(const Trash & other) const
  {
    return image == other.image && x == other.x && y == other.y;
  }
};
}  // namespace msg
}  // namespace veltrax_protocol

HOST_ROSIDL_MESSAGE_TRAITS(veltrax_protocol, Trash)
