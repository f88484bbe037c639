// A registered RGB-D frame of boxes standing on a flat floor, ray cast from a camera that looks
// horizontally forward from a known height: exact geometry for end-to-end checks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/time.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"

namespace veltrax_cv_model::testing
{

/// Axis-aligned box on the floor, base_footprint metres, painted in one RGB colour.
struct FloorBox
{
  double x_min, x_max, y_min, y_max, height;
  std::array<uint8_t, 3> rgb;
};

/// A 640 x 480 camera at (x, y, height) in base_footprint, optical axis along +x.
struct ForwardCamera
{
  std::string frame_id;
  double x{0.0};
  double y{0.0};
  double height{0.5};
  double f{525.0};
  double cx{319.5};
  double cy{239.5};
  int width{640};
  int height_px{480};

  /// camera optical frame -> base_footprint.
  Eigen::Matrix4d camera_to_base() const;
  geometry_msgs::msg::TransformStamped transform() const;
  sensor_msgs::msg::CameraInfo info() const;
  /// Pixel of a base_footprint point (column, row).
  Eigen::Vector2d project(const Eigen::Vector3d & base_point) const;
};

struct RenderedFrame
{
  sensor_msgs::msg::Image color;  ///< rgb8
  sensor_msgs::msg::Image depth;  ///< 16UC1 millimetres, 0 where nothing is hit within 5 m
};

/// Grey floor, the boxes in their colours, nothing above the horizon.
RenderedFrame render(const ForwardCamera & camera, const std::vector<FloorBox> & boxes,
                     const rclcpp::Time & stamp);

}  // namespace veltrax_cv_model::testing
