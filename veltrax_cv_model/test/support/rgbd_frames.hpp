// Depth-image builders for the depth-geometry tests and benchmarks: hand-made 16-bit frames and
// the two real Kinect frames under TEST_DATA_DIR/rgbd. Header-only.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "veltrax_cv_model/back_projection.hpp"
#include "veltrax_cv_model/types.hpp"

namespace veltrax_cv_model::test
{

/// A 16-bit depth image held as the bytes a sensor_msgs Image would carry (host byte order,
/// rows packed). The buffer is sized exactly, so ASan flags any read past it.
struct DepthFrame
{
  int width{0};
  int height{0};
  std::string encoding{"16UC1"};
  std::vector<std::uint8_t> bytes;

  DepthFrame() = default;
  DepthFrame(int w, int h, std::uint16_t fill = 0)
      : width(w), height(h), bytes(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 2)
  {
    for (int v = 0; v < h; ++v) {
      for (int u = 0; u < w; ++u) {
        set(u, v, fill);
      }
    }
  }

  void set(int u, int v, std::uint16_t depth_mm)
  {
    std::memcpy(bytes.data() + 2 * (static_cast<std::size_t>(v) * width + u), &depth_mm, 2);
  }

  std::uint16_t at(int u, int v) const
  {
    std::uint16_t depth_mm;
    std::memcpy(&depth_mm, bytes.data() + 2 * (static_cast<std::size_t>(v) * width + u), 2);
    return depth_mm;
  }

  DepthImageView view() const
  {
    return DepthImageView{
        bytes.data(), bytes.size(), width, height, 2 * static_cast<std::size_t>(width), encoding};
  }
};

/// The Kinect model both recorded frames were taken with (pixels).
inline CameraIntrinsics kinect_intrinsics()
{
  return CameraIntrinsics{525.0f, 525.0f, 319.5f, 239.5f};
}

/// One recorded scene: depth frame and the camera optical -> base_footprint transform.
struct RecordedScene
{
  std::string name;
  DepthFrame depth;
  Eigen::Matrix4f camera_to_base{Eigen::Matrix4f::Identity()};
};

inline RecordedScene load_recorded_scene(const std::string & name)
{
  RecordedScene scene;
  scene.name = name;
  const std::string path =
      std::string(TEST_DATA_DIR) + "/rgbd/" + name + "/" + name + "_depth_mm.png";
  const cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
  if (image.empty() || image.type() != CV_16UC1) {
    throw std::runtime_error("cannot read 16-bit depth image " + path);
  }
  scene.depth = DepthFrame(image.cols, image.rows);
  for (int v = 0; v < image.rows; ++v) {
    for (int u = 0; u < image.cols; ++u) {
      scene.depth.set(u, v, image.at<std::uint16_t>(v, u));
    }
  }
  // Rows of T_base<-cam as listed in the data folder's README (fitted to each scene's floor).
  if (name == "five_people") {
    scene.camera_to_base << 0.0008f, -0.0766f, 0.9971f, 0.0f, -0.9999f, -0.0104f, 0.0f, 0.0f,
        0.0104f, -0.9970f, -0.0766f, 1.2661f, 0.0f, 0.0f, 0.0f, 1.0f;
  } else if (name == "milk_cartoon") {
    scene.camera_to_base << 0.0029f, -0.5714f, 0.8207f, 0.0f, -1.0000f, -0.0051f, 0.0f, 0.0f,
        0.0042f, -0.8207f, -0.5714f, 0.4649f, 0.0f, 0.0f, 0.0f, 1.0f;
  } else {
    throw std::runtime_error("no transform for scene " + name);
  }
  return scene;
}

}  // namespace veltrax_cv_model::test
