#include "veltrax_cv_model/report_builder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "veltrax_cv_model/class_table.hpp"

namespace veltrax_cv_model
{

ReportBuilder::ReportBuilder(float person_dis_th_m2) : person_dis_th_m2_(person_dis_th_m2) {}

ReportFrame ReportBuilder::build(const DepthImageView & depth, int color_width, int color_height,
                                 const std::vector<DetectedObject> & detections,
                                 const CameraIntrinsics & intrinsics,
                                 const Eigen::Matrix4f & camera_to_base) const
{
  ReportFrame frame;
  if (!is_sixteen_bit_depth(depth.encoding) || depth.width != color_width || depth.height <= 0) {
    frame.status = ReportFrameStatus::kDepthMismatch;
    return frame;
  }
  if (!intrinsics.usable()) {
    frame.status = ReportFrameStatus::kUnusableIntrinsics;
    return frame;
  }
  const int last_row = depth.height - 1;
  for (const DetectedObject & object : detections) {
    const ClassInfo * info = class_info(object.class_id);
    if (info == nullptr || !(info->litter || info->person)) {
      continue;
    }
    ReportEntry entry;
    entry.detection = object;
    entry.person = info->person;
    entry.u = (object.left + object.right) / 2;
    // A box may end on the image's bottom edge; its floor contact is then the last row.
    entry.v = std::min(object.bottom, last_row);
    const std::size_t index = static_cast<std::size_t>(entry.v) * color_width + entry.u;
    if (entry.u < 0 || entry.u >= color_width || entry.v < 0 ||
        (index + 1) * sizeof(uint16_t) > depth.size_bytes) {
      entry.outcome = ReportOutcome::kOutsideImage;
      frame.entries.push_back(entry);
      continue;
    }
    uint16_t raw_depth = 0;
    std::memcpy(&raw_depth, depth.data + index * sizeof(uint16_t), sizeof(raw_depth));
    const float z = static_cast<float>(raw_depth / kDepthUnitsPerMetre);
    // Without a reading the floor contact is unknown; z = 0 would put the report at the camera.
    if (!(z > 0.0f && z < kFarDepthLimitM)) {
      entry.outcome = ReportOutcome::kNoDepth;
      frame.entries.push_back(entry);
      continue;
    }
    const float x = (static_cast<float>(entry.u) - intrinsics.cx) * z / intrinsics.fx;
    const float y = (static_cast<float>(entry.v) - intrinsics.cy) * z / intrinsics.fy;
    if (entry.person && x * x + y * y > person_dis_th_m2_) {
      entry.outcome = ReportOutcome::kPersonTooFar;
      frame.entries.push_back(entry);
      continue;
    }
    const Eigen::Vector4f in_base = camera_to_base * Eigen::Vector4f(x, y, z, 1.0f);
    entry.x_m = in_base.x();
    entry.y_m = in_base.y();
    const int left = std::clamp(object.left, 0, color_width);
    const int top = std::clamp(object.top, 0, color_height);
    entry.crop_left = left;
    entry.crop_top = top;
    entry.crop_width = std::max(0, std::min(object.right, color_width) - left);
    entry.crop_height = std::max(0, std::min(object.bottom, color_height) - top);
    frame.entries.push_back(entry);
  }
  return frame;
}

}  // namespace veltrax_cv_model
