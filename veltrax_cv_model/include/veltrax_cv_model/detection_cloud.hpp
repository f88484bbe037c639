// Crop and rigid transform of depth clouds on their way from the camera's optical frame into the
// robot frame. No ROS, no logging.
#pragma once

#include <cstddef>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>

namespace veltrax_cv_model
{

/// Half-width of the crop box across the optical axis (x and y), metres.
inline constexpr float kLateralCropLimitM = 10.0f;
/// A detection cloud is kept only with at least this many points (more than 5).
inline constexpr std::size_t kMinDetectionCloudPoints = 6;

/// Keeps the points of `input` inside the axis-aligned box x, y in [-10, 10] m and
/// z in [z_min_m, z_max_m] of the camera optical frame (x right, y down, z forward), boundaries
/// included, using pcl::CropBox. `output` is replaced: unorganised, input order, input header.
/// An inverted range (z_min_m > z_max_m) keeps nothing. Non-finite points are dropped only when
/// the input is marked not dense (PCL's rule); back-projected clouds are always finite.
/// `output` must not be `input`.
void crop_camera_frame(const pcl::PointCloud<pcl::PointXYZ> & input, float z_min_m, float z_max_m,
                       pcl::PointCloud<pcl::PointXYZ> & output);

/// Applies `camera_to_base` (4x4 rigid transform, camera optical frame -> base_footprint, x
/// forward, y left, z up) to every point with pcl::transformPointCloud, all fields copied.
/// `output` is replaced and keeps the input's size, order, header and organisation.
void transform_to_base(const pcl::PointCloud<pcl::PointXYZ> & input,
                       const Eigen::Matrix4f & camera_to_base,
                       pcl::PointCloud<pcl::PointXYZ> & output);

/// Crop (camera frame) then transform into base_footprint: the path shared by the scene cloud
/// and every detection cloud. `output` is replaced.
void crop_and_transform(const pcl::PointCloud<pcl::PointXYZ> & camera_cloud, float z_min_m,
                        float z_max_m, const Eigen::Matrix4f & camera_to_base,
                        pcl::PointCloud<pcl::PointXYZ> & output);

/// True when a finished detection cloud is large enough to describe an object.
inline bool keeps_detection_cloud(const pcl::PointCloud<pcl::PointXYZ> & cloud)
{
  return cloud.size() >= kMinDetectionCloudPoints;
}

}  // namespace veltrax_cv_model
