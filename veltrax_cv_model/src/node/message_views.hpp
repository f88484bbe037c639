// Plain views of the node's messages for the ROS-free modules.
#pragma once

#include "sensor_msgs/msg/image.hpp"
#include "veltrax_cv_model/back_projection.hpp"

namespace veltrax_cv_model
{

/// A view of the message's buffer; the message must outlive it.
inline DepthImageView depth_view(const sensor_msgs::msg::Image & depth)
{
  DepthImageView view;
  view.data = depth.data.data();
  view.size_bytes = depth.data.size();
  view.width = static_cast<int>(depth.width);
  view.height = static_cast<int>(depth.height);
  view.row_step_bytes = depth.step;
  view.encoding = depth.encoding;
  return view;
}

}  // namespace veltrax_cv_model
