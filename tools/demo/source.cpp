// Frame sources of the demo runner.
#include "demo/source.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace veltrax_demo
{

namespace
{

namespace fs = std::filesystem;

bool interrupted(const RunOptions & options)
{
  return options.interrupt != nullptr && options.interrupt->load();
}

Source generated_scene(const RunOptions & options, bool show_progress, bool tty)
{
  veltrax_scene::DemoOptions demo;
  demo.frames = options.frames;
  demo.seed = options.seed;
  Source source;
  source.mode = "scene";
  source.scene = veltrax_scene::make_demo_scene(demo);
  for (int k = 0; k < source.scene->frame_count(); ++k) {
    if (interrupted(options)) {
      throw Interrupted();
    }
    if (show_progress && (tty || k == 0)) {
      std::printf(tty ? "\rrun_demo: rendering frame %d/%d" : "run_demo: rendering %d frames",
                  tty ? k + 1 : source.scene->frame_count(), source.scene->frame_count());
      std::fflush(stdout);
    }
    veltrax_scene::Frame frame = veltrax_scene::render_frame(*source.scene, k);
    source.color_rgb.push_back({frame.views[0].color_rgb, frame.views[1].color_rgb});
    source.depth_mm.push_back({frame.views[0].depth_mm, frame.views[1].depth_mm});
  }
  if (show_progress) {
    std::printf("\n");
  }
  return source;
}

cv::Mat read_png(const std::string & path, int flags)
{
  cv::Mat image = cv::imread(path, flags);
  if (image.empty()) {
    throw std::runtime_error("cannot read " + path);
  }
  return image;
}

cv::Mat read_rgb(const std::string & path)
{
  cv::Mat rgb;
  cv::cvtColor(read_png(path, cv::IMREAD_COLOR), rgb, cv::COLOR_BGR2RGB);
  return rgb;
}

cv::Mat read_depth(const std::string & path)
{
  cv::Mat depth = read_png(path, cv::IMREAD_ANYDEPTH);
  if (depth.type() != CV_16UC1) {
    throw std::runtime_error(path + " is not a 16-bit depth image");
  }
  return depth;
}

Source loaded_scene(const std::string & dir)
{
  Source source;
  source.mode = "scene";
  source.scene = veltrax_scene::load_scene(dir);
  for (int k = 0; k < source.scene->frame_count(); ++k) {
    std::array<cv::Mat, 2> color;
    std::array<cv::Mat, 2> depth;
    for (int c = 0; c < 2; ++c) {
      color[static_cast<std::size_t>(c)] =
          read_rgb(veltrax_scene::frame_image_path(dir, k, c, "color"));
      depth[static_cast<std::size_t>(c)] =
          read_depth(veltrax_scene::frame_image_path(dir, k, c, "depth"));
    }
    source.color_rgb.push_back(color);
    source.depth_mm.push_back(depth);
  }
  return source;
}

// The real frames: camera -> base_footprint as given in test/data/rgbd/README.md (a floor fit).
Eigen::Isometry3d real_camera_to_base(const Eigen::Matrix3d & rows, double height_m)
{
  Eigen::Isometry3d transform = Eigen::Isometry3d::Identity();
  // The README rounds to four decimals; the nearest rotation keeps tf2 well-formed.
  transform.linear() = Eigen::Quaterniond(rows).normalized().toRotationMatrix();
  transform.translation() = Eigen::Vector3d(0.0, 0.0, height_m);
  return transform;
}

host_rknn::Detection image_box(int class_id, double left, double top, double right, double bottom)
{
  // The node resizes 640 x 480 to the model's 640 x 640.
  constexpr double kRowScale = 640.0 / 480.0;
  host_rknn::Detection detection;
  detection.class_id = class_id;
  detection.x1 = static_cast<float>(left);
  detection.y1 = static_cast<float>(top * kRowScale);
  detection.x2 = static_cast<float>(right);
  detection.y2 = static_cast<float>(bottom * kRowScale);
  return detection;
}

Source real_frames(const RunOptions & options)
{
  const fs::path dir(options.real_dir);
  Source source;
  source.mode = "real";
  const std::array<std::string, 2> names{"milk_cartoon", "five_people"};
  Eigen::Matrix3d milk_cartoon;
  milk_cartoon << 0.0029, -0.5714, 0.8207, -1.0000, -0.0051, 0.0, 0.0042, -0.8207, -0.5714;
  Eigen::Matrix3d five_people;
  five_people << 0.0008, -0.0766, 0.9971, -0.9999, -0.0104, 0.0, 0.0104, -0.9970, -0.0766;
  source.camera_to_base = {real_camera_to_base(milk_cartoon, 0.4649),
                           real_camera_to_base(five_people, 1.2661)};
  std::array<cv::Mat, 2> color;
  std::array<cv::Mat, 2> depth;
  for (std::size_t c = 0; c < 2; ++c) {
    const fs::path folder = dir / names[c];
    color[c] = read_rgb((folder / (names[c] + "_color.png")).string());
    depth[c] = read_depth((folder / (names[c] + "_depth_mm.png")).string());
    veltrax_scene::CameraModel & camera = source.cameras[c];
    camera.name = c == 0 ? "camera1" : "camera2";
    camera.frame_id = camera.name + "_depth_optical_frame";
    camera.width = color[c].cols;
    camera.height = color[c].rows;
    camera.fx = camera.fy = 525.0;
    camera.cx = 319.5;
    camera.cy = 239.5;
  }
  for (int k = 0; k < std::max(1, options.frames); ++k) {
    source.color_rgb.push_back(color);
    source.depth_mm.push_back(depth);
  }
  // Boxes read off the colour images (pixels of the 640 x 480 image).
  host_rknn::ScriptedRun run;
  run.slot1 = {image_box(4, 92, 135, 197, 291),   // detergent bottle, left
               image_box(3, 233, 57, 326, 232),   // milk carton
               image_box(4, 400, 69, 498, 258)};  // bleach bottle, right
  run.slot2 = {image_box(6, 17, 63, 155, 479), image_box(6, 143, 95, 245, 479),
               image_box(6, 279, 103, 375, 442), image_box(6, 362, 104, 468, 452),
               image_box(6, 460, 50, 605, 479)};
  host_rknn::ModelSpec script_model;
  script_model.backend = host_rknn::Backend::kScripted;
  script_model.runs = {run};
  source.script = script_model;
  return source;
}

}  // namespace

Source load_source(const RunOptions & options, bool tty)
{
  Source source = !options.real_dir.empty()    ? real_frames(options)
                  : !options.scene_dir.empty() ? loaded_scene(options.scene_dir)
                                               : generated_scene(options, options.progress, tty);
  if (source.scene) {
    for (std::size_t c = 0; c < 2; ++c) {
      source.cameras[c] = source.scene->cameras[c];
      source.camera_to_base[c] = source.scene->cameras[c].camera_to_base();
    }
  }
  return source;
}

}  // namespace veltrax_demo
