// Seeded random scenes for the footprint sweep: one camera on a mount drawn from a wide range,
// a transform the pipeline is given that is off by a mounting error, and 1 to 6 objects of the
// kinds a floor-cleaning robot meets, some touching, some hiding part of another.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "scene/scene.hpp"

namespace veltrax_sweep
{

enum class ObjectKind { kBox, kCylinder, kSheet, kChair, kTable, kPerson, kBench, kWall };

inline constexpr ObjectKind kAllKinds[] = {
    ObjectKind::kBox,   ObjectKind::kCylinder, ObjectKind::kSheet, ObjectKind::kChair,
    ObjectKind::kTable, ObjectKind::kPerson,   ObjectKind::kBench, ObjectKind::kWall};

/// "box", "cylinder", "sheet", "chair", "table", "person", "bench", "wall".
const char * kind_name(ObjectKind kind);

/// One object of the sweep: one or more parts (scene objects) under one detector box.
struct SweepObject
{
  std::string name;  ///< e.g. "chair_2"
  ObjectKind kind{ObjectKind::kBox};
  int class_id{3};                 ///< detector class: obstacle, bottle or person
  std::vector<std::size_t> parts;  ///< indices into Scene::objects
  bool dark{false};                ///< absorbs the sensor's pattern
};

/// How far the transform the pipeline is given is off from the mount.
struct MountError
{
  double pitch_deg{0.0};
  double roll_deg{0.0};
  double height_m{0.0};
};

struct SweepScene
{
  int index{0};
  veltrax_scene::Scene scene;  ///< camera 1 only is rendered; one robot pose at the origin
  std::vector<SweepObject> objects;
  MountError mount_error;
  /// The mount the pipeline is told about: the true one plus the mounting error.
  veltrax_scene::CameraMount given_mount;
};

/// Largest mounting error drawn by default: a bracket a few degrees off, or the robot pitching
/// as it brakes.
inline constexpr double kDefaultMountErrorDeg = 3.0;
/// Largest camera height error drawn, metres.
inline constexpr double kMountHeightErrorM = 0.02;

/// Scene `index` of the sweep of `seed`: the same pair gives the same scene on every machine.
/// Mount: height 0.3-1.5 m, pitch 0-60 degrees down, roll within 5 degrees; mounting error
/// uniform within mount_error_deg in pitch and roll and kMountHeightErrorM in height. Objects
/// stand 0.3-3 m from the camera, in its view and crop range.
SweepScene generate_scene(std::uint32_t seed, int index, double mount_error_deg);

/// The camera model the pipeline is told about (the scene's camera 1 on the given mount).
veltrax_scene::CameraModel given_camera(const SweepScene & sweep);

}  // namespace veltrax_sweep
