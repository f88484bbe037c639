// scene.yaml and the frame images of a scene directory.
#include <yaml-cpp/yaml.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "scene/scene.hpp"

namespace veltrax_scene
{

namespace
{

constexpr const char * kFormat = "veltrax_scene 1";

// Shortest text that reads back as the same double: the file stays readable (0.45, not
// 0.45000000000000001) and a loaded scene renders bit for bit like the saved one.
std::string num(double value)
{
  char buffer[32];
  if (value == 0.0) {
    value = 0.0;  // no "-0" in the file
  }
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

void emit_numbers(YAML::Emitter & out, std::initializer_list<double> values)
{
  out << YAML::Flow << YAML::BeginSeq;
  for (double value : values) {
    out << num(value);
  }
  out << YAML::EndSeq;
}

void emit_camera(YAML::Emitter & out, const CameraModel & camera)
{
  const Eigen::Isometry3d transform = camera.camera_to_base();
  const Eigen::Vector3d t = transform.translation();
  Eigen::Quaterniond q(transform.linear());
  if (q.w() < 0.0) {
    q.coeffs() = -q.coeffs();  // the same rotation, written the way tf tools print it
  }
  out << YAML::BeginMap;
  out << YAML::Key << "name" << YAML::Value << camera.name;
  out << YAML::Key << "frame_id" << YAML::Value << camera.frame_id;
  out << YAML::Key << "width" << YAML::Value << camera.width;
  out << YAML::Key << "height" << YAML::Value << camera.height;
  out << YAML::Key << "fx" << YAML::Value << num(camera.fx);
  out << YAML::Key << "fy" << YAML::Value << num(camera.fy);
  out << YAML::Key << "cx" << YAML::Value << num(camera.cx);
  out << YAML::Key << "cy" << YAML::Value << num(camera.cy);
  out << YAML::Key << "mount" << YAML::Value << YAML::Flow << YAML::BeginMap;
  out << YAML::Key << "x_m" << YAML::Value << num(camera.mount.x_m);
  out << YAML::Key << "y_m" << YAML::Value << num(camera.mount.y_m);
  out << YAML::Key << "z_m" << YAML::Value << num(camera.mount.z_m);
  out << YAML::Key << "yaw_rad" << YAML::Value << num(camera.mount.yaw_rad);
  out << YAML::Key << "pitch_rad" << YAML::Value << num(camera.mount.pitch_rad);
  out << YAML::Key << "roll_rad" << YAML::Value << num(camera.mount.roll_rad);
  out << YAML::EndMap;
  out << YAML::Key << "camera_to_base";
  out << YAML::Comment("maps points from frame_id into base_footprint (the /tf_static entry)");
  out << YAML::Value << YAML::BeginMap;
  out << YAML::Key << "parent_frame" << YAML::Value << kBaseFrame;
  out << YAML::Key << "child_frame" << YAML::Value << camera.frame_id;
  out << YAML::Key << "translation" << YAML::Value;
  emit_numbers(out, {t.x(), t.y(), t.z()});
  out << YAML::Key << "rotation_xyzw" << YAML::Value;
  emit_numbers(out, {q.x(), q.y(), q.z(), q.w()});
  out << YAML::Key << "matrix" << YAML::Value << YAML::BeginSeq;
  const Eigen::Matrix4d & m = transform.matrix();
  for (int r = 0; r < 4; ++r) {
    emit_numbers(out, {m(r, 0), m(r, 1), m(r, 2), m(r, 3)});
  }
  out << YAML::EndSeq << YAML::EndMap;
  out << YAML::EndMap;
}

void emit_object(YAML::Emitter & out, const SceneObject & object)
{
  out << YAML::Flow << YAML::BeginMap;
  out << YAML::Key << "name" << YAML::Value << object.name;
  out << YAML::Key << "class_id" << YAML::Value << object.class_id;
  out << YAML::Key << "label" << YAML::Value << class_label(object.class_id);
  out << YAML::Key << "shape" << YAML::Value << (object.shape == Shape::kBox ? "box" : "cylinder");
  out << YAML::Key << "x_m" << YAML::Value << num(object.x_m);
  out << YAML::Key << "y_m" << YAML::Value << num(object.y_m);
  out << YAML::Key << "yaw_rad" << YAML::Value << num(object.yaw_rad);
  out << YAML::Key << "length_m" << YAML::Value << num(object.length_m);
  out << YAML::Key << "width_m" << YAML::Value << num(object.width_m);
  out << YAML::Key << "height_m" << YAML::Value << num(object.height_m);
  out << YAML::Key << "base_m" << YAML::Value << num(object.base_m);
  out << YAML::EndMap;
}

// `visible`, when given, holds per frame and camera the visible box of every object.
std::string emit_scene(const Scene & scene,
                       const std::vector<std::array<std::vector<PixelBox>, 2>> * visible)
{
  YAML::Emitter out;
  out << YAML::Comment(
      "Synthetic two-camera RGB-D sequence. World: floor z = 0, z up; base_footprint: x forward, "
      "y left, z up; optical frames: x right, y down, z forward. Metres, radians, seconds.");
  out << YAML::BeginMap;
  out << YAML::Key << "format" << YAML::Value << kFormat;
  out << YAML::Key << "frame_rate_hz" << YAML::Value << num(scene.frame_rate_hz);
  out << YAML::Key << "frame_count" << YAML::Value << scene.frame_count();
  out << YAML::Key << "seed" << YAML::Value << scene.seed;
  out << YAML::Key << "depth_noise_mm" << YAML::Value << num(scene.depth_noise_mm);
  out << YAML::Key << "max_depth_m" << YAML::Value << num(scene.max_depth_m);
  out << YAML::Key << "base_frame" << YAML::Value << kBaseFrame;

  out << YAML::Key << "cameras" << YAML::Value << YAML::BeginSeq;
  for (const CameraModel & camera : scene.cameras) {
    emit_camera(out, camera);
  }
  out << YAML::EndSeq;

  out << YAML::Key << "objects" << YAML::Comment("fixed in the world frame") << YAML::Value
      << YAML::BeginSeq;
  for (const SceneObject & object : scene.objects) {
    emit_object(out, object);
  }
  out << YAML::EndSeq;

  out << YAML::Key << "frames"
      << YAML::Comment("robot pose in the world; ground truth in base_footprint") << YAML::Value
      << YAML::BeginSeq;
  for (int k = 0; k < scene.frame_count(); ++k) {
    const RobotPose & pose = scene.robot_poses[static_cast<std::size_t>(k)];
    out << YAML::BeginMap;
    out << YAML::Key << "index" << YAML::Value << k;
    out << YAML::Key << "time_s" << YAML::Value << num(pose.time_s);
    out << YAML::Key << "robot" << YAML::Value << YAML::Flow << YAML::BeginMap;
    out << YAML::Key << "x_m" << YAML::Value << num(pose.x_m);
    out << YAML::Key << "y_m" << YAML::Value << num(pose.y_m);
    out << YAML::Key << "yaw_rad" << YAML::Value << num(pose.yaw_rad);
    out << YAML::EndMap;
    out << YAML::Key << "truth" << YAML::Value << YAML::BeginSeq;
    const std::vector<ObjectTruth> truths = ground_truth(scene, k);
    for (std::size_t i = 0; i < truths.size(); ++i) {
      const ObjectTruth & truth = truths[i];
      out << YAML::BeginMap;
      out << YAML::Key << "name" << YAML::Value << truth.name;
      out << YAML::Key << "class_id" << YAML::Value << truth.class_id;
      out << YAML::Key << "label" << YAML::Value << truth.label;
      out << YAML::Key << "centre" << YAML::Value;
      emit_numbers(out, {truth.centre.x(), truth.centre.y(), truth.centre.z()});
      out << YAML::Key << "height_m" << YAML::Value << num(truth.height_m);
      out << YAML::Key << "footprint" << YAML::Value << YAML::Flow << YAML::BeginSeq;
      for (const Eigen::Vector2d & p : truth.footprint) {
        emit_numbers(out, {p.x(), p.y()});
      }
      out << YAML::EndSeq;
      if (visible != nullptr) {
        out << YAML::Key << "visible" << YAML::Value << YAML::Flow << YAML::BeginMap;
        for (std::size_t c = 0; c < 2; ++c) {
          const PixelBox & box = (*visible)[static_cast<std::size_t>(k)][c][i];
          out << YAML::Key << scene.cameras[c].name << YAML::Value << YAML::Flow << YAML::BeginMap
              << YAML::Key << "pixels" << YAML::Value << box.pixels << YAML::Key << "box_ltrb"
              << YAML::Value << YAML::Flow << YAML::BeginSeq << box.left << box.top << box.right
              << box.bottom << YAML::EndSeq << YAML::EndMap;
        }
        out << YAML::EndMap;
      }
      out << YAML::EndMap;
    }
    out << YAML::EndSeq;
    out << YAML::EndMap;
  }
  out << YAML::EndSeq;
  out << YAML::EndMap;
  return std::string(out.c_str()) + "\n";
}

[[noreturn]] void fail(const std::string & what)
{
  throw std::runtime_error("scene.yaml: " + what);
}

YAML::Node need(const YAML::Node & node, const std::string & key, const std::string & where)
{
  const YAML::Node child = node[key];
  if (!child) {
    fail("missing '" + key + "' in " + where);
  }
  return child;
}

template <typename T>
T read(const YAML::Node & node, const std::string & key, const std::string & where)
{
  const YAML::Node child = need(node, key, where);
  try {
    return child.as<T>();
  } catch (const YAML::Exception &) {
    fail("'" + key + "' in " + where + " has the wrong type");
  }
}

// Keys added after scenes were first written: files without them keep their meaning.
double read_or_zero(const YAML::Node & node, const std::string & key, const std::string & where)
{
  return node[key] ? read<double>(node, key, where) : 0.0;
}

CameraModel parse_camera(const YAML::Node & node, const std::string & where)
{
  CameraModel camera;
  camera.name = read<std::string>(node, "name", where);
  camera.frame_id = read<std::string>(node, "frame_id", where);
  camera.width = read<int>(node, "width", where);
  camera.height = read<int>(node, "height", where);
  camera.fx = read<double>(node, "fx", where);
  camera.fy = read<double>(node, "fy", where);
  camera.cx = read<double>(node, "cx", where);
  camera.cy = read<double>(node, "cy", where);
  if (camera.width <= 0 || camera.height <= 0 || camera.fx <= 0.0 || camera.fy <= 0.0) {
    fail("image size and focal lengths of " + where + " must be positive");
  }
  const YAML::Node mount = need(node, "mount", where);
  const std::string mount_where = where + ".mount";
  camera.mount.x_m = read<double>(mount, "x_m", mount_where);
  camera.mount.y_m = read<double>(mount, "y_m", mount_where);
  camera.mount.z_m = read<double>(mount, "z_m", mount_where);
  camera.mount.yaw_rad = read<double>(mount, "yaw_rad", mount_where);
  camera.mount.pitch_rad = read<double>(mount, "pitch_rad", mount_where);
  camera.mount.roll_rad = read_or_zero(mount, "roll_rad", mount_where);
  return camera;
}

SceneObject parse_object(const YAML::Node & node, const std::string & where)
{
  SceneObject object;
  object.name = read<std::string>(node, "name", where);
  object.class_id = read<int>(node, "class_id", where);
  if (object.class_id < 0 || object.class_id >= kClassCount) {
    fail("'class_id' in " + where + " must lie in 0 .. 7");
  }
  const std::string shape = read<std::string>(node, "shape", where);
  if (shape == "box") {
    object.shape = Shape::kBox;
  } else if (shape == "cylinder") {
    object.shape = Shape::kCylinder;
  } else {
    fail("'shape' in " + where + " is box or cylinder");
  }
  object.x_m = read<double>(node, "x_m", where);
  object.y_m = read<double>(node, "y_m", where);
  object.yaw_rad = read<double>(node, "yaw_rad", where);
  object.length_m = read<double>(node, "length_m", where);
  object.width_m = read<double>(node, "width_m", where);
  object.height_m = read<double>(node, "height_m", where);
  object.base_m = read_or_zero(node, "base_m", where);
  if (object.base_m < 0.0 || object.base_m >= object.height_m) {
    fail("'base_m' in " + where + " must lie in 0 .. height_m");
  }
  return object;
}

void write_png(const std::string & path, const cv::Mat & image)
{
  if (!cv::imwrite(path, image)) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace

std::string to_yaml(const Scene & scene) { return emit_scene(scene, nullptr); }

Scene parse_scene(const std::string & text)
{
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::Exception & e) {
    fail(std::string("not YAML: ") + e.what());
  }
  if (!root.IsMap()) {
    fail("not a mapping");
  }
  if (read<std::string>(root, "format", "the file") != kFormat) {
    fail(std::string("'format' is not '") + kFormat + "'");
  }
  Scene scene;
  scene.frame_rate_hz = read<double>(root, "frame_rate_hz", "the file");
  scene.seed = read<uint32_t>(root, "seed", "the file");
  scene.depth_noise_mm = read<double>(root, "depth_noise_mm", "the file");
  scene.max_depth_m = read<double>(root, "max_depth_m", "the file");

  const YAML::Node cameras = need(root, "cameras", "the file");
  if (!cameras.IsSequence() || cameras.size() != 2) {
    fail("'cameras' must list two cameras");
  }
  for (std::size_t c = 0; c < 2; ++c) {
    scene.cameras[c] = parse_camera(cameras[c], "cameras[" + std::to_string(c) + "]");
  }

  const YAML::Node objects = need(root, "objects", "the file");
  if (!objects.IsSequence()) {
    fail("'objects' must be a list");
  }
  for (std::size_t i = 0; i < objects.size(); ++i) {
    scene.objects.push_back(parse_object(objects[i], "objects[" + std::to_string(i) + "]"));
  }

  const YAML::Node frames = need(root, "frames", "the file");
  if (!frames.IsSequence() || frames.size() == 0) {
    fail("'frames' must be a non-empty list");
  }
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const std::string where = "frames[" + std::to_string(k) + "]";
    const YAML::Node robot = need(frames[k], "robot", where);
    RobotPose pose;
    pose.time_s = read<double>(frames[k], "time_s", where);
    pose.x_m = read<double>(robot, "x_m", where + ".robot");
    pose.y_m = read<double>(robot, "y_m", where + ".robot");
    pose.yaw_rad = read<double>(robot, "yaw_rad", where + ".robot");
    scene.robot_poses.push_back(pose);
  }
  return scene;
}

std::string frame_image_path(const std::string & dir, int frame, int camera,
                             const std::string & kind)
{
  char name[64];
  std::snprintf(name, sizeof(name), "%04d_cam%d_%s.png", frame, camera + 1, kind.c_str());
  return (std::filesystem::path(dir) / "frames" / name).string();
}

void save_scene(const Scene & scene, const std::string & dir)
{
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(dir) / "frames", error);
  if (error) {
    throw std::runtime_error("cannot create " + dir + "/frames: " + error.message());
  }
  std::vector<std::array<std::vector<PixelBox>, 2>> visible(
      static_cast<std::size_t>(scene.frame_count()));
  cv::Mat bgr;
  for (int k = 0; k < scene.frame_count(); ++k) {
    const Frame frame = render_frame(scene, k);
    for (int c = 0; c < 2; ++c) {
      const View & view = frame.views[static_cast<std::size_t>(c)];
      cv::cvtColor(view.color_rgb, bgr, cv::COLOR_RGB2BGR);
      write_png(frame_image_path(dir, k, c, "color"), bgr);
      write_png(frame_image_path(dir, k, c, "depth"), view.depth_mm);
      visible[static_cast<std::size_t>(k)][static_cast<std::size_t>(c)] =
          visible_boxes(view, scene.objects.size());
    }
  }
  const std::string path = (std::filesystem::path(dir) / "scene.yaml").string();
  std::ofstream file(path);
  file << emit_scene(scene, &visible);
  if (!file) {
    throw std::runtime_error("cannot write " + path);
  }
}

Scene load_scene(const std::string & dir)
{
  const std::string path = (std::filesystem::path(dir) / "scene.yaml").string();
  std::ifstream file(path);
  if (!file) {
    throw std::runtime_error("cannot read " + path);
  }
  std::stringstream text;
  text << file.rdbuf();
  return parse_scene(text.str());
}

}  // namespace veltrax_scene
