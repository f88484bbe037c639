// Transform workers: one thread per camera builds that camera's detection clouds.
#include <chrono>
#include <exception>
#include <string>

#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_cv_model
{

void Yolov5sPredictor::TransformTask(std::atomic<bool> * idle, TransformTaskInput * input)
{
  while (wait_for_work(*idle)) {
    // The input belongs to this worker until the flag goes back to true.
    input->started = std::chrono::steady_clock::now();
    const DetectionFrame detections = input->detections;
    const std::string site = "transform worker for " + input->depth->header.frame_id;
    try {
      build_detection_clouds(detections, input->color, input->depth, input->clouds,
                             input->transform, input->intrinsics, input->z_min, input->z_max);
      log_recovery(site);
    } catch (const std::exception & e) {
      // The frame cycle is waiting for this flag: skip the frame, never the hand-back.
      input->clouds.clear();
      log_fault(site, format_text("transform worker skipped a frame: %s", e.what()));
    }
    input->handed_back = std::chrono::steady_clock::now();
    hand_back(*idle);
  }
}

}  // namespace veltrax_cv_model
