#include "sweep/sweep_scene.hpp"

#include <algorithm>
#include <cmath>
#include <random>

#include <opencv2/imgproc.hpp>

#include "scene/scene_geometry.hpp"

namespace veltrax_sweep
{
namespace
{

using veltrax_scene::SceneObject;
using veltrax_scene::Shape;

constexpr double kPi = 3.14159265358979323846;
constexpr int kObstacleClass = 3;
constexpr int kBottleClass = 4;
constexpr int kPersonClass = 6;
constexpr double kNearestM = 0.3;
constexpr double kFarthestM = 3.0;
// Objects stand a little inside the crop range (3 m along the optical axis), so that each is
// seen whole in depth.
constexpr double kFarthestDepthM = 2.9;
constexpr int kPlacementTries = 200;

// Draws from mt19937 directly: the standard fixes its sequence, not the distributions'.
class Draw
{
public:
  Draw(std::uint32_t seed, int index)
  {
    std::seed_seq sequence{seed, static_cast<std::uint32_t>(index), 0x5eedu};
    random_.seed(sequence);
  }
  double uniform(double low, double high)
  {
    return low + (high - low) * (static_cast<double>(random_()) / 4294967296.0);
  }
  bool chance(double p) { return uniform(0.0, 1.0) < p; }
  int count(int low, int high)  // low .. high inclusive
  {
    return std::min(high, low + static_cast<int>(uniform(0.0, high - low + 1)));
  }

private:
  std::mt19937 random_;
};

SceneObject part(Shape shape, double x, double y, double length, double width, double base,
                 double top)
{
  SceneObject p;
  p.shape = shape;
  p.x_m = x;
  p.y_m = y;
  p.length_m = length;
  p.width_m = width;
  p.base_m = base;
  p.height_m = top;
  return p;
}

// An object's parts in its own frame (footprint centre at the origin, x along its length).
std::vector<SceneObject> parts_of(ObjectKind kind, Draw & draw, int & class_id)
{
  class_id = kObstacleClass;
  switch (kind) {
    case ObjectKind::kBox:
      return {part(Shape::kBox, 0, 0, draw.uniform(0.1, 0.6), draw.uniform(0.1, 0.6), 0.0,
                   draw.uniform(0.02, 0.6))};
    case ObjectKind::kCylinder:
      if (draw.chance(0.5)) {
        class_id = kBottleClass;
        const double d = draw.uniform(0.06, 0.1);
        return {part(Shape::kCylinder, 0, 0, d, d, 0.0, draw.uniform(0.15, 0.35))};
      } else {
        const double d = draw.uniform(0.25, 0.45);
        return {part(Shape::kCylinder, 0, 0, d, d, 0.0, draw.uniform(0.3, 0.7))};
      }
    case ObjectKind::kSheet:
      return {part(Shape::kBox, 0, 0, draw.uniform(0.2, 0.6), draw.uniform(0.2, 0.6), 0.0,
                   draw.uniform(0.01, 0.03))};
    case ObjectKind::kChair: {
      const double s = draw.uniform(0.4, 0.5);
      const double seat = draw.uniform(0.42, 0.48);
      const double leg = 0.03;
      const double c = 0.5 * s - 0.02 - 0.5 * leg;
      std::vector<SceneObject> parts;
      for (const double x : {-c, c}) {
        for (const double y : {-c, c}) {
          parts.push_back(part(Shape::kBox, x, y, leg, leg, 0.0, seat - 0.04));
        }
      }
      parts.push_back(part(Shape::kBox, 0, 0, s, s, seat - 0.04, seat));
      parts.push_back(part(Shape::kBox, -0.5 * s + 0.015, 0, 0.03, s, seat, seat + 0.4));
      return parts;
    }
    case ObjectKind::kTable: {
      const double length = draw.uniform(0.6, 1.2);
      const double width = draw.uniform(0.5, 0.8);
      const double top = draw.uniform(0.7, 0.76);
      const double leg = 0.04;
      std::vector<SceneObject> parts;
      for (const double x : {-1.0, 1.0}) {
        for (const double y : {-1.0, 1.0}) {
          parts.push_back(part(Shape::kBox, x * (0.5 * length - 0.07), y * (0.5 * width - 0.07),
                               leg, leg, 0.0, top - 0.03));
        }
      }
      parts.push_back(part(Shape::kBox, 0, 0, length, width, top - 0.03, top));
      return parts;
    }
    case ObjectKind::kPerson:
      class_id = kPersonClass;
      return {part(Shape::kCylinder, 0, 0.1, 0.13, 0.13, 0.0, 0.85),
              part(Shape::kCylinder, 0, -0.1, 0.13, 0.13, 0.0, 0.85),
              part(Shape::kBox, 0, 0, 0.25, 0.4, 0.85, 1.45),
              part(Shape::kCylinder, 0, 0, 0.18, 0.18, 1.45, 1.7)};
    case ObjectKind::kBench:
      return {part(Shape::kBox, 0, 0, draw.uniform(1.0, 2.0), draw.uniform(0.3, 0.45), 0.0,
                   draw.uniform(0.35, 0.5))};
    case ObjectKind::kWall:
      return {part(Shape::kBox, 0, 0, draw.uniform(1.5, 3.0), 0.1, 0.0, draw.uniform(0.6, 1.5))};
  }
  return {};
}

// Footprint of parts placed at (x, y, yaw), world frame.
std::vector<cv::Point2f> footprint_of(const std::vector<SceneObject> & parts, double x, double y,
                                      double yaw)
{
  std::vector<cv::Point2f> corners;
  const double c = std::cos(yaw);
  const double s = std::sin(yaw);
  for (const SceneObject & p : parts) {
    SceneObject placed = p;
    placed.x_m = x + c * p.x_m - s * p.y_m;
    placed.y_m = y + s * p.x_m + c * p.y_m;
    placed.yaw_rad = yaw;
    const Eigen::Isometry3d to_world = veltrax_scene::object_to_world(placed);
    for (const Eigen::Vector3d & q : veltrax_scene::outline_points(placed, 16)) {
      const Eigen::Vector3d w = to_world * q;
      corners.emplace_back(static_cast<float>(w.x()), static_cast<float>(w.y()));
    }
  }
  std::vector<cv::Point2f> hull;
  cv::convexHull(corners, hull);
  return hull;
}

double overlap_area(const std::vector<cv::Point2f> & a, const std::vector<cv::Point2f> & b)
{
  std::vector<cv::Point2f> shared;
  return static_cast<double>(cv::intersectConvexConvex(a, b, shared, true));
}

struct Placed
{
  std::vector<SceneObject> parts;
  double x{0.0};
  double y{0.0};
  double yaw{0.0};
  std::vector<cv::Point2f> footprint;
};

// Floor point the pixel (u, v) of the camera shows, if it shows the floor.
std::optional<Eigen::Vector2d> floor_at(const veltrax_scene::CameraModel & camera, double u,
                                        double v)
{
  const Eigen::Isometry3d to_base = camera.camera_to_base();
  const Eigen::Vector3d ray = to_base.linear() * Eigen::Vector3d((u - camera.cx) / camera.fx,
                                                                 (v - camera.cy) / camera.fy, 1.0);
  if (ray.z() >= -1e-6) {
    return std::nullopt;
  }
  const double t = -to_base.translation().z() / ray.z();
  const Eigen::Vector3d p = to_base.translation() + t * ray;
  return Eigen::Vector2d(p.x(), p.y());
}

double optical_depth(const veltrax_scene::CameraModel & camera, double x, double y, double z)
{
  return (camera.camera_to_base().inverse() * Eigen::Vector3d(x, y, z)).z();
}

}  // namespace

const char * kind_name(ObjectKind kind)
{
  switch (kind) {
    case ObjectKind::kBox:
      return "box";
    case ObjectKind::kCylinder:
      return "cylinder";
    case ObjectKind::kSheet:
      return "sheet";
    case ObjectKind::kChair:
      return "chair";
    case ObjectKind::kTable:
      return "table";
    case ObjectKind::kPerson:
      return "person";
    case ObjectKind::kBench:
      return "bench";
    case ObjectKind::kWall:
      return "wall";
  }
  return "?";
}

SweepScene generate_scene(std::uint32_t seed, int index, double mount_error_deg)
{
  Draw draw(seed, index);
  SweepScene sweep;
  sweep.index = index;
  veltrax_scene::Scene & scene = sweep.scene;
  scene.seed = seed ^ static_cast<std::uint32_t>(index * 2654435761u);
  scene.depth_noise_mm = 0.0;
  scene.robot_poses = {veltrax_scene::RobotPose{}};
  veltrax_scene::CameraModel & camera = scene.cameras[0];
  camera.name = "camera1";
  camera.frame_id = "camera1_color_optical_frame";
  scene.cameras[1] = camera;
  scene.cameras[1].name = "camera2";
  scene.cameras[1].frame_id = "camera2_color_optical_frame";

  // A mount whose image shows the floor within reach: a camera that sees no floor nearer than
  // the objects' farthest distance is no obstacle camera.
  do {
    camera.mount.z_m = draw.uniform(0.3, 1.5);
    camera.mount.pitch_rad = draw.uniform(0.0, 60.0) * kPi / 180.0;
    camera.mount.roll_rad = draw.uniform(-5.0, 5.0) * kPi / 180.0;
  } while (!floor_at(camera, camera.cx, camera.height - 1.0) ||
           floor_at(camera, camera.cx, camera.height - 1.0)->norm() > 0.8 * kFarthestM);

  sweep.mount_error.pitch_deg = draw.uniform(-mount_error_deg, mount_error_deg);
  sweep.mount_error.roll_deg = draw.uniform(-mount_error_deg, mount_error_deg);
  sweep.mount_error.height_m = draw.uniform(-kMountHeightErrorM, kMountHeightErrorM);
  sweep.given_mount = camera.mount;
  sweep.given_mount.pitch_rad += sweep.mount_error.pitch_deg * kPi / 180.0;
  sweep.given_mount.roll_rad += sweep.mount_error.roll_deg * kPi / 180.0;
  sweep.given_mount.z_m += sweep.mount_error.height_m;

  std::vector<Placed> placed;
  const int wanted = draw.count(1, 6);
  for (int n = 0; n < wanted; ++n) {
    const ObjectKind kind = kAllKinds[draw.count(0, 7)];
    int class_id = kObstacleClass;
    const std::vector<SceneObject> parts = parts_of(kind, draw, class_id);
    const bool along_travel = kind == ObjectKind::kBench || kind == ObjectKind::kWall;
    // Some touch the one placed before, some stand behind it, the rest anywhere in view.
    const double mode = draw.uniform(0.0, 1.0);
    bool done = false;
    for (int attempt = 0; attempt < kPlacementTries && !done; ++attempt) {
      const double yaw = along_travel ? draw.uniform(-0.05, 0.05) : draw.uniform(0.0, kPi);
      Eigen::Vector2d at;
      if (!placed.empty() && mode < 0.45) {
        const Placed & previous = placed.back();
        const double bearing = draw.uniform(0.0, 2.0 * kPi);
        const Eigen::Vector2d from(previous.x, previous.y);
        Eigen::Vector2d direction(std::cos(bearing), std::sin(bearing));
        if (mode >= 0.25) {  // behind: farther along the line of sight
          direction = from.normalized();
        }
        // Nearest distance along the direction at which the two no longer overlap.
        double low = 0.0;
        double high = 4.0;
        for (int i = 0; i < 30; ++i) {
          const double mid = 0.5 * (low + high);
          const Eigen::Vector2d c = from + mid * direction;
          (overlap_area(footprint_of(parts, c.x(), c.y(), yaw), previous.footprint) > 1e-6 ? low
                                                                                           : high) =
              mid;
        }
        at = from +
             (high + (mode >= 0.25 ? draw.uniform(0.2, 0.8) : draw.uniform(0.0, 0.01))) * direction;
      } else {
        const auto floor = floor_at(camera, draw.uniform(40.0, camera.width - 40.0),
                                    draw.uniform(0.3 * camera.height, camera.height - 20.0));
        if (!floor) {
          continue;
        }
        at = *floor;
      }
      const double distance = at.norm();
      const double depth = optical_depth(camera, at.x(), at.y(), 0.0);
      if (distance < kNearestM || distance > kFarthestM || depth <= 0.0 ||
          depth > kFarthestDepthM) {
        continue;
      }
      Placed candidate{parts, at.x(), at.y(), yaw, footprint_of(parts, at.x(), at.y(), yaw)};
      // Nothing within reach of the camera, nothing inside another object.
      bool free =
          cv::pointPolygonTest(candidate.footprint, cv::Point2f(0.0f, 0.0f), true) <= -kNearestM;
      for (const Placed & other : placed) {
        free = free && overlap_area(candidate.footprint, other.footprint) <= 1e-6;
      }
      if (!free) {
        continue;
      }
      SweepObject object;
      object.kind = kind;
      object.class_id = class_id;
      object.name = std::string(kind_name(kind)) + "_" + std::to_string(sweep.objects.size() + 1);
      object.dark = draw.chance(0.15);
      const double c = std::cos(yaw);
      const double s = std::sin(yaw);
      for (std::size_t i = 0; i < parts.size(); ++i) {
        SceneObject p = parts[i];
        p.name = object.name + "/" + std::to_string(i + 1);
        p.class_id = class_id;
        p.x_m = at.x() + c * parts[i].x_m - s * parts[i].y_m;
        p.y_m = at.y() + s * parts[i].x_m + c * parts[i].y_m;
        p.yaw_rad = yaw;
        object.parts.push_back(scene.objects.size());
        scene.objects.push_back(p);
      }
      sweep.objects.push_back(object);
      placed.push_back(std::move(candidate));
      done = true;
    }
  }
  return sweep;
}

veltrax_scene::CameraModel given_camera(const SweepScene & sweep)
{
  veltrax_scene::CameraModel camera = sweep.scene.cameras[0];
  camera.mount = sweep.given_mount;
  return camera;
}

}  // namespace veltrax_sweep
