#include "veltrax_cv_model/detection_cloud.hpp"

#include <memory>

#include <pcl/common/transforms.h>
#include <pcl/filters/crop_box.h>

namespace veltrax_cv_model
{

void crop_camera_frame(const pcl::PointCloud<pcl::PointXYZ> & input, float z_min_m, float z_max_m,
                       pcl::PointCloud<pcl::PointXYZ> & output)
{
  pcl::CropBox<pcl::PointXYZ> box;
  // CropBox wants shared ownership of its input; a non-owning alias avoids copying the cloud.
  box.setInputCloud(pcl::PointCloud<pcl::PointXYZ>::ConstPtr(
      std::shared_ptr<const pcl::PointCloud<pcl::PointXYZ>>(), &input));
  box.setMin(Eigen::Vector4f(-kLateralCropLimitM, -kLateralCropLimitM, z_min_m, 1.0f));
  box.setMax(Eigen::Vector4f(kLateralCropLimitM, kLateralCropLimitM, z_max_m, 1.0f));
  box.filter(output);
}

void transform_to_base(const pcl::PointCloud<pcl::PointXYZ> & input,
                       const Eigen::Matrix4f & camera_to_base,
                       pcl::PointCloud<pcl::PointXYZ> & output)
{
  pcl::transformPointCloud(input, output, camera_to_base, true);
}

void crop_and_transform(const pcl::PointCloud<pcl::PointXYZ> & camera_cloud, float z_min_m,
                        float z_max_m, const Eigen::Matrix4f & camera_to_base,
                        pcl::PointCloud<pcl::PointXYZ> & output)
{
  pcl::PointCloud<pcl::PointXYZ> cropped;
  crop_camera_frame(camera_cloud, z_min_m, z_max_m, cropped);
  transform_to_base(cropped, camera_to_base, output);
}

}  // namespace veltrax_cv_model
