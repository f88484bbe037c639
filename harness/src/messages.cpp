// Message builders.
#include <algorithm>

#include "veltrax_harness/harness.hpp"

namespace veltrax_harness
{

sensor_msgs::msg::CameraInfo camera_info(double fx, double fy, double cx, double cy)
{
  sensor_msgs::msg::CameraInfo info;
  info.distortion_model = "plumb_bob";
  info.d = {0.0, 0.0, 0.0, 0.0, 0.0};
  info.k = {fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0};
  info.r = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  info.p = {fx, 0.0, cx, 0.0, 0.0, fy, cy, 0.0, 0.0, 0.0, 1.0, 0.0};
  return info;
}

sensor_msgs::msg::Image image(uint32_t width, uint32_t height, const std::string & encoding,
                              const std::string & frame_id, const rclcpp::Time & stamp,
                              uint8_t fill)
{
  sensor_msgs::msg::Image msg;
  msg.header.frame_id = frame_id;
  msg.header.stamp = stamp;
  msg.width = width;
  msg.height = height;
  msg.encoding = encoding;
  const uint32_t bytes_per_pixel = encoding == "16UC1" || encoding == "mono16" ? 2
                                   : encoding == "mono8"                       ? 1
                                                                               : 3;
  msg.step = width * bytes_per_pixel;
  msg.data.assign(static_cast<std::size_t>(msg.step) * height, fill);
  return msg;
}

sensor_msgs::msg::Image image(const cv::Mat & pixels, const std::string & encoding,
                              const std::string & frame_id, const rclcpp::Time & stamp)
{
  sensor_msgs::msg::Image msg;
  msg.header.frame_id = frame_id;
  msg.header.stamp = stamp;
  msg.width = static_cast<uint32_t>(pixels.cols);
  msg.height = static_cast<uint32_t>(pixels.rows);
  msg.encoding = encoding;
  msg.is_bigendian = 0;
  msg.step = static_cast<uint32_t>(pixels.cols * pixels.elemSize());
  msg.data.resize(static_cast<std::size_t>(msg.step) * msg.height);
  for (int row = 0; row < pixels.rows; ++row) {
    std::copy(pixels.ptr<uint8_t>(row), pixels.ptr<uint8_t>(row) + msg.step,
              msg.data.begin() + static_cast<std::ptrdiff_t>(row) * msg.step);
  }
  return msg;
}

geometry_msgs::msg::TransformStamped transform(const Eigen::Isometry3d & child_to_parent,
                                               const std::string & parent,
                                               const std::string & child,
                                               const rclcpp::Time & stamp)
{
  geometry_msgs::msg::TransformStamped msg;
  msg.header.frame_id = parent;
  msg.header.stamp = stamp;
  msg.child_frame_id = child;
  const Eigen::Vector3d t = child_to_parent.translation();
  msg.transform.translation.x = t.x();
  msg.transform.translation.y = t.y();
  msg.transform.translation.z = t.z();
  const Eigen::Quaterniond q(child_to_parent.rotation());
  msg.transform.rotation.x = q.x();
  msg.transform.rotation.y = q.y();
  msg.transform.rotation.z = q.z();
  msg.transform.rotation.w = q.w();
  return msg;
}

}  // namespace veltrax_harness
