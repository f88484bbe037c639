#include "veltrax_cv_model/detection_cloud_builder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "veltrax_cv_model/class_table.hpp"
#include "veltrax_cv_model/depth_filters.hpp"
#include "veltrax_cv_model/detection_cloud.hpp"
#include "veltrax_cv_model/planar_proximity.hpp"

namespace veltrax_cv_model
{
namespace
{

void fold_into(const BackProjectionResult & result, CloudBuildReport & report)
{
  if (result.status != BackProjectionStatus::kOk) {
    if (report.refused.status == BackProjectionStatus::kOk) {
      report.refused = result;
    }
    return;
  }
  if (result.voxel_grid_skipped) {
    report.voxel_grid_skipped = true;
    report.largest_unthinned_points =
        std::max(report.largest_unthinned_points, result.working_points);
  }
}

// The fused pass's working memory, kept by each thread from frame to frame: a transform worker
// reuses its buffers (a few MB at 640 x 480) every cycle instead of allocating them anew, and
// builders on several threads never share one.
RegionScratch & thread_scratch()
{
  thread_local RegionScratch scratch;
  return scratch;
}

// A frame's depth readings as the clouds use them, kept by each thread as the scratch is: smoothed
// when noisy, and with the flying pixels of standing objects' boxes cleared.
struct FrameReadings
{
  std::vector<std::uint16_t> smoothed;
  std::vector<std::uint16_t> standing;
};

FrameReadings & thread_readings()
{
  thread_local FrameReadings readings;
  return readings;
}

// Pixels of the scene the floor model reads: every stride-th of every stride-th row, as far
// apart as keeps neighbouring pixels less than a floor-model voxel apart at the farthest depth
// the crop keeps, so every voxel the whole frame reaches is still reached (three times as sparse
// at 640 x 480 with a 3 m crop).
int floor_model_pixel_stride(const CameraView & view)
{
  const float focal = std::min(view.intrinsics.fx, view.intrinsics.fy);
  const float farthest = std::min(view.z_max_m, kFarDepthLimitM);
  const float stride = farthest > 0.0f ? std::floor(kFloorModelLeafM * focal / farthest) : 1.0f;
  return stride >= 1.0f && stride <= 64.0f ? static_cast<int>(stride) : 1;
}

}  // namespace

DetectionCloudBuilder::DetectionCloudBuilder(const DetectionCloudSettings & settings)
    : settings_(settings)
{
}

DepthImageView DetectionCloudBuilder::noise_smoothed(const DepthImageView & depth, int row_length,
                                                     const CameraIntrinsics & intrinsics,
                                                     std::vector<std::uint16_t> & storage,
                                                     CloudBuildReport & report) const
{
  const PixelRect frame{0, depth.width, 0, depth.height};
  if (check_depth_region(depth, row_length, frame, intrinsics, settings_.leaf_size_m) !=
      BackProjectionStatus::kOk) {
    return depth;
  }
  report.depth_noise_rel = estimate_relative_depth_noise(depth, row_length);
  report.depth_smoothed = report.depth_noise_rel > kSmoothedNoiseRel;
  if (!report.depth_smoothed) {
    return depth;
  }
  smooth_depth_noise(depth, row_length, report.depth_noise_rel, storage);
  return depth_view_of(storage, depth);
}

void DetectionCloudBuilder::region_cloud(const DepthImageView & depth, int row_length,
                                         const PixelRect & region,
                                         const CameraIntrinsics & intrinsics,
                                         pcl::PointCloud<pcl::PointXYZ> & cloud,
                                         CloudBuildReport & report) const
{
  fold_into(back_project_depth(depth, row_length, region, intrinsics, settings_.leaf_size_m, cloud),
            report);
}

void DetectionCloudBuilder::filter_detection_cloud(
    const DepthImageView & depth, int row_length, const DetectedObject & box,
    const CameraView & view, const GroundRemoval<pcl::PointXYZ> * floor_model, BoxFloor floor,
    pcl::PointCloud<pcl::PointXYZ> & cloud, CloudBuildReport & report) const
{
  RegionScratch & scratch = thread_scratch();
  if (box.left == 0 && box.top == 0 && box.right == 0 && box.bottom == 0) {
    return;
  }
  const PixelRect region{box.left, box.right, box.top, box.bottom};
  if (floor_model == nullptr) {
    fold_into(
        rgb_depth_to_cloud(depth, row_length, region, view, settings_.leaf_size_m, scratch, cloud),
        report);
    return;
  }
  // A standing object's box without its flying pixels: its floor is dropped anyway, and what lies
  // behind it must not join it. Only the box's rows are copied: the pass reads no others.
  DepthImageView box_depth = depth;
  if (floor == BoxFloor::kRemove &&
      check_depth_region(depth, row_length, region, view.intrinsics, settings_.leaf_size_m) ==
          BackProjectionStatus::kOk) {
    std::vector<std::uint16_t> & standing = thread_readings().standing;
    copy_depth(depth, row_length, standing, region.top, region.bottom);
    clear_flying_pixels(depth, row_length, region, view.intrinsics, standing);
    box_depth = depth_view_of(standing, depth);
  }
  pcl::PointCloud<pcl::PointXYZ> in_base;
  fold_into(rgb_depth_to_cloud(box_depth, row_length, region, view, settings_.leaf_size_m, scratch,
                               in_base),
            report);
  split_box_floor(std::move(in_base), *floor_model, floor, cloud);
}

bool DetectionCloudBuilder::fit_floor_model(const DepthImageView & depth, int row_length,
                                            const CameraView & view,
                                            GroundRemoval<pcl::PointXYZ> & model,
                                            CloudBuildReport & report) const
{
  const PixelRect frame{0, depth.width, 0, depth.height};
  pcl::PointCloud<pcl::PointXYZ> scene;
  // Refused as the boxes would be: the coarser grid must not hide a bad leaf.
  BackProjectionResult result;
  result.status =
      check_depth_region(depth, row_length, frame, view.intrinsics, settings_.leaf_size_m);
  if (result.status == BackProjectionStatus::kOk) {
    result = rgb_depth_to_cloud(depth, row_length, frame, view,
                                std::max(settings_.leaf_size_m, kFloorModelLeafM), thread_scratch(),
                                scene, nullptr, floor_model_pixel_stride(view));
  }
  fold_into(result, report);
  if (result.status != BackProjectionStatus::kOk || result.working_points == 0) {
    return false;
  }
  model.set_input_cloud(scene);
  return true;
}

void split_box_floor(pcl::PointCloud<pcl::PointXYZ> in_base,
                     const GroundRemoval<pcl::PointXYZ> & floor_model, BoxFloor floor,
                     pcl::PointCloud<pcl::PointXYZ> & cloud)
{
  auto above_floor = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  if (floor == BoxFloor::kRemove) {
    floor_model.groundRemove(in_base, above_floor, nullptr);
    cloud = std::move(*above_floor);
    return;
  }
  auto on_floor = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  floor_model.groundRemove(in_base, above_floor, on_floor);
  // Fewer points above the floor than make a detection cloud are noise over a flat spot, whose
  // footprint is its floor.
  if (!keeps_detection_cloud(*above_floor)) {
    cloud = std::move(in_base);
    return;
  }
  const PlanarProximity footprint(above_floor->points.data(), above_floor->size(),
                                  kFloorContactRadiusM);
  cloud = std::move(*above_floor);
  cloud.points.reserve(in_base.size());
  for (const pcl::PointXYZ & p : on_floor->points) {
    if (footprint.any_within(p.x, p.y)) {
      cloud.points.push_back(p);
    }
  }
  cloud.width = static_cast<std::uint32_t>(cloud.points.size());
  cloud.height = 1;
}

CloudBuildReport DetectionCloudBuilder::build(const DepthImageView & depth, int row_length,
                                              const std::vector<DetectedObject> & detections,
                                              const CameraView & view,
                                              std::vector<pcl::PointCloud<pcl::PointXYZ>> & clouds,
                                              const RegionObserver & observe) const
{
  CloudBuildReport report;
  clouds.clear();
  const PixelRect frame{0, depth.width, 0, depth.height};
  if (observe) {
    observe(frame);
  }
  // A frame refused, or without any pixel with a depth reading: its boxes would read the same
  // malformed buffer or find nothing, and without a scene there is no floor model to clear their
  // floor points.
  FrameReadings & readings = thread_readings();
  const DepthImageView used =
      noise_smoothed(depth, row_length, view.intrinsics, readings.smoothed, report);
  GroundRemoval<pcl::PointXYZ> floor_model(settings_.ground);
  if (!fit_floor_model(used, row_length, view, floor_model, report)) {
    return report;
  }

  clouds.reserve(detections.size());
  for (const DetectedObject & detection : detections) {
    const ClassInfo * info = class_info(detection.class_id);
    if (info == nullptr || !info->outlined) {
      continue;
    }
    const PixelRect box{detection.left, detection.right, detection.top, detection.bottom};
    if (observe && !(box.left == 0 && box.right == 0 && box.top == 0 && box.bottom == 0)) {
      observe(box);
    }
    pcl::PointCloud<pcl::PointXYZ> cloud;
    // Small litter lies on the floor: the floor it covers is part of its footprint.
    filter_detection_cloud(used, row_length, detection, view, &floor_model,
                           info->keeps_floor ? BoxFloor::kAtContact : BoxFloor::kRemove, cloud,
                           report);
    if (keeps_detection_cloud(cloud)) {
      clouds.push_back(std::move(cloud));
    }
  }
  return report;
}

}  // namespace veltrax_cv_model
