// Host stand-in for pcl_conversions/pcl_conversions.h (perception_pcl `ros2` branch 2.4.x, as
// released for Humble). Mirrors the stamp, header, point-field and point-cloud conversions and
// pcl::toROSMsg / fromROSMsg / moveFromROSMsg on top of real PCL (toPCLPointCloud2 /
// fromPCLPointCloud2), so layouts (fields, point_step 16 for PointXYZ, row_step, is_dense,
// is_bigendian false) are PCL's own. The header stamp goes through rclcpp::Time and doubles
// exactly as upstream does.
// Differs from Humble: no Image/PCLImage, PointIndices, ModelCoefficients or PolygonMesh
// conversions, and it includes only rclcpp/time.hpp rather than all of rclcpp.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <pcl/PCLHeader.h>
#include <pcl/PCLPointCloud2.h>
#include <pcl/PCLPointField.h>
#include <pcl/conversions.h>
#include <pcl/point_cloud.h>

#include "builtin_interfaces/msg/time.hpp"
#include "rclcpp/time.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "sensor_msgs/msg/point_field.hpp"
#include "std_msgs/msg/header.hpp"

namespace pcl_conversions
{
/** PCL stamps are microseconds; ROS stamps are nanoseconds. */
inline void fromPCL(const std::uint64_t & pcl_stamp, rclcpp::Time & stamp)
{
  stamp = rclcpp::Time(static_cast<int64_t>(pcl_stamp * 1000ull));
}

inline void toPCL(const rclcpp::Time & stamp, std::uint64_t & pcl_stamp)
{
  pcl_stamp = static_cast<std::uint64_t>(stamp.nanoseconds()) / 1000ull;
}

inline rclcpp::Time fromPCL(const std::uint64_t & pcl_stamp)
{
  rclcpp::Time stamp;
  fromPCL(pcl_stamp, stamp);
  return stamp;
}

inline std::uint64_t toPCL(const rclcpp::Time & stamp)
{
  std::uint64_t pcl_stamp;
  toPCL(stamp, pcl_stamp);
  return pcl_stamp;
}

/** PCLHeader <=> Header **/

inline void fromPCL(const pcl::PCLHeader & pcl_header, std_msgs::msg::Header & header)
{
  // Same arithmetic as upstream, doubles included (sub-microsecond rounding at today's epoch).
  auto time_stamp = rclcpp::Time(static_cast<int64_t>(pcl_header.stamp * 1000ull));
  header.stamp.sec = static_cast<int32_t>(time_stamp.seconds());
  header.stamp.nanosec =
      static_cast<uint32_t>(static_cast<double>(time_stamp.nanoseconds()) - header.stamp.sec * 1e9);
  header.frame_id = pcl_header.frame_id;
}

inline std_msgs::msg::Header fromPCL(const pcl::PCLHeader & pcl_header)
{
  std_msgs::msg::Header header;
  fromPCL(pcl_header, header);
  return header;
}

inline void toPCL(const std_msgs::msg::Header & header, pcl::PCLHeader & pcl_header)
{
  pcl_header.stamp = static_cast<std::uint64_t>(rclcpp::Time(header.stamp).nanoseconds()) / 1000ull;
  // ROS 2 headers carry no sequence number.
  pcl_header.seq = 0;
  pcl_header.frame_id = header.frame_id;
}

inline pcl::PCLHeader toPCL(const std_msgs::msg::Header & header)
{
  pcl::PCLHeader pcl_header;
  toPCL(header, pcl_header);
  return pcl_header;
}

/** PCLPointField <=> PointField **/

inline void fromPCL(const pcl::PCLPointField & pcl_pf, sensor_msgs::msg::PointField & pf)
{
  pf.name = pcl_pf.name;
  pf.offset = pcl_pf.offset;
  pf.datatype = pcl_pf.datatype;
  pf.count = pcl_pf.count;
}

inline void fromPCL(const std::vector<pcl::PCLPointField> & pcl_pfs,
                    std::vector<sensor_msgs::msg::PointField> & pfs)
{
  pfs.resize(pcl_pfs.size());
  for (std::size_t i = 0; i < pcl_pfs.size(); ++i) {
    fromPCL(pcl_pfs[i], pfs[i]);
  }
}

inline void toPCL(const sensor_msgs::msg::PointField & pf, pcl::PCLPointField & pcl_pf)
{
  pcl_pf.name = pf.name;
  pcl_pf.offset = pf.offset;
  pcl_pf.datatype = pf.datatype;
  pcl_pf.count = pf.count;
}

inline void toPCL(const std::vector<sensor_msgs::msg::PointField> & pfs,
                  std::vector<pcl::PCLPointField> & pcl_pfs)
{
  pcl_pfs.resize(pfs.size());
  for (std::size_t i = 0; i < pfs.size(); ++i) {
    toPCL(pfs[i], pcl_pfs[i]);
  }
}

/** PCLPointCloud2 <=> PointCloud2 **/

inline void copyPCLPointCloud2MetaData(const pcl::PCLPointCloud2 & pcl_pc2,
                                       sensor_msgs::msg::PointCloud2 & pc2)
{
  fromPCL(pcl_pc2.header, pc2.header);
  pc2.height = pcl_pc2.height;
  pc2.width = pcl_pc2.width;
  fromPCL(pcl_pc2.fields, pc2.fields);
  pc2.is_bigendian = pcl_pc2.is_bigendian;
  pc2.point_step = pcl_pc2.point_step;
  pc2.row_step = pcl_pc2.row_step;
  pc2.is_dense = pcl_pc2.is_dense;
}

inline void fromPCL(const pcl::PCLPointCloud2 & pcl_pc2, sensor_msgs::msg::PointCloud2 & pc2)
{
  copyPCLPointCloud2MetaData(pcl_pc2, pc2);
  pc2.data = pcl_pc2.data;
}

inline void moveFromPCL(pcl::PCLPointCloud2 & pcl_pc2, sensor_msgs::msg::PointCloud2 & pc2)
{
  copyPCLPointCloud2MetaData(pcl_pc2, pc2);
  pc2.data.swap(pcl_pc2.data);
}

inline void copyPointCloud2MetaData(const sensor_msgs::msg::PointCloud2 & pc2,
                                    pcl::PCLPointCloud2 & pcl_pc2)
{
  toPCL(pc2.header, pcl_pc2.header);
  pcl_pc2.height = pc2.height;
  pcl_pc2.width = pc2.width;
  toPCL(pc2.fields, pcl_pc2.fields);
  pcl_pc2.is_bigendian = pc2.is_bigendian;
  pcl_pc2.point_step = pc2.point_step;
  pcl_pc2.row_step = pc2.row_step;
  pcl_pc2.is_dense = pc2.is_dense;
}

inline void toPCL(const sensor_msgs::msg::PointCloud2 & pc2, pcl::PCLPointCloud2 & pcl_pc2)
{
  copyPointCloud2MetaData(pc2, pcl_pc2);
  pcl_pc2.data = pc2.data;
}

inline void moveToPCL(sensor_msgs::msg::PointCloud2 & pc2, pcl::PCLPointCloud2 & pcl_pc2)
{
  copyPointCloud2MetaData(pc2, pcl_pc2);
  pcl_pc2.data.swap(pc2.data);
}
}  // namespace pcl_conversions

