// Synthetic two-camera RGB-D scene for demos and end-to-end runs on a PC.
//
// A flat floor with a few objects of the detector's classes, seen by the robot's two cameras
// while the robot drives slowly forward. Objects are painted in the class key colours of the
// host NPU runtime's colour-key backend, so the host runtime "detects" them, and the depth
// images are exact enough that the node's back-projection lands on the object surfaces.
//
// Frames and units:
// - world: the floor is z = 0, z up; objects are fixed in it. At frame 0 the robot's
//   base_footprint coincides with the world frame.
// - base_footprint: x forward, y left, z up, on the floor under the robot.
// - camera optical frame: x right, y down, z forward (along the viewing axis).
// All lengths are metres, angles radians, depth images millimetres.
//
// Everything here is a pure function of the Scene value: rendering frame k twice gives the
// same images bit for bit, in any order, on any thread.
#pragma once

#include <Eigen/Geometry>
#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrax_scene
{

/// Frame the ground truth is given in.
inline constexpr const char * kBaseFrame = "base_footprint";

/// Class ids of the detector's label table: 0 "paper", 1 "mask", 2 "thread", 3 "obstacle",
/// 4 "bottle", 5 "blood", 6 "person", 7 "reflection".
inline constexpr int kClassCount = 8;

/// Label text of a class id; "" for an id outside 0 .. 7.
std::string class_label(int class_id);

enum class Shape {
  kBox,       ///< cuboid standing on the floor
  kCylinder,  ///< vertical cylinder standing on the floor; length_m is its diameter
};

/// A static object standing on the floor, fixed in the world frame.
struct SceneObject
{
  std::string name;  ///< unique within the scene, e.g. "obstacle_1"
  int class_id{3};
  Shape shape{Shape::kBox};
  double x_m{0.0};  ///< centre of the footprint, world frame
  double y_m{0.0};
  double yaw_rad{0.0};   ///< rotation of the object's own x axis from the world x axis
  double length_m{0.4};  ///< extent along the object's own x axis (cylinder: diameter)
  double width_m{0.4};   ///< extent along the object's own y axis (cylinder: ignored)
  double height_m{0.4};  ///< top above the floor
  double base_m{0.0};    ///< bottom above the floor: 0 stands on it, more floats (a table top)
};

/// Where a camera sits on the robot, in base_footprint. Yaw turns the view to the left, pitch
/// tilts it down, roll turns the camera about its view axis (a positive roll lowers its right
/// side).
struct CameraMount
{
  double x_m{0.0};
  double y_m{0.0};
  double z_m{0.0};
  double yaw_rad{0.0};
  double pitch_rad{0.0};
  double roll_rad{0.0};
};

/// One RGB-D camera whose depth is registered to its colour image (one pixel grid, one pinhole).
struct CameraModel
{
  std::string name;      ///< "camera1" or "camera2"
  std::string frame_id;  ///< optical frame of the depth (and colour) images
  int width{640};
  int height{480};
  double fx{525.0};
  double fy{525.0};
  double cx{319.5};
  double cy{239.5};
  CameraMount mount;

  /// The transform that maps points from this camera's optical frame into base_footprint
  /// (what the robot publishes with parent "base_footprint" and child frame_id).
  Eigen::Isometry3d camera_to_base() const;
};

/// Pose of base_footprint in the world frame at one frame of the sequence.
struct RobotPose
{
  double time_s{0.0};  ///< since the first frame
  double x_m{0.0};
  double y_m{0.0};
  double yaw_rad{0.0};

  /// Maps points from base_footprint into the world frame.
  Eigen::Isometry3d base_to_world() const;
};

struct Scene
{
  double frame_rate_hz{10.0};
  uint32_t seed{1};            ///< floor texture, colour noise and depth noise
  double depth_noise_mm{1.0};  ///< standard deviation of the depth noise; 0 for exact depth
  double max_depth_m{5.0};     ///< depths at and beyond this read 0 (no measurement)
  std::array<CameraModel, 2> cameras;
  std::vector<SceneObject> objects;
  std::vector<RobotPose> robot_poses;  ///< one per frame

  int frame_count() const { return static_cast<int>(robot_poses.size()); }
};

struct DemoOptions
{
  int frames{30};
  uint32_t seed{1};
  double speed_mps{0.1};  ///< forward speed of the robot, straight along the world x axis
  double depth_noise_mm{1.0};
};

/// The demo scene: camera 1 looking ahead (0.45 m high, 25 degrees down), camera 2 looking
/// forward-left (0.30 m high, 30 degrees left, 20 degrees down); two obstacles, a person, two
/// bottles, a mask and a blood spot between 0.5 and 3 m, none of them hiding another from either
/// camera during the drive. `frames` below 1 is taken as 1.
Scene make_demo_scene(const DemoOptions & options = {});

/// Ground truth of one object at one frame, in base_footprint.
struct ObjectTruth
{
  std::string name;
  int class_id{0};
  std::string label;
  std::vector<Eigen::Vector2d> footprint;  ///< convex, counter-clockwise, on the floor
  double height_m{0.0};
  Eigen::Vector3d centre{Eigen::Vector3d::Zero()};  ///< middle of the object's volume
};

/// Ground truth of every object (scene order) at `frame`; empty for a frame outside the
/// sequence. Cylinders are given as 32-gons through their rim.
std::vector<ObjectTruth> ground_truth(const Scene & scene, int frame);

/// Index into Scene::objects of the object a pixel shows, or one of these.
inline constexpr int16_t kFloorPixel = -1;
inline constexpr int16_t kNothingPixel = -2;  ///< the ray hits nothing (above the horizon)

/// One camera's images of one frame.
struct View
{
  cv::Mat color_rgb;     ///< CV_8UC3, R, G, B order in memory
  cv::Mat depth_mm;      ///< CV_16UC1, z along the optical axis in millimetres, 0 = none
  cv::Mat object_index;  ///< CV_16SC1: object index, kFloorPixel or kNothingPixel
};

struct Frame
{
  int index{0};
  double time_s{0.0};
  std::array<View, 2> views;  ///< camera 1, camera 2
};

/// Renders one camera at one frame by casting the ray of every pixel centre (u, v) into the
/// scene. Objects are flat in their class key colour; the floor is a grey tiled texture that no
/// key colour tolerance reaches. Throws std::out_of_range for a bad frame or camera index.
View render_view(const Scene & scene, int frame, int camera);

/// Both cameras of one frame.
Frame render_frame(const Scene & scene, int frame);

/// Pixels an object covers in a rendered view.
struct PixelBox
{
  int left{0};    ///< first column
  int top{0};     ///< first row
  int right{0};   ///< one past the last column
  int bottom{0};  ///< one past the last row
  int pixels{0};  ///< 0: the object is not seen
};

/// Per object (scene order), the box of the pixels whose object_index is that object.
std::vector<PixelBox> visible_boxes(const View & view, std::size_t object_count);

/// Box, in continuous pixel coordinates (pixel centres at whole numbers), of the projection of
/// the object's full 3-D shape into the camera at `frame`, ignoring the image borders and
/// anything in front of it. Empty when part of the object lies at or behind the camera plane.
std::optional<cv::Rect2d> projected_box(const Scene & scene, int frame, int camera,
                                        std::size_t object);

/// The scene description (cameras, objects, robot poses) followed by the per-frame ground
/// truth in base_footprint, as the text of scene.yaml.
std::string to_yaml(const Scene & scene);

/// Reads the description part of scene.yaml text. Throws std::runtime_error naming the
/// offending key when the text is not a scene.
Scene parse_scene(const std::string & text);

/// Writes dir/scene.yaml (with each object's visible pixel box per camera and frame) and, for
/// every frame k, dir/frames/kkkk_cam{1,2}_color.png (8-bit colour) and kkkk_cam{1,2}_depth.png
/// (16-bit millimetres). Creates the directories. Throws std::runtime_error on a write failure.
void save_scene(const Scene & scene, const std::string & dir);

/// Reads dir/scene.yaml. Throws std::runtime_error when it is missing or not a scene.
Scene load_scene(const std::string & dir);

/// Path of a frame image below a scene directory: frames/0007_cam2_depth.png and the like.
/// `camera` is 0 or 1; `kind` is "color" or "depth".
std::string frame_image_path(const std::string & dir, int frame, int camera,
                             const std::string & kind);

}  // namespace veltrax_scene
