// The frames the demo publishes: the demo scene (generated in memory or loaded from make_scene's
// output) with its ground truth, or the two real RGB-D frames with a scripted host model.
#pragma once

#include <Eigen/Geometry>
#include <opencv2/core.hpp>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "demo/demo_runner.hpp"
#include "host_rknn/host_rknn.hpp"
#include "scene/scene.hpp"

namespace veltrax_demo
{

struct Source
{
  std::string mode;                                   ///< "scene", "real" or "bag"
  std::array<veltrax_scene::CameraModel, 2> cameras;  ///< intrinsics, frame ids, image size
  std::array<Eigen::Isometry3d, 2> camera_to_base;
  std::vector<std::array<cv::Mat, 2>> color_rgb;  ///< per frame, per camera; none for "bag"
  std::vector<std::array<cv::Mat, 2>> depth_mm;   ///< 16-bit millimetres
  std::optional<veltrax_scene::Scene> scene;      ///< ground truth (scene modes)
  std::optional<host_rknn::ModelSpec> script;     ///< real frames: what the model detects
};

/// The frames `options` ask for: the real frames (`real_dir`), make_scene's output
/// (`scene_dir`) or the generated demo scene, rendered here with a progress line when
/// `options.progress` (`tty`: rewritten in place). Throws std::runtime_error when a file cannot
/// be read and Interrupted when `options.interrupt` is raised while rendering.
Source load_source(const RunOptions & options, bool tty);

}  // namespace veltrax_demo
