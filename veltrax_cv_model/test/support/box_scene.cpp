#include "support/box_scene.hpp"

#include <cmath>
#include <limits>

#include <Eigen/Geometry>

namespace veltrax_cv_model::testing
{
namespace
{

// Columns of the optical axes in base_footprint: x right = -y, y down = -z, z forward = +x.
Eigen::Matrix3d optical_to_base_rotation()
{
  Eigen::Matrix3d r;
  r << 0, 0, 1, -1, 0, 0, 0, -1, 0;
  return r;
}

// Distance along `direction` from `origin` to the box, or infinity.
double hit_box(const Eigen::Vector3d & origin, const Eigen::Vector3d & direction,
               const FloorBox & box)
{
  const Eigen::Vector3d low(box.x_min, box.y_min, 0.0);
  const Eigen::Vector3d high(box.x_max, box.y_max, box.height);
  double t_near = 0.0;
  double t_far = std::numeric_limits<double>::infinity();
  for (int axis = 0; axis < 3; ++axis) {
    if (std::abs(direction[axis]) < 1e-12) {
      if (origin[axis] < low[axis] || origin[axis] > high[axis]) return t_far;
      continue;
    }
    double t0 = (low[axis] - origin[axis]) / direction[axis];
    double t1 = (high[axis] - origin[axis]) / direction[axis];
    if (t0 > t1) std::swap(t0, t1);
    t_near = std::max(t_near, t0);
    t_far = std::min(t_far, t1);
    if (t_near > t_far) return std::numeric_limits<double>::infinity();
  }
  return t_near;
}

}  // namespace

Eigen::Matrix4d ForwardCamera::camera_to_base() const
{
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  m.topLeftCorner<3, 3>() = optical_to_base_rotation();
  m.topRightCorner<3, 1>() = Eigen::Vector3d(x, y, height);
  return m;
}

geometry_msgs::msg::TransformStamped ForwardCamera::transform() const
{
  geometry_msgs::msg::TransformStamped t;
  t.header.frame_id = "base_footprint";
  t.child_frame_id = frame_id;
  t.transform.translation.x = x;
  t.transform.translation.y = y;
  t.transform.translation.z = height;
  const Eigen::Quaterniond q(optical_to_base_rotation());
  t.transform.rotation.x = q.x();
  t.transform.rotation.y = q.y();
  t.transform.rotation.z = q.z();
  t.transform.rotation.w = q.w();
  return t;
}

sensor_msgs::msg::CameraInfo ForwardCamera::info() const
{
  sensor_msgs::msg::CameraInfo msg;
  msg.header.frame_id = frame_id;
  msg.width = static_cast<uint32_t>(width);
  msg.height = static_cast<uint32_t>(height_px);
  msg.k = {f, 0.0, cx, 0.0, f, cy, 0.0, 0.0, 1.0};
  return msg;
}

Eigen::Vector2d ForwardCamera::project(const Eigen::Vector3d & base_point) const
{
  const Eigen::Vector4d p = camera_to_base().inverse() * base_point.homogeneous();
  return {f * p.x() / p.z() + cx, f * p.y() / p.z() + cy};
}

RenderedFrame render(const ForwardCamera & camera, const std::vector<FloorBox> & boxes,
                     const rclcpp::Time & stamp)
{
  RenderedFrame frame;
  for (sensor_msgs::msg::Image * image : {&frame.color, &frame.depth}) {
    image->header.frame_id = camera.frame_id;
    image->header.stamp = stamp;
    image->width = static_cast<uint32_t>(camera.width);
    image->height = static_cast<uint32_t>(camera.height_px);
  }
  frame.color.encoding = "rgb8";
  frame.color.step = frame.color.width * 3;
  frame.color.data.assign(static_cast<std::size_t>(frame.color.step) * frame.color.height, 0);
  frame.depth.encoding = "16UC1";
  frame.depth.step = frame.depth.width * 2;
  frame.depth.data.assign(static_cast<std::size_t>(frame.depth.step) * frame.depth.height, 0);

  const Eigen::Matrix3d rotation = optical_to_base_rotation();
  const Eigen::Vector3d origin(camera.x, camera.y, camera.height);
  for (int v = 0; v < camera.height_px; ++v) {
    for (int u = 0; u < camera.width; ++u) {
      // Optical ray with unit z: the distance along it is the depth value.
      const Eigen::Vector3d ray((u - camera.cx) / camera.f, (v - camera.cy) / camera.f, 1.0);
      const Eigen::Vector3d direction = rotation * ray;
      double depth = std::numeric_limits<double>::infinity();
      std::array<uint8_t, 3> rgb{0, 0, 0};
      if (direction.z() < 0.0) {
        depth = -origin.z() / direction.z();
        rgb = {110, 110, 110};
      }
      for (const FloorBox & box : boxes) {
        const double t = hit_box(origin, direction, box);
        if (t < depth) {
          depth = t;
          rgb = box.rgb;
        }
      }
      const std::size_t pixel = static_cast<std::size_t>(v) * camera.width + u;
      if (depth < 5.0) {
        const auto millimetres = static_cast<uint16_t>(std::lround(depth * 1000.0));
        frame.depth.data[2 * pixel] = static_cast<uint8_t>(millimetres & 0xff);
        frame.depth.data[2 * pixel + 1] = static_cast<uint8_t>(millimetres >> 8);
        for (int c = 0; c < 3; ++c) frame.color.data[3 * pixel + c] = rgb[c];
      }
    }
  }
  return frame;
}

}  // namespace veltrax_cv_model::testing
