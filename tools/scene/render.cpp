// Ray casting of the scene into registered colour and depth images.
#include <host_rknn/host_rknn.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>

#include "scene/scene.hpp"
#include "scene/scene_geometry.hpp"

namespace veltrax_scene
{

namespace
{

constexpr double kNoHit = std::numeric_limits<double>::infinity();

// Floor and background stay well inside 40 .. 215 in every channel: the colour-key backend
// reads a channel as a key level only within a few counts of 0, 128 or 255 in all three
// channels at once, and a grey never has a channel near 0 or 255.
constexpr double kGreyMin = 40.0;
constexpr double kGreyMax = 215.0;
constexpr double kTileM = 0.4;
constexpr double kGroutM = 0.012;
constexpr double kColourNoiseSigma = 2.5;
// Beyond this the texture is finer than a pixel; fading it out avoids moire near the horizon.
constexpr double kTextureFadeStartM = 4.0;
constexpr double kTextureFadeEndM = 8.0;

// An object's ray test in its own frame: the camera's rays are turned into that frame once per
// view, so a pixel costs one 3x3 product per object.
struct ObjectCaster
{
  Eigen::Matrix3d camera_to_local;
  Eigen::Vector3d origin;  // camera centre in the object's frame
  int16_t object{0};       // index into Scene::objects
  Shape shape{Shape::kBox};
  double half_length{0.0};
  double half_width{0.0};
  double base{0.0};
  double height{0.0};
  // Pixels the object can cover: its projected box grown by a pixel, so pixel centres on the
  // silhouette's edge are still tested.
  int u_begin{0};
  int u_end{0};
  int v_begin{0};
  int v_end{0};

  // Ray parameter t of the first hit in front of the camera along the direction (in optical
  // coordinates, z = 1) so that t is the depth; kNoHit when the ray misses.
  double hit(const Eigen::Vector3d & ray_camera) const
  {
    const Eigen::Vector3d d = camera_to_local * ray_camera;
    return shape == Shape::kBox ? hit_box(d) : hit_cylinder(d);
  }

  double hit_box(const Eigen::Vector3d & d) const
  {
    const std::array<double, 3> lo{-half_length, -half_width, base};
    const std::array<double, 3> hi{half_length, half_width, height};
    double t_near = -kNoHit;
    double t_far = kNoHit;
    for (int axis = 0; axis < 3; ++axis) {
      const double o = origin[axis];
      const double dir = d[axis];
      const std::size_t i = static_cast<std::size_t>(axis);
      if (std::abs(dir) < 1e-12) {
        if (o < lo[i] || o > hi[i]) {
          return kNoHit;
        }
        continue;
      }
      double t0 = (lo[i] - o) / dir;
      double t1 = (hi[i] - o) / dir;
      if (t0 > t1) {
        std::swap(t0, t1);
      }
      t_near = std::max(t_near, t0);
      t_far = std::min(t_far, t1);
    }
    if (t_near <= t_far && t_near > 0.0) {
      return t_near;
    }
    return kNoHit;
  }

