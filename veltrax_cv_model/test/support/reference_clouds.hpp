// One camera's detection clouds by the PCL chain the fused pass replaced: back_project_depth
// (pcl::VoxelGrid), crop_and_transform (pcl::CropBox, pcl::transformPointCloud), GroundRemoval
// fitted on the whole scene at the builder's leaf and the floor contact by a k-d tree. The
// reference of the equivalence test and of the frame-cycle benchmark. Header-only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include <pcl/search/kdtree.h>

#include "veltrax_cv_model/class_table.hpp"
#include "veltrax_cv_model/depth_filters.hpp"
#include "veltrax_cv_model/detection_cloud.hpp"
#include "veltrax_cv_model/detection_cloud_builder.hpp"

namespace veltrax_cv_model::test
{

struct ReferenceClouds
{
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  explicit ReferenceClouds(const GroundRemovalParams & ground) : floor_model(ground) {}

  Cloud scene;  ///< the floor model's input, base_footprint
  GroundRemoval<pcl::PointXYZ> floor_model;
  std::vector<Cloud> boxes;  ///< each built box before its floor split, base_footprint
  std::vector<BackProjectionResult> box_results;
  std::vector<std::vector<std::uint16_t>> box_readings;  ///< the depth each box was built from
  std::vector<Cloud> clouds;  ///< what DetectionCloudBuilder::build keeps
};

/// The PCL chain's region cloud in base_footprint.
inline BackProjectionResult reference_region(const DepthImageView & depth, int row_length,
                                             const PixelRect & rect, const CameraView & view,
                                             float leaf_size_m,
                                             pcl::PointCloud<pcl::PointXYZ> & in_base)
{
  pcl::PointCloud<pcl::PointXYZ> camera;
  const BackProjectionResult result =
      back_project_depth(depth, row_length, rect, view.intrinsics, leaf_size_m, camera);
  crop_and_transform(camera, view.z_min_m, view.z_max_m, view.camera_to_base, in_base);
  return result;
}

/// split_box_floor with the floor contact found by PCL's k-d tree.
inline void reference_split_box_floor(pcl::PointCloud<pcl::PointXYZ> in_base,
                                      const GroundRemoval<pcl::PointXYZ> & floor_model,
                                      BoxFloor floor, pcl::PointCloud<pcl::PointXYZ> & cloud)
{
  auto above_floor = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  auto on_floor = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  floor_model.groundRemove(in_base, above_floor, on_floor);
  if (!keeps_detection_cloud(*above_floor)) {
    cloud = flat_box_points(std::move(in_base), floor_model);
    return;
  }
  if (floor == BoxFloor::kRemove) {
    cloud = *above_floor;
    return;
  }
  cloud = *above_floor;
  for (pcl::PointXYZ & p : above_floor->points) {
    p.z = 0.0f;
  }
  pcl::search::KdTree<pcl::PointXYZ> footprint(false);
  footprint.setInputCloud(above_floor);
  pcl::Indices index(1);
  std::vector<float> squared_distance(1);
  std::vector<pcl::PointXYZ> contact;
  std::vector<double> beyond;
  for (const pcl::PointXYZ & p : on_floor->points) {
    if (footprint.radiusSearch(pcl::PointXYZ(p.x, p.y, 0.0f), kFloorContactRadiusM, index,
                               squared_distance, 1) > 0) {
      contact.push_back(p);
    } else {
      beyond.push_back(height_above_floor(p, floor_model));
    }
  }
  const double base_height = contact_base_height(beyond);
  std::copy_if(
      contact.begin(), contact.end(), std::back_inserter(cloud.points),
      [&](const pcl::PointXYZ & p) { return height_above_floor(p, floor_model) > base_height; });
  cloud.width = static_cast<std::uint32_t>(cloud.points.size());
  cloud.height = 1;
}

/// DetectionCloudBuilder::build's rules over the PCL chain (valid input only: no refusals).
inline ReferenceClouds reference_clouds(const DepthImageView & depth, int row_length,
                                        const std::vector<DetectedObject> & detections,
                                        const CameraView & view,
                                        const DetectionCloudSettings & settings)
{
  ReferenceClouds out(settings.ground);
  // The depth clean-up is shared with the builder: the chain starts from the same readings.
  CloudBuildReport report;
  std::vector<std::uint16_t> smoothed;
  const DepthImageView used = DetectionCloudBuilder(settings).noise_smoothed(
      depth, row_length, view.intrinsics, smoothed, report);
  reference_region(used, row_length, {0, used.width, 0, used.height}, view, settings.leaf_size_m,
                   out.scene);
  out.floor_model.set_input_cloud(out.scene);
  for (const DetectedObject & d : detections) {
    const ClassInfo * info = class_info(d.class_id);
    if (info == nullptr || !info->outlined ||
        (d.left == 0 && d.right == 0 && d.top == 0 && d.bottom == 0)) {
      continue;
    }
    const PixelRect rect{d.left, d.right, d.top, d.bottom};
    std::vector<std::uint16_t> & readings = out.box_readings.emplace_back();
    copy_depth(used, row_length, readings);
    clear_flying_pixels(used, row_length, rect, view.intrinsics, readings);
    out.boxes.emplace_back();
    out.box_results.push_back(reference_region(depth_view_of(readings, used), row_length, rect,
                                               view, settings.leaf_size_m, out.boxes.back()));
    pcl::PointCloud<pcl::PointXYZ> cloud;
    reference_split_box_floor(out.boxes.back(), out.floor_model,
                              info->keeps_floor ? BoxFloor::kAtContact : BoxFloor::kRemove, cloud);
    if (keeps_detection_cloud(cloud)) {
      out.clouds.push_back(std::move(cloud));
    }
  }
  return out;
}

}  // namespace veltrax_cv_model::test
