// Registered RGB-D frames as the transform workers receive them: image messages built from a
// DepthFrame, a ray-cast floor-and-boxes scene seen from a pitched camera, and the recorded
// milk_cartoon frame with its detections' pixel boxes. Header-only.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>
#include <Eigen/LU>

#include "sensor_msgs/msg/image.hpp"
#include "support/rgbd_frames.hpp"
#include "veltrax_cv_model/types.hpp"

namespace veltrax_cv_model::test
{

/// A 16UC1 depth message carrying `frame`'s bytes (row step 2 * width), frame id "camera_depth".
inline sensor_msgs::msg::Image::ConstSharedPtr depth_message(const DepthFrame & frame)
{
  auto msg = std::make_shared<sensor_msgs::msg::Image>();
  msg->header.frame_id = "camera_depth";
  msg->width = static_cast<uint32_t>(frame.width);
  msg->height = static_cast<uint32_t>(frame.height);
  msg->encoding = frame.encoding;
  msg->step = static_cast<uint32_t>(2 * frame.width);
  msg->data = frame.bytes;
  return msg;
}

/// A colour message of the given size; only its column count matters to the depth geometry.
inline sensor_msgs::msg::Image::ConstSharedPtr color_message(int width, int height,
                                                             const std::string & encoding = "bgr8")
{
  auto msg = std::make_shared<sensor_msgs::msg::Image>();
  msg->header.frame_id = "camera_color";
  msg->width = static_cast<uint32_t>(width);
  msg->height = static_cast<uint32_t>(height);
  msg->encoding = encoding;
  msg->step = static_cast<uint32_t>(3 * width);
  msg->data.assign(static_cast<std::size_t>(msg->step) * static_cast<std::size_t>(height), 90);
  return msg;
}

/// Camera optical frame (x right, y down, z forward) -> base_footprint (x forward, y left, z up)
/// for a camera `height_m` above the floor origin, looking forward and pitched down by
/// `pitch_rad`.
inline Eigen::Matrix4f pitched_camera_to_base(float pitch_rad, float height_m)
{
  const float s = std::sin(pitch_rad);
  const float c = std::cos(pitch_rad);
  Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
  // Columns: the optical axes expressed in base_footprint.
  m.block<3, 1>(0, 0) = Eigen::Vector3f(0.0f, -1.0f, 0.0f);
  m.block<3, 1>(0, 1) = Eigen::Vector3f(-s, 0.0f, -c);
  m.block<3, 1>(0, 2) = Eigen::Vector3f(c, 0.0f, -s);
  m(2, 3) = height_m;
  return m;
}

/// Axis-aligned box standing in base_footprint, metres.
struct SceneBox
{
  Eigen::Vector3f min_m;
  Eigen::Vector3f max_m;
};

/// Ray-casts the floor z = 0 and `boxes` from the camera: each pixel holds the optical depth of
/// the nearest hit, rounded to millimetres; 0 where nothing is hit within 5 m.
inline DepthFrame render_floor_scene(int width, int height, const CameraIntrinsics & k,
                                     const Eigen::Matrix4f & camera_to_base,
                                     const std::vector<SceneBox> & boxes)
{
  DepthFrame frame(width, height);
  const Eigen::Matrix3f r = camera_to_base.block<3, 3>(0, 0);
  const Eigen::Vector3f origin = camera_to_base.block<3, 1>(0, 3);
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      // Optical ray with unit z: the hit parameter is the optical depth itself.
      const Eigen::Vector3f ray = r * Eigen::Vector3f((u - k.cx) / k.fx, (v - k.cy) / k.fy, 1.0f);
      float nearest = std::numeric_limits<float>::infinity();
      if (ray.z() < 0.0f) nearest = -origin.z() / ray.z();
      for (const SceneBox & box : boxes) {
        float enter = 0.0f;
        float leave = std::numeric_limits<float>::infinity();
        for (int axis = 0; axis < 3; ++axis) {
          const float a = (box.min_m[axis] - origin[axis]) / ray[axis];
          const float b = (box.max_m[axis] - origin[axis]) / ray[axis];
          enter = std::max(enter, std::min(a, b));
          leave = std::min(leave, std::max(a, b));
        }
        if (enter <= leave) nearest = std::min(nearest, enter);
      }
      if (nearest < 4.9f) frame.set(u, v, static_cast<std::uint16_t>(std::lround(nearest * 1e3f)));
    }
  }
  return frame;
}

/// Smallest pixel rectangle holding the projections of `box`'s corners, widened by `margin_px`
/// and clamped to the image.
inline DetectedObject project_box(const SceneBox & box, const CameraIntrinsics & k,
                                  const Eigen::Matrix4f & camera_to_base, int width, int height,
                                  int margin_px, int class_id)
{
  const Eigen::Matrix4f base_to_camera = camera_to_base.inverse();
  float u_min = 1e9f, u_max = -1e9f, v_min = 1e9f, v_max = -1e9f;
  for (int corner = 0; corner < 8; ++corner) {
    const Eigen::Vector4f p((corner & 1) ? box.max_m.x() : box.min_m.x(),
                            (corner & 2) ? box.max_m.y() : box.min_m.y(),
                            (corner & 4) ? box.max_m.z() : box.min_m.z(), 1.0f);
    const Eigen::Vector4f c = base_to_camera * p;
    u_min = std::min(u_min, k.fx * c.x() / c.z() + k.cx);
    u_max = std::max(u_max, k.fx * c.x() / c.z() + k.cx);
    v_min = std::min(v_min, k.fy * c.y() / c.z() + k.cy);
    v_max = std::max(v_max, k.fy * c.y() / c.z() + k.cy);
  }
  DetectedObject object;
  object.class_id = class_id;
  object.left = std::clamp(static_cast<int>(std::floor(u_min)) - margin_px, 0, width);
  object.right = std::clamp(static_cast<int>(std::ceil(u_max)) + margin_px, 0, width);
  object.top = std::clamp(static_cast<int>(std::floor(v_min)) - margin_px, 0, height);
  object.bottom = std::clamp(static_cast<int>(std::ceil(v_max)) + margin_px, 0, height);
  object.score = 0.9f;
  return object;
}

inline DetectedObject pixel_box(int class_id, int left, int top, int right, int bottom)
{
  DetectedObject object;
  object.class_id = class_id;
  object.left = left;
  object.top = top;
  object.right = right;
  object.bottom = bottom;
  object.score = 0.9f;
  return object;
}

/// Pixel boxes (left, top, right, bottom) of the three objects standing on the carpet in the
/// milk_cartoon colour image, and one box around all three.
struct MilkCartoonBoxes
{
  static constexpr int kDetergent[4] = {88, 132, 200, 300};
  static constexpr int kCarton[4] = {230, 55, 328, 235};
  static constexpr int kBleach[4] = {398, 66, 500, 262};
  static constexpr int kAllThree[4] = {85, 52, 505, 305};
};

inline DetectedObject milk_cartoon_box(int class_id, const int (&edges)[4])
{
  return pixel_box(class_id, edges[0], edges[1], edges[2], edges[3]);
}

/// Lowest and highest z of a cloud, metres.
inline std::pair<float, float> z_range(const pcl::PointCloud<pcl::PointXYZ> & cloud)
{
  float low = std::numeric_limits<float>::infinity();
  float high = -low;
  for (const auto & p : cloud) {
    low = std::min(low, p.z);
    high = std::max(high, p.z);
  }
  return {low, high};
}

}  // namespace veltrax_cv_model::test
