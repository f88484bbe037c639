// Depth geometry of the transform workers: the node's messages handed to the detection-cloud
// builder, its reports turned into log lines.
#include "message_views.hpp"

#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_cv_model
{

void Yolov5sPredictor::report_cloud_build(const sensor_msgs::msg::Image & depth, int row_length,
                                          const CloudBuildReport & report)
{
  const std::string site = "depth image " + depth.header.frame_id;
  if (report.refused.status != BackProjectionStatus::kOk) {
    log_fault(site,
              format_text("depth image %s (%ux%u, %s, colour rows of %d): %s",
                          depth.header.frame_id.c_str(), depth.width, depth.height,
                          depth.encoding.c_str(), row_length, to_string(report.refused.status)));
    return;
  }
  log_recovery(site);
  if (report.voxel_grid_skipped && !voxel_skip_reported_.exchange(true)) {
    RCLCPP_WARN(get_logger(),
                "downsample_leaf_size %f is too small for a %zu-point depth region: its voxel "
                "grid would overflow, so such clouds are used unthinned (reported once)",
                cloud_builder_->settings().leaf_size_m, report.largest_unthinned_points);
  }
  if (report.depth_smoothed && !depth_smoothing_reported_.exchange(true)) {
    RCLCPP_INFO(get_logger(),
                "depth image %s: random depth noise of %.2f %% of the depth, so noisy depth "
                "images are smoothed before their points are made (reported once)",
                depth.header.frame_id.c_str(), 100.0 * report.depth_noise_rel);
  }
}

void Yolov5sPredictor::build_detection_clouds(const DetectionFrame & detections,
                                              const ImageConstPtr & depth, CloudList & clouds,
                                              const Eigen::Matrix4f & transform,
                                              const CameraIntrinsics & intrinsics, float z_min,
                                              float z_max)
{
  // The depth image is registered to the colour image (which the detector has read already): it
  // must have the colour image's rows, each as long as a colour row. Rows of another length are
  // the builder's to refuse.
  const sensor_msgs::msg::Image & colour = *detections.image;
  const int row_length = static_cast<int>(colour.width);
  clouds.clear();
  if (depth->width == colour.width && depth->height != colour.height) {
    log_fault("depth image " + depth->header.frame_id,
              format_text("depth image %s (%ux%u, %s): its height differs from the %ux%u colour "
                          "image; no clouds from it",
                          depth->header.frame_id.c_str(), depth->width, depth->height,
                          depth->encoding.c_str(), colour.width, colour.height));
    return;
  }
  const CameraView view{intrinsics, z_min, z_max, transform};
  const CloudBuildReport report =
      cloud_builder_->build(depth_view(*depth), row_length, detections.objects, view, clouds,
                            [this](const PixelRect & r) {
                              RCLCPP_DEBUG(get_logger(), "left=%d, right=%d, top=%d, bottom=%d",
                                           r.left, r.right, r.top, r.bottom);
                            });
  report_cloud_build(*depth, row_length, report);
}

}  // namespace veltrax_cv_model
