// Host stand-in for veltrax_protocol/msg/%s.msg of this repository (rosidl output on the robot).
// Same fields, types, order and defaults; differs only as rosidl_runtime_cpp/host_message.hpp says.
#pragma once

#include <vector>

#include "rosidl_runtime_cpp/host_message.hpp"
#include "std_msgs/msg/header.hpp"
#include "veltrax_protocol/msg/trash.hpp"

namespace veltrax_protocol
{
namespace msg
{
struct Trashes
{
  HOST_ROSIDL_MESSAGE_MEMBERS(Trashes)

  using _header_type = std_msgs::msg::Header;
  _header_type header;
  using _trashes_type = std::vector<veltrax_protocol::msg::Trash>;
  _trashes_type trashes;

  Type & set__header(const std_msgs::msg::Header & _arg)
  {
    header = _arg;
    return *this;
  }
  Type & set__trashes(const std::vector<veltrax_protocol::msg::Trash> & _arg)
  {
    trashes = _arg;
    return *this;
  }

  bool operator==(const Trashes & other) const
  {
    return header == other.header && trashes == other.trashes;
  }
};
}  // namespace msg
}  // namespace veltrax_protocol

HOST_ROSIDL_MESSAGE_TRAITS(veltrax_protocol, Trashes)
