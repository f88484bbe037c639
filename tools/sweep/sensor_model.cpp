#include "sweep/sensor_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace veltrax_sweep
{
namespace
{

constexpr double kPi = 3.14159265358979323846;

// Uniform in (0, 1); never 0, so the logarithm of Box-Muller stays finite.
double open_unit(std::mt19937 & random)
{
  return (static_cast<double>(random()) + 0.5) / 4294967296.0;
}

double standard_normal(std::mt19937 & random)
{
  return std::sqrt(-2.0 * std::log(open_unit(random))) * std::cos(2.0 * kPi * open_unit(random));
}

cv::Vec3d point_at(const cv::Mat & z_m, const veltrax_cv_model::CameraIntrinsics & k, int u, int v)
{
  const double z = z_m.at<double>(v, u);
  return {(static_cast<double>(u) - k.cx) * z / k.fx, (static_cast<double>(v) - k.cy) * z / k.fy,
          z};
}

bool same_surface(const cv::Mat & z_m, const cv::Mat & surface_id, const StructuredLightSensor & s,
                  int u0, int v0, int u1, int v1)
{
  const double a = z_m.at<double>(v0, u0);
  const double b = z_m.at<double>(v1, u1);
  return a > 0.0 && b > 0.0 &&
         surface_id.at<std::int16_t>(v0, u0) == surface_id.at<std::int16_t>(v1, u1) &&
         std::abs(a - b) <= s.depth_edge_rel * std::min(a, b);
}

// Angle between the pixel's ray and its surface's normal, degrees; 0 when the neighbours on its
// surface do not span a plane.
double incidence_deg(const cv::Mat & z_m, const cv::Mat & surface_id,
                     const veltrax_cv_model::CameraIntrinsics & k, const StructuredLightSensor & s,
                     int u, int v)
{
  const auto tangent = [&](int du, int dv) -> cv::Vec3d {
    const bool ahead = u + du < z_m.cols && v + dv < z_m.rows &&
                       same_surface(z_m, surface_id, s, u, v, u + du, v + dv);
    const bool behind =
        u - du >= 0 && v - dv >= 0 && same_surface(z_m, surface_id, s, u, v, u - du, v - dv);
    const cv::Vec3d from = behind ? point_at(z_m, k, u - du, v - dv) : point_at(z_m, k, u, v);
    const cv::Vec3d to = ahead ? point_at(z_m, k, u + du, v + dv) : point_at(z_m, k, u, v);
    return to - from;
  };
  const cv::Vec3d normal = tangent(1, 0).cross(tangent(0, 1));
  const cv::Vec3d ray = point_at(z_m, k, u, v);
  const double length = cv::norm(normal) * cv::norm(ray);
  if (length <= 0.0) {
    return 0.0;
  }
  return std::acos(std::min(1.0, std::abs(normal.dot(ray)) / length)) * 180.0 / kPi;
}

}  // namespace

double disparity_step_depth_m(const StructuredLightSensor & sensor, double focal_px, double z_m)
{
  return z_m * z_m * sensor.disparity_step_px / (focal_px * sensor.baseline_m);
}

cv::Mat structured_light_depth(const cv::Mat & exact_depth_mm, const cv::Mat & surface_id,
                               const cv::Mat & dark, const veltrax_cv_model::CameraIntrinsics & k,
                               const StructuredLightSensor & sensor, std::uint32_t seed)
{
  cv::Mat z_m;
  exact_depth_mm.convertTo(z_m, CV_64F, 0.001);
  const int width = z_m.cols;
  const int height = z_m.rows;
  std::mt19937 random(seed);
  const double fb = k.fx * sensor.baseline_m;  // disparity, pixels, times depth, metres

  // Projector shadow: the projector sits baseline_m to the right, so a point at column u lights
  // up at projector column u - fb / z. A nearer surface to its right that reaches a projector
  // column left of the point's own hides the point from the pattern.
  cv::Mat shadowed(height, width, CV_8U, cv::Scalar(0));
  for (int v = 0; v < height; ++v) {
    double nearest_column = std::numeric_limits<double>::infinity();
    for (int u = width - 1; u >= 0; --u) {
      const double z = z_m.at<double>(v, u);
      if (z <= 0.0) {
        continue;
      }
      const double projector_column = u - fb / z;
      if (projector_column > nearest_column + 0.5) {
        shadowed.at<std::uint8_t>(v, u) = 1;
      }
      nearest_column = std::min(nearest_column, projector_column);
    }
  }

  cv::Mat depth(height, width, CV_16U, cv::Scalar(0));
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      // Every pixel draws the same count of numbers, so one pixel's draws never depend on what
      // the others show.
      const double mix_draw = open_unit(random);
      const double mix_share = open_unit(random);
      const double loss_draw = open_unit(random);
      const double noise = standard_normal(random);
      double z = z_m.at<double>(v, u);
      if (z <= 0.0 || shadowed.at<std::uint8_t>(v, u) != 0) {
        continue;
      }
      // The far side of a depth edge: the pixel's footprint on the sensor straddles both
      // surfaces, and the matcher often returns a depth between them.
      double nearer = z;
      for (const cv::Point step :
           {cv::Point(1, 0), cv::Point(-1, 0), cv::Point(0, 1), cv::Point(0, -1)}) {
        const int un = u + step.x;
        const int vn = v + step.y;
        if (un < 0 || vn < 0 || un >= width || vn >= height) {
          continue;
        }
        const double zn = z_m.at<double>(vn, un);
        if (zn > 0.0 && zn < nearer && !same_surface(z_m, surface_id, sensor, u, v, un, vn)) {
          nearer = zn;
        }
      }
      if (nearer < z && mix_draw < sensor.mixed_pixel_share) {
        z = nearer + (0.1 + 0.8 * mix_share) * (z - nearer);
      }

      double loss = sensor.dropout_share;
      if (dark.at<std::uint8_t>(v, u) != 0) {
        loss = std::max(loss, sensor.dark_dropout_share);
      }
      const double grazing =
          (incidence_deg(z_m, surface_id, k, sensor, u, v) - sensor.grazing_start_deg) /
          (sensor.grazing_end_deg - sensor.grazing_start_deg);
      loss = std::max(loss, sensor.grazing_dropout_share * std::clamp(grazing, 0.0, 1.0));
      if (loss_draw < loss) {
        continue;
      }

      const double disparity = fb / z + sensor.disparity_noise_px * noise;
      const double stepped =
          std::round(disparity / sensor.disparity_step_px) * sensor.disparity_step_px;
      if (stepped <= 0.0) {
        continue;
      }
      const double reading_mm = std::round(1000.0 * fb / stepped);
      if (reading_mm >= 1.0 && reading_mm <= 65535.0) {
        depth.at<std::uint16_t>(v, u) = static_cast<std::uint16_t>(reading_mm);
      }
    }
  }
  return depth;
}

}  // namespace veltrax_sweep
