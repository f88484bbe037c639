// Camera 1's litter and person reports: for every detection of a reported class, its floor
// contact (the depth under its box's bottom centre) in the robot frame and the box to crop.
// No ROS, no logging: skipped detections come back with the reason.
#pragma once

#include <vector>

#include <Eigen/Core>

#include "veltrax_cv_model/back_projection.hpp"
#include "veltrax_cv_model/types.hpp"

namespace veltrax_cv_model
{

/// What became of one detection of a reported class.
enum class ReportOutcome {
  kReported,      ///< position and crop are set
  kOutsideImage,  ///< the bottom centre lies outside the depth image
  kNoDepth,       ///< no depth reading at the bottom centre (0, or at or beyond 5 m)
  kPersonTooFar,  ///< a person farther than the distance limit: not reported, not a fault
};

/// One detection of a reported class, in detection order.
struct ReportEntry
{
  DetectedObject detection;
  bool person{false};  ///< person report (else litter)
  ReportOutcome outcome{ReportOutcome::kReported};
  int u{0};  ///< bottom-centre pixel
  int v{0};
  float x_m{0.0f};  ///< floor contact in base_footprint, metres (kReported only)
  float y_m{0.0f};
  int crop_left{0};  ///< the box clipped to the colour image, pixels (kReported only)
  int crop_top{0};
  int crop_width{0};
  int crop_height{0};
};

/// Why a whole frame yields no report.
enum class ReportFrameStatus { kOk, kDepthMismatch, kUnusableIntrinsics };

struct ReportFrame
{
  ReportFrameStatus status{ReportFrameStatus::kOk};
  std::vector<ReportEntry> entries;
};

/// Builds the report entries of one frame. Holds only its setting; thread-safe.
class ReportBuilder
{
public:
  /// @param person_dis_th_m2 a person is reported while x^2 + y^2 of its floor contact in the
  ///        camera's optical frame stays at or below this value (square metres: the setting is
  ///        compared with the squared distance).
  explicit ReportBuilder(float person_dis_th_m2);

  /// The depth image must be 16-bit, as wide as the colour image (`color_width` x
  /// `color_height`) and not empty, and the intrinsics usable; otherwise the frame's status says
  /// why and no entry is made. The bottom centre of a box is ((left + right) / 2, bottom), the
  /// row clamped to the last one; z = depth / 1000, x = (u - cx) z / fx, y = (v - cy) z / fy,
  /// then `camera_to_base` places it in the robot frame.
  ReportFrame build(const DepthImageView & depth, int color_width, int color_height,
                    const std::vector<DetectedObject> & detections,
                    const CameraIntrinsics & intrinsics,
                    const Eigen::Matrix4f & camera_to_base) const;

private:
  float person_dis_th_m2_;
};

}  // namespace veltrax_cv_model
