// Transform workers: one per camera builds that camera's detection clouds.
#include <exception>
#include <string>

#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_cv_model
{

void Yolov5sPredictor::TransformTask(TransformTaskInput & input)
{
  const std::string site = "transform worker for " + input.depth->header.frame_id;
  try {
    build_detection_clouds(input.detections, input.depth, input.clouds, input.transform,
                           input.intrinsics, input.z_min, input.z_max);
    log_recovery(site);
  } catch (const std::exception & e) {
    // The frame cycle is waiting for this record: skip the frame, never the hand-back.
    input.clouds.clear();
    log_fault(site, format_text("transform worker skipped a frame: %s", e.what()));
  }
}

}  // namespace veltrax_cv_model
