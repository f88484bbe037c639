// Host stand-in for rclcpp/message_info.hpp (ROS 2 Humble rclcpp 16.0). The host graph fills
// source/received timestamps (system time, ns) and the publication sequence number.
#pragma once

#include "rmw/types.h"

namespace rclcpp
{
class MessageInfo
{
public:
  MessageInfo() : rmw_message_info_{} {}
  explicit MessageInfo(const rmw_message_info_t & rmw_message_info)
      : rmw_message_info_(rmw_message_info)
  {
  }
  virtual ~MessageInfo() = default;

  const rmw_message_info_t & get_rmw_message_info() const { return rmw_message_info_; }
  rmw_message_info_t & get_rmw_message_info() { return rmw_message_info_; }

private:
  rmw_message_info_t rmw_message_info_;
};
}  // namespace rclcpp