namespace pcl
{
/// Overwrites the whole message, header included (frame id, stamp from the cloud's µs stamp).
template <typename T>
void toROSMsg(const pcl::PointCloud<T> & pcl_cloud, sensor_msgs::msg::PointCloud2 & cloud)
{
  pcl::PCLPointCloud2 pcl_pc2;
  pcl::toPCLPointCloud2(pcl_cloud, pcl_pc2);
  pcl_conversions::moveFromPCL(pcl_pc2, cloud);
}

/// Fields of T missing from the message are left untouched, as PCL does.
template <typename T>
void fromROSMsg(const sensor_msgs::msg::PointCloud2 & cloud, pcl::PointCloud<T> & pcl_cloud)
{
  pcl::PCLPointCloud2 pcl_pc2;
  pcl_conversions::toPCL(cloud, pcl_pc2);
  pcl::fromPCLPointCloud2(pcl_pc2, pcl_cloud);
}

template <typename T>
void moveFromROSMsg(sensor_msgs::msg::PointCloud2 & cloud, pcl::PointCloud<T> & pcl_cloud)
{
  pcl::PCLPointCloud2 pcl_pc2;
  pcl_conversions::moveToPCL(cloud, pcl_pc2);
  pcl::fromPCLPointCloud2(pcl_pc2, pcl_cloud);
}
}  // namespace pcl
