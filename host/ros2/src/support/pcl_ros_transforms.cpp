// Matrix form of a transform message, computed in double as tf2's Matrix3x3 does and stored as
// float.
#include "pcl_ros/transforms.hpp"

namespace pcl_ros
{
void transformAsMatrix(const geometry_msgs::msg::TransformStamped & bt, Eigen::Matrix4f & out_mat)
{
  const auto & q = bt.transform.rotation;
  const auto & t = bt.transform.translation;

  const double d = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
  const double s = 2.0 / d;
  const double xs = q.x * s, ys = q.y * s, zs = q.z * s;
  const double wx = q.w * xs, wy = q.w * ys, wz = q.w * zs;
  const double xx = q.x * xs, xy = q.x * ys, xz = q.x * zs;
  const double yy = q.y * ys, yz = q.y * zs, zz = q.z * zs;

  out_mat(0, 0) = static_cast<float>(1.0 - (yy + zz));
  out_mat(0, 1) = static_cast<float>(xy - wz);
  out_mat(0, 2) = static_cast<float>(xz + wy);
  out_mat(1, 0) = static_cast<float>(xy + wz);
  out_mat(1, 1) = static_cast<float>(1.0 - (xx + zz));
  out_mat(1, 2) = static_cast<float>(yz - wx);
  out_mat(2, 0) = static_cast<float>(xz - wy);
  out_mat(2, 1) = static_cast<float>(yz + wx);
  out_mat(2, 2) = static_cast<float>(1.0 - (xx + yy));

  out_mat(3, 0) = out_mat(3, 1) = out_mat(3, 2) = 0;
  out_mat(3, 3) = 1;
  out_mat(0, 3) = static_cast<float>(t.x);
  out_mat(1, 3) = static_cast<float>(t.y);
  out_mat(2, 3) = static_cast<float>(t.z);
}
}  // namespace pcl_ros
