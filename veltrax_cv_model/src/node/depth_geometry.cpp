// Depth geometry of the transform workers: the node's messages handed to the detection-cloud
// builder, its reports turned into log lines.
#include "message_views.hpp"

#include "cv_bridge/cv_bridge.h"
#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_cv_model
{
namespace
{

// The depth image is registered to the colour image: its rows are as long as the colour rows.
// Shared, not copied: an rgb8 image needs no conversion just to be measured, and one that cannot
// become rgb8 still raises cv_bridge's exception.
int colour_row_length(const ImageConstPtr & color)
{
  return cv_bridge::toCvShare(color, "rgb8")->image.cols;
}

}  // namespace

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

void Yolov5sPredictor::rgb_depth_to_cloud(const ImageConstPtr & depth, const ImageConstPtr & color,
                                          Cloud::Ptr & cloud, int left, int right, int top,
                                          int bottom, const CameraIntrinsics & intrinsics,
                                          float leaf_size)
{
  const int row_length = colour_row_length(color);
  RCLCPP_DEBUG(get_logger(), "left=%d, right=%d, top=%d, bottom=%d", left, right, top, bottom);
  DetectionCloudSettings settings = cloud_builder_->settings();
  settings.leaf_size_m = leaf_size;
  CloudBuildReport report;
  DetectionCloudBuilder(settings).region_cloud(depth_view(*depth), row_length,
                                               PixelRect{left, right, top, bottom}, intrinsics,
                                               *cloud, report);
  report_cloud_build(*depth, row_length, report);
}

void Yolov5sPredictor::build_detection_clouds(const DetectionFrame & detections,
                                              const ImageConstPtr & color,
                                              const ImageConstPtr & depth, CloudList & clouds,
                                              const Eigen::Matrix4f & transform,
                                              const CameraIntrinsics & intrinsics, float z_min,
                                              float z_max)
{
  const int row_length = colour_row_length(color);
  const CameraView view{intrinsics, z_min, z_max, transform};
  const CloudBuildReport report =
      cloud_builder_->build(depth_view(*depth), row_length, detections.objects, view, clouds,
                            [this](const PixelRect & r) {
                              RCLCPP_DEBUG(get_logger(), "left=%d, right=%d, top=%d, bottom=%d",
                                           r.left, r.right, r.top, r.bottom);
                            });
  report_cloud_build(*depth, row_length, report);
}

void Yolov5sPredictor::filter_detection_cloud(
    DetectedObject detection, const ImageConstPtr & color, const ImageConstPtr & depth,
    Cloud::Ptr & cloud, std::shared_ptr<GroundRemoval<pcl::PointXYZ>> ground_model,
    const Eigen::Matrix4f & transform, const CameraIntrinsics & intrinsics, float z_min,
    float z_max)
{
  const int row_length = colour_row_length(color);
  const CameraView view{intrinsics, z_min, z_max, transform};
  CloudBuildReport report;
  cloud_builder_->box_cloud(depth_view(*depth), row_length, detection, view, ground_model.get(),
                            BoxFloor::kRemove, *cloud, report);
  report_cloud_build(*depth, row_length, report);
}

}  // namespace veltrax_cv_model
