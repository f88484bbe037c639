// The demo scene, camera mounts, ground truth and projections.
#include "scene/scene.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "scene/scene_geometry.hpp"

namespace veltrax_scene
{

namespace
{

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
constexpr int kTruthRimVertices = 32;
constexpr int kProjectionRimSamples = 256;

}  // namespace

std::string class_label(int class_id)
{
  static const std::array<const char *, kClassCount> labels{
      "paper", "mask", "thread", "obstacle", "bottle", "blood", "person", "reflection"};
  if (class_id < 0 || class_id >= kClassCount) {
    return "";
  }
  return labels[static_cast<std::size_t>(class_id)];
}

Eigen::Isometry3d CameraModel::camera_to_base() const
{
  const double cos_yaw = std::cos(mount.yaw_rad);
  const double sin_yaw = std::sin(mount.yaw_rad);
  const double cos_pitch = std::cos(mount.pitch_rad);
  const double sin_pitch = std::sin(mount.pitch_rad);
  const Eigen::Vector3d forward(cos_pitch * cos_yaw, cos_pitch * sin_yaw, -sin_pitch);
  const Eigen::Vector3d left(-sin_yaw, cos_yaw, 0.0);
  const Eigen::Vector3d up(sin_pitch * cos_yaw, sin_pitch * sin_yaw, cos_pitch);
  Eigen::Matrix3d rotation;
  // Optical axes expressed in base_footprint: x right, y down, z along the view.
  rotation.col(0) = -left;
  rotation.col(1) = -up;
  rotation.col(2) = forward;
  rotation =
      rotation * Eigen::AngleAxisd(mount.roll_rad, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  Eigen::Isometry3d transform = Eigen::Isometry3d::Identity();
  transform.linear() = rotation;
  transform.translation() = Eigen::Vector3d(mount.x_m, mount.y_m, mount.z_m);
  return transform;
}

Eigen::Isometry3d RobotPose::base_to_world() const
{
  Eigen::Isometry3d transform = Eigen::Isometry3d::Identity();
  transform.linear() = Eigen::AngleAxisd(yaw_rad, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  transform.translation() = Eigen::Vector3d(x_m, y_m, 0.0);
  return transform;
}

Scene make_demo_scene(const DemoOptions & options)
{
  Scene scene;
  scene.frame_rate_hz = 10.0;
  scene.seed = options.seed;
  scene.depth_noise_mm = options.depth_noise_mm;

  CameraModel & camera1 = scene.cameras[0];
  camera1.name = "camera1";
  camera1.frame_id = "camera1_depth_optical_frame";
  camera1.mount = {0.25, 0.0, 0.45, 0.0, 25.0 * kDeg};

  CameraModel & camera2 = scene.cameras[1];
  camera2.name = "camera2";
  camera2.frame_id = "camera2_depth_optical_frame";
  camera2.mount = {0.20, 0.10, 0.30, 30.0 * kDeg, 20.0 * kDeg};

  // Camera 1 sees the group ahead, camera 2 the group to the left; each object's silhouette
  // stays clear of every other's in both cameras over the whole drive, so each gives one key
  // region and its depth is never a foreground object's.
  auto box = [](const char * name, int class_id, double x, double y, double yaw_deg, double length,
                double width, double height) {
    SceneObject object;
    object.name = name;
    object.class_id = class_id;
    object.shape = Shape::kBox;
    object.x_m = x;
    object.y_m = y;
    object.yaw_rad = yaw_deg * kDeg;
    object.length_m = length;
    object.width_m = width;
    object.height_m = height;
    return object;
  };
  auto cylinder = [&box](const char * name, int class_id, double x, double y, double diameter,
                         double height) {
    SceneObject object = box(name, class_id, x, y, 0.0, diameter, diameter, height);
    object.shape = Shape::kCylinder;
    return object;
  };
  scene.objects = {
      box("obstacle_1", 3, 2.00, -0.55, 15.0, 0.35, 0.35, 0.35),
      box("obstacle_2", 3, 1.40, 0.60, -20.0, 0.40, 0.30, 0.35),
      box("person", 6, 2.40, 0.25, 0.0, 0.30, 0.40, 1.70),
      cylinder("bottle_1", 4, 1.30, -0.05, 0.12, 0.25),
      cylinder("bottle_2", 4, 0.85, 0.65, 0.12, 0.25),
      box("mask", 1, 1.10, -0.25, 30.0, 0.17, 0.10, 0.01),
      cylinder("blood", 5, 1.70, 0.30, 0.15, 0.002),
  };

  const int frames = std::max(1, options.frames);
  scene.robot_poses.reserve(static_cast<std::size_t>(frames));
  for (int k = 0; k < frames; ++k) {
    RobotPose pose;
    pose.time_s = k / scene.frame_rate_hz;
    pose.x_m = options.speed_mps * pose.time_s;
    scene.robot_poses.push_back(pose);
  }
  return scene;
}

Eigen::Isometry3d object_to_world(const SceneObject & object)
{
  Eigen::Isometry3d transform = Eigen::Isometry3d::Identity();
  transform.linear() =
      Eigen::AngleAxisd(object.yaw_rad, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  transform.translation() = Eigen::Vector3d(object.x_m, object.y_m, 0.0);
  return transform;
}

Eigen::Isometry3d camera_to_world(const Scene & scene, int frame, int camera)
{
  return scene.robot_poses.at(static_cast<std::size_t>(frame)).base_to_world() *
         scene.cameras.at(static_cast<std::size_t>(camera)).camera_to_base();
}

std::vector<Eigen::Vector3d> outline_points(const SceneObject & object, int rim_samples)
{
  std::vector<Eigen::Vector3d> points;
  if (object.shape == Shape::kBox) {
    const double hx = 0.5 * object.length_m;
    const double hy = 0.5 * object.width_m;
    for (double z : {object.base_m, object.height_m}) {
      points.emplace_back(hx, hy, z);
      points.emplace_back(-hx, hy, z);
      points.emplace_back(-hx, -hy, z);
      points.emplace_back(hx, -hy, z);
    }
    return points;
  }
  const double r = 0.5 * object.length_m;
  for (double z : {object.base_m, object.height_m}) {
    for (int i = 0; i < rim_samples; ++i) {
      const double a = 2.0 * kPi * i / rim_samples;
      points.emplace_back(r * std::cos(a), r * std::sin(a), z);
    }
  }
  return points;
}

std::vector<ObjectTruth> ground_truth(const Scene & scene, int frame)
{
  std::vector<ObjectTruth> truths;
  if (frame < 0 || frame >= scene.frame_count()) {
    return truths;
  }
  const Eigen::Isometry3d world_to_base =
      scene.robot_poses[static_cast<std::size_t>(frame)].base_to_world().inverse();
  truths.reserve(scene.objects.size());
  for (const SceneObject & object : scene.objects) {
    const Eigen::Isometry3d object_to_base = world_to_base * object_to_world(object);
    ObjectTruth truth;
    truth.name = object.name;
    truth.class_id = object.class_id;
    truth.label = class_label(object.class_id);
    truth.height_m = object.height_m;
    truth.centre =
        object_to_base * Eigen::Vector3d(0.0, 0.0, 0.5 * (object.base_m + object.height_m));
    const std::vector<Eigen::Vector3d> outline = outline_points(object, kTruthRimVertices);
    // The bottom ring comes first and runs counter-clockwise in the object's frame, which a
    // rotation about z keeps.
    const std::size_t ring = outline.size() / 2;
    for (std::size_t i = 0; i < ring; ++i) {
      const Eigen::Vector3d p = object_to_base * outline[i];
      truth.footprint.emplace_back(p.x(), p.y());
    }
    truths.push_back(std::move(truth));
  }
  return truths;
}

std::optional<cv::Rect2d> project_object(const CameraModel & camera,
                                         const Eigen::Isometry3d & object_to_camera,
                                         const SceneObject & object)
{
  double u_min = std::numeric_limits<double>::infinity();
  double v_min = u_min;
  double u_max = -u_min;
  double v_max = -u_min;
  for (const Eigen::Vector3d & local : outline_points(object, kProjectionRimSamples)) {
    const Eigen::Vector3d p = object_to_camera * local;
    if (p.z() <= 0.0) {
      return std::nullopt;
    }
    const double u = camera.cx + camera.fx * p.x() / p.z();
    const double v = camera.cy + camera.fy * p.y() / p.z();
    u_min = std::min(u_min, u);
    u_max = std::max(u_max, u);
    v_min = std::min(v_min, v);
    v_max = std::max(v_max, v);
  }
  return cv::Rect2d(u_min, v_min, u_max - u_min, v_max - v_min);
}

std::optional<cv::Rect2d> projected_box(const Scene & scene, int frame, int camera,
                                        std::size_t object)
{
  const SceneObject & shape = scene.objects.at(object);
  return project_object(scene.cameras.at(static_cast<std::size_t>(camera)),
                        camera_to_world(scene, frame, camera).inverse() * object_to_world(shape),
                        shape);
}

std::vector<PixelBox> visible_boxes(const View & view, std::size_t object_count)
{
  std::vector<PixelBox> boxes(object_count);
  for (PixelBox & box : boxes) {
    box.left = std::numeric_limits<int>::max();
    box.top = std::numeric_limits<int>::max();
  }
  for (int v = 0; v < view.object_index.rows; ++v) {
    const int16_t * row = view.object_index.ptr<int16_t>(v);
    for (int u = 0; u < view.object_index.cols; ++u) {
      if (row[u] < 0 || static_cast<std::size_t>(row[u]) >= object_count) {
        continue;
      }
      PixelBox & box = boxes[static_cast<std::size_t>(row[u])];
      box.left = std::min(box.left, u);
      box.top = std::min(box.top, v);
      box.right = std::max(box.right, u + 1);
      box.bottom = std::max(box.bottom, v + 1);
      ++box.pixels;
    }
  }
  for (PixelBox & box : boxes) {
    if (box.pixels == 0) {
      box = PixelBox{};
    }
  }
  return boxes;
}

}  // namespace veltrax_scene
