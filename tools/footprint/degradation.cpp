#include "footprint/degradation.hpp"

#include <algorithm>
#include <cmath>
#include <random>

#include <Eigen/Geometry>

namespace veltrax_footprint
{
namespace
{

// Uniform in (0, 1): never 0, so the logarithm of Box-Muller stays finite.
double open_unit(std::mt19937 & random)
{
  return (static_cast<double>(random()) + 0.5) / 4294967296.0;
}

}  // namespace

cv::Mat add_relative_depth_noise(const cv::Mat & depth_mm, double noise_rel, std::uint32_t seed)
{
  cv::Mat noisy = depth_mm.clone();
  std::mt19937 random(seed);
  constexpr double kTwoPi = 6.283185307179586;
  for (int v = 0; v < noisy.rows; ++v) {
    for (int u = 0; u < noisy.cols; ++u) {
      std::uint16_t & d = noisy.at<std::uint16_t>(v, u);
      if (d == 0) {
        continue;
      }
      const double gauss =
          std::sqrt(-2.0 * std::log(open_unit(random))) * std::cos(kTwoPi * open_unit(random));
      const double value = std::round(d * (1.0 + noise_rel * gauss));
      d = static_cast<std::uint16_t>(std::clamp(value, 1.0, 65535.0));
    }
  }
  return noisy;
}

cv::Mat punch_depth_holes(const cv::Mat & depth_mm, const std::vector<PixelBox> & boxes,
                          double share, std::uint32_t seed)
{
  cv::Mat inside(depth_mm.size(), CV_8U, cv::Scalar(0));
  const cv::Rect image(0, 0, depth_mm.cols, depth_mm.rows);
  for (const PixelBox & b : boxes) {
    inside(cv::Rect(b[0], b[1], b[2] - b[0], b[3] - b[1]) & image).setTo(1);
  }
  cv::Mat holed = depth_mm.clone();
  std::mt19937 random(seed);
  for (int v = 0; v < holed.rows; ++v) {
    for (int u = 0; u < holed.cols; ++u) {
      if (inside.at<std::uint8_t>(v, u) != 0 && open_unit(random) < share) {
        holed.at<std::uint16_t>(v, u) = 0;
      }
    }
  }
  return holed;
}

Eigen::Matrix4f tilted_camera_to_base(const Eigen::Matrix4f & camera_to_base, double tilt_deg)
{
  Eigen::Matrix4f rotation = Eigen::Matrix4f::Identity();
  rotation.topLeftCorner<3, 3>() =
      Eigen::AngleAxisf(static_cast<float>(tilt_deg * M_PI / 180.0), Eigen::Vector3f::UnitX())
          .toRotationMatrix();
  return camera_to_base * rotation;
}

FrameData degrade(const FrameData & frame, const Degradation & degradation)
{
  FrameData degraded = frame;
  if (degradation.noise_rel != 0.0) {
    degraded.depth_mm =
        add_relative_depth_noise(degraded.depth_mm, degradation.noise_rel, degradation.seed);
  }
  if (degradation.holes_share != 0.0) {
    std::vector<PixelBox> boxes;
    for (const LabelledBox & box : frame.description.boxes) {
      boxes.push_back(box.box);
    }
    // Its own stream: adding noise must not move the holes.
    degraded.depth_mm =
        punch_depth_holes(degraded.depth_mm, boxes, degradation.holes_share, degradation.seed + 1);
  }
  if (degradation.tilt_deg != 0.0) {
    degraded.description.camera_to_base =
        tilted_camera_to_base(frame.description.camera_to_base, degradation.tilt_deg);
  }
  return degraded;
}

}  // namespace veltrax_footprint
