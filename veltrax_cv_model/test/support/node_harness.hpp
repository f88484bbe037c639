// Drives a Yolov5sPredictor through the in-process graph: ROS arguments, captured log lines,
// a probe node that publishes the node's inputs and records its outputs.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_protocol/msg/trashes.hpp"

namespace veltrax_cv_model::testing
{

/// One line that went through the ROS logger.
struct LogLine
{
  int severity;
  std::string logger;
  std::string message;
};

/// Records every log line while alive, through rcutils' output handler (as on a real system).
class LogCapture
{
public:
  LogCapture();
  ~LogCapture();
  std::vector<LogLine> lines() const;
  /// Messages of `severity` (RCUTILS_LOG_SEVERITY_*), in order.
  std::vector<std::string> messages(int severity) const;
  /// How many messages contain `text`.
  std::size_t count(const std::string & text) const;
  void clear();
};

/// rclcpp::init with "--ros-args" + `ros_args` for the lifetime of the object.
class RosSession
{
public:
  explicit RosSession(const std::vector<std::string> & ros_args = {});
  ~RosSession();
};

/// Publishes the node's inputs and records everything it publishes.
class Probe
{
public:
  Probe();

  rclcpp::Node::SharedPtr node;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr color1;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr depth1;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr color2;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr depth2;
  rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr info1;
  rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr info2;
  rclcpp::Publisher<geometry_msgs::msg::Twist>::SharedPtr cmd_vel;
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr tf_static;

  std::vector<sensor_msgs::msg::PointCloud2> obstacle_clouds() const;
  std::vector<veltrax_protocol::msg::Trashes> trashes() const;
  std::vector<veltrax_protocol::msg::Trashes> persons() const;
  std::vector<sensor_msgs::msg::Image> overlays(int camera) const;
  std::vector<sensor_msgs::msg::PointCloud2> debug_clouds(int camera) const;

private:
  mutable std::mutex mutex_;
  std::vector<sensor_msgs::msg::PointCloud2> obstacle_clouds_;
  std::vector<veltrax_protocol::msg::Trashes> trashes_;
  std::vector<veltrax_protocol::msg::Trashes> persons_;
  std::vector<sensor_msgs::msg::Image> overlays_[2];
  std::vector<sensor_msgs::msg::PointCloud2> debug_clouds_[2];
  std::vector<rclcpp::SubscriptionBase::SharedPtr> subscriptions_;
};

/// Spins `executor` until `done` holds or `timeout` passes; true when `done` held.
bool spin_until(rclcpp::executors::SingleThreadedExecutor & executor,
                const std::function<bool()> & done,
                std::chrono::milliseconds timeout = std::chrono::seconds(30));

/// Spins `executor` for `duration`, timers included.
void spin_for(rclcpp::executors::SingleThreadedExecutor & executor,
              std::chrono::milliseconds duration);

/// A camera-info message with k = [fx 0 cx; 0 fy cy; 0 0 1].
sensor_msgs::msg::CameraInfo camera_info(double fx, double fy, double cx, double cy);

/// An image message of `encoding` filled with `fill`, stamped `stamp` in `frame_id`.
sensor_msgs::msg::Image image(uint32_t width, uint32_t height, const std::string & encoding,
                              const std::string & frame_id, const rclcpp::Time & stamp,
                              uint8_t fill = 0);

}  // namespace veltrax_cv_model::testing
