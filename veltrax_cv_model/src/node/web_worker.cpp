// Web worker: camera 1's litter and person reports, off the frame-cycle thread.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>

#include <pcl/common/transforms.h>

#include "cv_bridge/cv_bridge.h"
#include "veltrax_cv_model/back_projection.hpp"
#include "veltrax_cv_model/class_table.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_cv_model
{
namespace
{

const char * const kWebWorkerSite = "web worker";

bool is_person(int class_id)
{
  const ClassInfo * info = class_info(class_id);
  return info != nullptr && info->person;
}

bool is_reported_class(int class_id)
{
  const ClassInfo * info = class_info(class_id);
  return info != nullptr && (info->litter || info->person);
}

}  // namespace

void Yolov5sPredictor::WebTask(std::atomic<bool> * idle, WebTaskInput * input)
{
  while (workers_running_.load(std::memory_order_acquire)) {
    if (idle->load(std::memory_order_acquire)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    // The input belongs to this worker until the flag goes back to true.
    {
      const ImageConstPtr depth = input->depth;
      const ImageConstPtr color = input->color;
      const DetectionFrame detections = input->detections;
      const CameraIntrinsics intrinsics = input->intrinsics;
      try {
        publish_trash(depth, color, detections, intrinsics);
      } catch (const std::exception & e) {
        log_fault(kWebWorkerSite, format_text("web worker skipped a frame: %s", e.what()));
      }
    }
    idle->store(true, std::memory_order_release);
  }
}

void Yolov5sPredictor::publish_trash(const ImageConstPtr & depth, const ImageConstPtr & color,
                                     const DetectionFrame & detections,
                                     const CameraIntrinsics & intrinsics)
{
  if (detections.objects.empty()) {
    return;
  }
  veltrax_protocol::msg::Trashes trash_report;
  veltrax_protocol::msg::Trashes person_report;

  // Crops are copied into their messages below; the picture itself can share the message.
  const cv_bridge::CvImageConstPtr rgb = cv_bridge::toCvShare(color, "rgb8");
  const cv::Mat & picture = rgb->image;
  const int width = picture.cols;
  if (!is_sixteen_bit_depth(depth->encoding) || static_cast<int>(depth->width) != width ||
      depth->height == 0) {
    log_fault(
        kWebWorkerSite,
        format_text("web worker: depth image (%s, %ux%u) does not match the %dx%d colour "
                    "image; frame not reported",
                    depth->encoding.c_str(), depth->width, depth->height, width, picture.rows));
    return;
  }
  if (!intrinsics.usable()) {
    log_fault(kWebWorkerSite, "web worker: camera 1 intrinsics unusable; frame not reported");
    return;
  }
  const int last_row = static_cast<int>(depth->height) - 1;
  bool all_reported = true;

  for (const DetectedObject & object : detections.objects) {
    if (!is_reported_class(object.class_id)) {
      continue;
    }
    const auto label = id_to_label_.find(object.class_id);
    RCLCPP_INFO(get_logger(), "web push class id = %d, name = %s\n", object.class_id,
                label == id_to_label_.end() ? "" : label->second.c_str());

    const int u = (object.left + object.right) / 2;
    // A box may end on the image's bottom edge; its floor contact is then the last row.
    const int v = std::min(object.bottom, last_row);
    const std::size_t index = static_cast<std::size_t>(v) * width + u;
    if (u < 0 || u >= width || v < 0 || (index + 1) * sizeof(uint16_t) > depth->data.size()) {
      log_fault(kWebWorkerSite,
                format_text("web worker: bottom centre (%d, %d) outside the depth image", u, v));
      all_reported = false;
      continue;
    }
    uint16_t raw_depth = 0;
    std::memcpy(&raw_depth, depth->data.data() + index * sizeof(uint16_t), sizeof(raw_depth));
    const float z = static_cast<float>(raw_depth / kDepthUnitsPerMetre);
    // Without a reading the floor contact is unknown; z = 0 would put the report at the camera.
    if (!(z > 0.0f && z < kFarDepthLimitM)) {
      log_fault(kWebWorkerSite,
                "web worker: no depth reading at a box's bottom centre; that report is skipped");
      all_reported = false;
      continue;
    }
    const float x = (static_cast<float>(u) - intrinsics.cx) * z / intrinsics.fx;
    const float y = (static_cast<float>(v) - intrinsics.cy) * z / intrinsics.fy;
    if (is_person(object.class_id) && x * x + y * y > person_dis_th) {
      continue;
    }

    Cloud camera_point;
    camera_point.push_back(pcl::PointXYZ(x, y, z));
    Cloud robot_point;
    pcl::transformPointCloud(camera_point, robot_point, camera1_matrix_);

    const cv::Rect box =
        cv::Rect(object.left, object.top, object.right - object.left, object.bottom - object.top) &
        cv::Rect(0, 0, width, picture.rows);
    std_msgs::msg::Header crop_header;
    crop_header.stamp = depth->header.stamp;
    veltrax_protocol::msg::Trash trash;
    cv_bridge::CvImage(crop_header, "rgb8", picture(box)).toImageMsg(trash.image);
    trash.x = robot_point.points[0].x;
    trash.y = robot_point.points[0].y;
    (is_person(object.class_id) ? person_report : trash_report).trashes.push_back(trash);
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
