// Depth geometry of the transform workers: back-projection, crop, transform and ground removal
// of each camera's detection clouds.
#include "veltrax_cv_model/back_projection.hpp"
#include "veltrax_cv_model/detection_cloud.hpp"

#include "cv_bridge/cv_bridge.h"
#include "veltrax_cv_model/class_table.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_cv_model
{

void Yolov5sPredictor::rgb_depth_to_cloud(const ImageConstPtr & depth, const ImageConstPtr & color,
                                          Cloud::Ptr & cloud, int left, int right, int top,
                                          int bottom, const CameraIntrinsics & intrinsics,
                                          float leaf_size)
{
  // The depth image is registered to the colour image: its rows are as long as the colour rows.
  // Shared, not copied: an rgb8 image needs no conversion just to be measured, and one that
  // cannot become rgb8 still raises cv_bridge's exception.
  const int row_length = cv_bridge::toCvShare(color, "rgb8")->image.cols;
  RCLCPP_DEBUG(get_logger(), "left=%d, right=%d, top=%d, bottom=%d", left, right, top, bottom);

  DepthImageView view;
  view.data = depth->data.data();
  view.size_bytes = depth->data.size();
  view.width = static_cast<int>(depth->width);
  view.height = static_cast<int>(depth->height);
  view.row_step_bytes = depth->step;
  view.encoding = depth->encoding;
  const BackProjectionResult result = back_project_depth(
      view, row_length, PixelRect{left, right, top, bottom}, intrinsics, leaf_size, *cloud);
  const std::string site = "depth image " + depth->header.frame_id;
  if (result.status != BackProjectionStatus::kOk) {
    log_fault(site, format_text("depth image %s (%ux%u, %s, colour rows of %d): %s",
                                depth->header.frame_id.c_str(), depth->width, depth->height,
                                depth->encoding.c_str(), row_length, to_string(result.status)));
    return;
  }
  log_recovery(site);
  if (result.voxel_grid_skipped && !voxel_skip_reported_.exchange(true)) {
    RCLCPP_WARN(get_logger(),
                "downsample_leaf_size %f is too small for a %zu-point depth region: its voxel "
                "grid would overflow, so such clouds are used unthinned (reported once)",
                leaf_size, result.working_points);
  }
}

void Yolov5sPredictor::build_detection_clouds(const DetectionFrame & detections,
                                              const ImageConstPtr & color,
                                              const ImageConstPtr & depth, CloudList & clouds,
                                              const Eigen::Matrix4f & transform,
                                              const CameraIntrinsics & intrinsics, float z_min,
                                              float z_max)
{
  Cloud::Ptr scene(new Cloud);
  rgb_depth_to_cloud(depth, color, scene, 0, static_cast<int>(depth->width), 0,
                     static_cast<int>(depth->height), intrinsics, downsample_leaf_size);
  // An empty scene means the frame was refused and logged, or holds no pixel with a depth
  // reading: its boxes would read the same malformed buffer or find nothing, and without a scene
  // there is no ground model to clear their floor points.
  if (scene->empty()) {
    clouds.clear();
    return;
  }
  Cloud scene_in_base;
  crop_and_transform(*scene, z_min, z_max, transform, scene_in_base);

  const GroundRemovalParams & p = ground_removal_params_;
  auto ground_model = std::make_shared<GroundRemoval<pcl::PointXYZ>>(
      p.rMin, p.rMax, p.tHmin, p.tHmax, p.tHDiff, p.tSDiff, p.hSensor, p.thres, p.gauss_sigma,
      p.gauss_samples);
  ground_model->set_input_cloud(scene_in_base);

  clouds.clear();
  clouds.reserve(detections.objects.size());
  for (const DetectedObject & detection : detections.objects) {
    const ClassInfo * info = class_info(detection.class_id);
    if (info == nullptr || !info->outlined) {
      continue;
    }
    Cloud::Ptr cloud(new Cloud);
    // Small litter lies on the floor: its floor points are part of its footprint.
    filter_detection_cloud(detection, color, depth, cloud,
                           info->keeps_floor ? nullptr : ground_model, transform, intrinsics, z_min,
                           z_max);
    if (keeps_detection_cloud(*cloud)) {
      clouds.push_back(*cloud);
    }
  }
}

void Yolov5sPredictor::filter_detection_cloud(
    DetectedObject detection, const ImageConstPtr & color, const ImageConstPtr & depth,
    Cloud::Ptr & cloud, std::shared_ptr<GroundRemoval<pcl::PointXYZ>> ground_model,
    const Eigen::Matrix4f & transform, const CameraIntrinsics & intrinsics, float z_min,
    float z_max)
{
  if (detection.left == 0 && detection.top == 0 && detection.right == 0 && detection.bottom == 0) {
    return;
  }
  Cloud::Ptr box_cloud(new Cloud);
  rgb_depth_to_cloud(depth, color, box_cloud, detection.left, detection.right, detection.top,
                     detection.bottom, intrinsics, downsample_leaf_size);
  Cloud::Ptr box_in_base(new Cloud);
  crop_and_transform(*box_cloud, z_min, z_max, transform, *box_in_base);
  if (!ground_model) {
    cloud = box_in_base;
    return;
  }
  ground_model->groundRemove(*box_in_base, cloud, std::make_shared<Cloud>());
}

}  // namespace veltrax_cv_model
