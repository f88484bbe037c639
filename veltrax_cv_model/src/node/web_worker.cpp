// Web worker: camera 1's litter and person reports, off the frame-cycle thread.
#include <exception>

#include "message_views.hpp"

#include "cv_bridge/cv_bridge.h"
#include "veltrax_cv_model/class_table.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_cv_model
{
namespace
{

const char * const kWebWorkerSite = "web worker";

}  // namespace

void Yolov5sPredictor::WebTask(WebTaskInput & input)
{
  try {
    publish_trash(input.depth, input.detections, input.intrinsics);
  } catch (const std::exception & e) {
    log_fault(kWebWorkerSite, format_text("web worker skipped a frame: %s", e.what()));
  }
}

void Yolov5sPredictor::publish_trash(const ImageConstPtr & depth, const DetectionFrame & detections,
                                     const CameraIntrinsics & intrinsics)
{
  if (detections.objects.empty()) {
    return;
  }
  // Crops are copied into their messages below; the picture itself can share the message.
  const cv_bridge::CvImageConstPtr rgb = cv_bridge::toCvShare(detections.image, "rgb8");
  const cv::Mat & picture = rgb->image;
  const ReportFrame frame = report_builder_->build(depth_view(*depth), picture.cols, picture.rows,
                                                   detections.objects, intrinsics, camera1_matrix_);
  if (frame.status == ReportFrameStatus::kDepthMismatch) {
    log_fault(kWebWorkerSite,
              format_text("web worker: depth image (%s, %ux%u) does not match the %dx%d colour "
                          "image; frame not reported",
                          depth->encoding.c_str(), depth->width, depth->height, picture.cols,
                          picture.rows));
    return;
  }
  if (frame.status == ReportFrameStatus::kUnusableIntrinsics) {
    log_fault(kWebWorkerSite, "web worker: camera 1 intrinsics unusable; frame not reported");
    return;
  }

  veltrax_protocol::msg::Trashes trash_report;
  veltrax_protocol::msg::Trashes person_report;
  bool all_reported = true;
  for (const ReportEntry & entry : frame.entries) {
    const ClassInfo * info = class_info(entry.detection.class_id);
    RCLCPP_INFO(get_logger(), "web push class id = %d, name = %s\n", entry.detection.class_id,
                info == nullptr ? "" : std::string(info->label).c_str());
    switch (entry.outcome) {
      case ReportOutcome::kOutsideImage:
        log_fault(kWebWorkerSite,
                  format_text("web worker: bottom centre (%d, %d) outside the depth image", entry.u,
                              entry.v));
        all_reported = false;
        continue;
      case ReportOutcome::kNoDepth:
        log_fault(kWebWorkerSite,
                  "web worker: no depth reading at a box's bottom centre; that report is skipped");
        all_reported = false;
        continue;
      case ReportOutcome::kPersonTooFar:
        continue;
      case ReportOutcome::kReported:
        break;
    }
    std_msgs::msg::Header crop_header;
    crop_header.stamp = depth->header.stamp;
    veltrax_protocol::msg::Trash trash;
    const cv::Rect box(entry.crop_left, entry.crop_top, entry.crop_width, entry.crop_height);
    cv_bridge::CvImage(crop_header, "rgb8", picture(box)).toImageMsg(trash.image);
    trash.x = entry.x_m;
    trash.y = entry.y_m;
    (entry.person ? person_report : trash_report).trashes.push_back(trash);
  }

  if (all_reported) {
    log_recovery(kWebWorkerSite);
  }
  if (!person_report.trashes.empty()) {
    RCLCPP_INFO(get_logger(), "person");
    person_pub_->publish(person_report);
  }
  if (!trash_report.trashes.empty()) {
    RCLCPP_INFO(get_logger(), "trash");
    trashes_pub_->publish(trash_report);
  }
}

}  // namespace veltrax_cv_model