  double hit_cylinder(const Eigen::Vector3d & d) const
  {
    const double r = half_length;
    double best = kNoHit;
    const double a = d.x() * d.x() + d.y() * d.y();
    if (a > 0.0) {
      const double b = 2.0 * (origin.x() * d.x() + origin.y() * d.y());
      const double c = origin.x() * origin.x() + origin.y() * origin.y() - r * r;
      const double disc = b * b - 4.0 * a * c;
      if (disc >= 0.0) {
        const double t = (-b - std::sqrt(disc)) / (2.0 * a);
        const double z = origin.z() + t * d.z();
        if (t > 0.0 && z >= base && z <= height) {
          best = t;
        }
      }
    }
    // Caps: the top, and the bottom of one that floats above the floor (seen from below).
    for (const double cap : {height, base}) {
      if (std::abs(d.z()) > 1e-12 && (cap == height || base > 0.0)) {
        const double t = (cap - origin.z()) / d.z();
        const double x = origin.x() + t * d.x();
        const double y = origin.y() + t * d.y();
        if (t > 0.0 && x * x + y * y <= r * r) {
          best = std::min(best, t);
        }
      }
    }
    return best;
  }
};

uint32_t mix(uint32_t h)
{
  h ^= h >> 16;
  h *= 0x7feb352dU;
  h ^= h >> 15;
  h *= 0x846ca68bU;
  h ^= h >> 16;
  return h;
}

// Grey level of the floor at a world point: tiles of slightly different shades with darker
// joints, so that the robot's motion is visible in the images.
double floor_grey(double x, double y, double distance_m, uint32_t seed)
{
  const double fx = std::floor(x / kTileM);
  const double fy = std::floor(y / kTileM);
  const double ex = x - fx * kTileM;
  const double ey = y - fy * kTileM;
  const uint32_t tile =
      mix(seed ^ mix(static_cast<uint32_t>(static_cast<int32_t>(fx)) * 73856093U ^
                     static_cast<uint32_t>(static_cast<int32_t>(fy)) * 19349663U));
  const double tile_grey = 132.0 + static_cast<double>(tile % 24U);
  const bool joint = ex < kGroutM || ey < kGroutM;
  const double textured =
      (joint ? 100.0 : tile_grey) + 5.0 * std::sin(7.3 * x + 1.1) * std::sin(5.1 * y + 0.4);
  const double fade = std::clamp(
      (distance_m - kTextureFadeStartM) / (kTextureFadeEndM - kTextureFadeStartM), 0.0, 1.0);
  return textured * (1.0 - fade) + 140.0 * fade;
}

uint8_t grey_channel(double value)
{
  return static_cast<uint8_t>(std::lround(std::clamp(value, kGreyMin, kGreyMax)));
}

}  // namespace

View render_view(const Scene & scene, int frame, int camera)
{
  if (frame < 0 || frame >= scene.frame_count()) {
    throw std::out_of_range("frame " + std::to_string(frame) + " outside the sequence");
  }
  if (camera < 0 || camera > 1) {
    throw std::out_of_range("camera index " + std::to_string(camera) + " is not 0 or 1");
  }
  const CameraModel & model = scene.cameras[static_cast<std::size_t>(camera)];
  const Eigen::Isometry3d cam_to_world = camera_to_world(scene, frame, camera);
  const Eigen::Matrix3d cam_to_world_rotation = cam_to_world.linear();
  const Eigen::Vector3d centre = cam_to_world.translation();

  std::vector<ObjectCaster> casters;
  casters.reserve(scene.objects.size());
  for (std::size_t i = 0; i < scene.objects.size(); ++i) {
    const SceneObject & object = scene.objects[i];
    const Eigen::Isometry3d world_to_object = object_to_world(object).inverse();
    ObjectCaster caster;
    caster.camera_to_local = world_to_object.linear() * cam_to_world_rotation;
    caster.origin = world_to_object * centre;
    caster.object = static_cast<int16_t>(i);
    caster.shape = object.shape;
    caster.half_length = 0.5 * object.length_m;
    caster.half_width = 0.5 * object.width_m;
    caster.base = object.base_m;
    caster.height = object.height_m;
    caster.u_begin = 0;
    caster.u_end = model.width;
    caster.v_begin = 0;
    caster.v_end = model.height;
    const std::optional<cv::Rect2d> box =
        project_object(model, cam_to_world.inverse() * world_to_object.inverse(), object);
    if (box) {
      const auto clamp_to = [](double value, int limit) {
        return static_cast<int>(std::clamp(value, 0.0, static_cast<double>(limit)));
      };
      caster.u_begin = clamp_to(std::floor(box->x) - 1.0, model.width);
      caster.u_end = clamp_to(std::ceil(box->x + box->width) + 2.0, model.width);
      caster.v_begin = clamp_to(std::floor(box->y) - 1.0, model.height);
      caster.v_end = clamp_to(std::ceil(box->y + box->height) + 2.0, model.height);
    }
    if (caster.u_begin < caster.u_end && caster.v_begin < caster.v_end) {
      casters.push_back(caster);
    }
  }
  const auto & keys = host_rknn::key_colours();

  View view;
  view.color_rgb.create(model.height, model.width, CV_8UC3);
  view.depth_mm.create(model.height, model.width, CV_16UC1);
  view.object_index.create(model.height, model.width, CV_16SC1);

  // One generator per view, seeded by scene, frame and camera, so that views can be rendered
  // in any order and still match.
  std::seed_seq seed_seq{scene.seed, static_cast<uint32_t>(frame), static_cast<uint32_t>(camera)};
  std::mt19937 rng(seed_seq);
  std::normal_distribution<double> colour_noise(0.0, kColourNoiseSigma);
  std::normal_distribution<double> depth_noise(0.0, 1.0);
  const double max_depth_mm = scene.max_depth_m * 1000.0;

  std::vector<const ObjectCaster *> row_casters;
  row_casters.reserve(casters.size());
  for (int v = 0; v < model.height; ++v) {
    row_casters.clear();
    for (const ObjectCaster & caster : casters) {
      if (v >= caster.v_begin && v < caster.v_end) {
        row_casters.push_back(&caster);
      }
    }
    uint8_t * rgb = view.color_rgb.ptr<uint8_t>(v);
    uint16_t * depth = view.depth_mm.ptr<uint16_t>(v);
    int16_t * index = view.object_index.ptr<int16_t>(v);
    for (int u = 0; u < model.width; ++u) {
      const Eigen::Vector3d ray((u - model.cx) / model.fx, (v - model.cy) / model.fy, 1.0);
      double t = kNoHit;
      int16_t hit = kNothingPixel;
      for (const ObjectCaster * caster : row_casters) {
        if (u < caster->u_begin || u >= caster->u_end) {
          continue;
        }
        const double ti = caster->hit(ray);
        if (ti < t) {
          t = ti;
          hit = caster->object;
        }
      }
      const Eigen::Vector3d ray_world = cam_to_world_rotation * ray;
      if (ray_world.z() < 0.0) {
        const double t_floor = -centre.z() / ray_world.z();
        if (t_floor < t) {
          t = t_floor;
          hit = kFloorPixel;
        }
      }
      // Noise is drawn for every pixel, hit or not, so that each pixel's draw does not depend
      // on what the other pixels show.
      const double grey_noise = colour_noise(rng);
      const double range_noise = depth_noise(rng) * scene.depth_noise_mm;

      if (hit >= 0) {
        const host_rknn::KeyColour & key =
            keys[static_cast<std::size_t>(scene.objects[static_cast<std::size_t>(hit)].class_id) %
                 keys.size()];
        rgb[3 * u + 0] = key.r;
        rgb[3 * u + 1] = key.g;
        rgb[3 * u + 2] = key.b;
      } else if (hit == kFloorPixel) {
        const Eigen::Vector3d p = centre + t * ray_world;
        const double g = floor_grey(p.x(), p.y(), t * ray_world.norm(), scene.seed) + grey_noise;
        rgb[3 * u + 0] = grey_channel(g + 3.0);
        rgb[3 * u + 1] = grey_channel(g + 1.0);
        rgb[3 * u + 2] = grey_channel(g - 3.0);
      } else {
        const double g = 180.0 + grey_noise;
        rgb[3 * u + 0] = grey_channel(g - 2.0);
        rgb[3 * u + 1] = grey_channel(g);
        rgb[3 * u + 2] = grey_channel(g + 3.0);
      }
      index[u] = hit;

      const double z_mm = t * 1000.0;
      depth[u] = 0;
      if (z_mm < max_depth_mm) {
        const double noisy = std::round(z_mm + range_noise);
        if (noisy > 0.0 && noisy < max_depth_mm) {
          depth[u] = static_cast<uint16_t>(noisy);
        }
      }
    }
  }
  return view;
}

Frame render_frame(const Scene & scene, int frame)
{
  Frame result;
  result.index = frame;
  result.time_s = scene.robot_poses.at(static_cast<std::size_t>(frame)).time_s;
  result.views[0] = render_view(scene, frame, 0);
  result.views[1] = render_view(scene, frame, 1);
  return result;
}

}  // namespace veltrax_scene
