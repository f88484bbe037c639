// pcl_conversions / pcl_ros stand-ins: the PointCloud2 layout the outline publisher produces and
// the matrix the node builds from a looked-up camera transform.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "pcl_conversions/pcl_conversions.h"
#include "pcl_ros/transforms.hpp"

namespace
{
std::vector<float> floats_of(const sensor_msgs::msg::PointCloud2 & msg)
{
  std::vector<float> out(msg.data.size() / sizeof(float));
  std::memcpy(out.data(), msg.data.data(), out.size() * sizeof(float));
  return out;
}
}  // namespace

TEST(PclConversions, ToRosMsgWritesPclLayoutAndOverwritesTheHeader)
{
  pcl::PointCloud<pcl::PointXYZ> cloud;
  cloud.push_back({1.0f, 2.0f, 3.0f});
  cloud.push_back({-4.0f, 5.5f, 0.25f});
  cloud.push_back({7.0f, 8.0f, 9.0f});
  cloud.header.frame_id = "base_footprint";
  cloud.header.stamp = 1700000000123456ull;  // µs

  sensor_msgs::msg::PointCloud2 msg;
  msg.header.frame_id = "stale";
  msg.is_bigendian = true;
  pcl::toROSMsg(cloud, msg);

  EXPECT_EQ(msg.header.frame_id, "base_footprint");
  EXPECT_EQ(msg.header.stamp.sec, 1700000000);
  EXPECT_EQ(msg.header.stamp.nanosec, 123456000u);
  EXPECT_EQ(msg.width, 3u);
  EXPECT_EQ(msg.height, 1u);
  EXPECT_EQ(msg.point_step, 16u);
  EXPECT_EQ(msg.row_step, 48u);
  EXPECT_FALSE(msg.is_bigendian);
  EXPECT_TRUE(msg.is_dense);
  ASSERT_EQ(msg.fields.size(), 3u);
  const char * names[] = {"x", "y", "z"};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(msg.fields[i].name, names[i]);
    EXPECT_EQ(msg.fields[i].offset, 4u * i);
    EXPECT_EQ(msg.fields[i].datatype, sensor_msgs::msg::PointField::FLOAT32);
    EXPECT_EQ(msg.fields[i].count, 1u);
  }
  ASSERT_EQ(msg.data.size(), 48u);
  const auto f = floats_of(msg);
  EXPECT_EQ(f[4], -4.0f);
  EXPECT_EQ(f[5], 5.5f);
  EXPECT_EQ(f[6], 0.25f);
  EXPECT_EQ(f[10], 9.0f);

  pcl::PointCloud<pcl::PointXYZ> back;
  pcl::fromROSMsg(msg, back);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[1].y, 5.5f);
  EXPECT_EQ(back.header.frame_id, "base_footprint");
  EXPECT_EQ(back.header.stamp, 1700000000123456ull);
}

TEST(PclConversions, EmptyAndOrganisedCloudsKeepTheirShape)
{
  pcl::PointCloud<pcl::PointXYZ> empty;
  sensor_msgs::msg::PointCloud2 msg;
  msg.header.frame_id = "stale";
  msg.header.stamp.sec = 42;
  msg.data.assign(10, 1);
  pcl::toROSMsg(empty, msg);
  EXPECT_EQ(msg.header.frame_id, "");
  EXPECT_EQ(msg.header.stamp.sec, 0);
  EXPECT_EQ(msg.header.stamp.nanosec, 0u);
  EXPECT_EQ(msg.width, 0u);
  EXPECT_EQ(msg.height, 1u);
  EXPECT_EQ(msg.row_step, 0u);
  EXPECT_EQ(msg.point_step, 16u);
  EXPECT_EQ(msg.fields.size(), 3u);
  EXPECT_TRUE(msg.data.empty());

  pcl::PointCloud<pcl::PointXYZ> grid(2, 3, pcl::PointXYZ(1, 1, 1));
  grid.is_dense = false;
  pcl::toROSMsg(grid, msg);
  EXPECT_EQ(msg.width, 2u);
  EXPECT_EQ(msg.height, 3u);
  EXPECT_EQ(msg.row_step, 32u);
  EXPECT_EQ(msg.data.size(), 96u);
  EXPECT_FALSE(msg.is_dense);
}

TEST(PclConversions, HeaderStampsAreMicrosecondsInPcl)
{
  std_msgs::msg::Header header;
  header.frame_id = "camera1_depth_optical_frame";
  header.stamp.sec = 5;
  header.stamp.nanosec = 999999;
  pcl::PCLHeader pcl_header;
  pcl_header.seq = 17;
  pcl_conversions::toPCL(header, pcl_header);
  EXPECT_EQ(pcl_header.stamp, 5000999ull);  // truncated to whole µs
  EXPECT_EQ(pcl_header.seq, 0u);
  EXPECT_EQ(pcl_header.frame_id, header.frame_id);

  std_msgs::msg::Header back;
  pcl_conversions::fromPCL(pcl_header, back);
  EXPECT_EQ(back.stamp.sec, 5);
  EXPECT_EQ(back.stamp.nanosec, 999000u);
  EXPECT_EQ(pcl_conversions::toPCL(rclcpp::Time(2, 500, RCL_SYSTEM_TIME)), 2000000ull);
  EXPECT_EQ(pcl_conversions::fromPCL(3ull).nanoseconds(), 3000);
}

TEST(PclRos, TransformAsMatrixMapsSourcePointsIntoTheTarget)
{
  // 90 degrees about z, quaternion deliberately scaled by 2: the formula normalises it.
  geometry_msgs::msg::TransformStamped tf;
  tf.header.frame_id = "base_footprint";
  tf.child_frame_id = "camera1_depth_optical_frame";
  tf.transform.translation.x = 0.1;
  tf.transform.translation.y = -0.2;
  tf.transform.translation.z = 0.3;
  tf.transform.rotation.z = 2 * std::sqrt(0.5);
  tf.transform.rotation.w = 2 * std::sqrt(0.5);

  Eigen::Matrix4f m = Eigen::Matrix4f::Constant(7.0f);
  pcl_ros::transformAsMatrix(tf, m);
  Eigen::Matrix4f expected;
  expected << 0, -1, 0, 0.1f,  //
      1, 0, 0, -0.2f,          //
      0, 0, 1, 0.3f,           //
      0, 0, 0, 1;
  EXPECT_TRUE(m.isApprox(expected, 1e-6f)) << m;
  EXPECT_EQ(m(3, 0), 0.0f);
  EXPECT_EQ(m(3, 3), 1.0f);

  // Half a turn about x, no translation: y and z flip sign.
  tf.transform.translation = geometry_msgs::msg::Vector3();
  tf.transform.rotation.x = 1;
  tf.transform.rotation.z = 0;
  tf.transform.rotation.w = 0;
  pcl_ros::transformAsMatrix(tf, m);
  const Eigen::Vector4f p = m * Eigen::Vector4f(1, 2, 3, 1);
  EXPECT_TRUE(p.isApprox(Eigen::Vector4f(1, -2, -3, 1), 1e-6f)) << p.transpose();
}
