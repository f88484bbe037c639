// Drives a Yolov5sPredictor in this process on real ROS 2, for the node tests, the tools and the
// benchmarks: the ROS session, captured log lines, a probe node that publishes the node's inputs
// and records its outputs, spin helpers and message builders. Topic names: topics.hpp.
#pragma once

#include <Eigen/Geometry>
#include <opencv2/core.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "geometry_msgs/msg/twist.hpp"
#include "rclcpp/rclcpp.hpp"
#include "rcutils/logging.h"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "veltrax_harness/topics.hpp"
#include "veltrax_protocol/msg/trashes.hpp"

namespace veltrax_harness
{

/// One line that went through the ROS logger.
struct LogLine
{
  int severity;
  std::string logger;
  std::string message;
};

/// Takes every log line while alive, through rcutils' output handler (as on a real system), from
/// any thread. rcutils' handler carries no context, so the capture in force is found through one
/// pointer inside the harness; captures nest, and the newest one takes the lines first.
class LogCapture
{
public:
  /// Keeps the lines and passes them on to the handler in force before (the console).
  LogCapture();
  /// Writes each line to the file at `path` (created) as "[LEVEL] [logger]: message", without
  /// the message's trailing newlines, instead of the console; keeps none in memory. Throws
  /// std::runtime_error when the file cannot be written.
  explicit LogCapture(const std::string & path);
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture & operator=(const LogCapture &) = delete;

  std::vector<LogLine> lines() const;
  /// Messages of `severity` (RCUTILS_LOG_SEVERITY_*), in order.
  std::vector<std::string> messages(int severity) const;
  /// How many messages contain `text`.
  std::size_t count(const std::string & text) const;
  /// How many lines of `severity` or above came, kept or written.
  std::size_t count_at_least(int severity) const;
  void clear();

  /// rclcpp::init installs ROS's own output handler (console, /rosout, log file) over any capture
  /// made before it: RosSession calls this right after, so such a capture takes the lines again
  /// and passes them on to ROS's handler.
  static void take_back_output();

private:
  static void handle(const rcutils_log_location_t * location, int severity, const char * name,
                     rcutils_time_point_value_t timestamp, const char * format, va_list * args);
  void take(int severity, const char * name, const char * message);

  std::vector<LogLine> lines_;
  std::array<std::size_t, RCUTILS_LOG_SEVERITY_FATAL / 10 + 1> per_level_{};
  std::FILE * file_{nullptr};
  LogCapture * previous_capture_{nullptr};
  rcutils_logging_output_handler_t previous_handler_{nullptr};
};

/// Puts this process, and the processes it starts, on a DDS domain of its own on this machine:
/// ROS_LOCALHOST_ONLY=1 and the first ROS_DOMAIN_ID in 1..100 that no other running process
/// holds (a lock file per domain, held until the process ends), so that tests run in parallel
/// never see each other's topics. Returns the domain; the first call chooses it.
int use_private_domain();

/// rclcpp::init with `program`, "--ros-args" and `ros_args` for the lifetime of the object, on
/// the process's private domain (use_private_domain).
class RosSession
{
public:
  explicit RosSession(const std::vector<std::string> & ros_args = {},
                      const std::string & program = "test");
  ~RosSession();
  RosSession(const RosSession &) = delete;
  RosSession & operator=(const RosSession &) = delete;
};

/// Which of the node's outputs a recorded message came on.
enum class Output {
  kObstacleCloud,
  kTrashes,
  kPersons,
  kOverlay1,
  kOverlay2,
  kDebugCloud1,
  kDebugCloud2
};

/// One recorded message: its output, its place in that output's list, when it arrived (steady
/// clock) and its header stamp.
struct Arrival
{
  Output output;
  std::size_t index;
  std::chrono::steady_clock::time_point at;
  builtin_interfaces::msg::Time stamp;
};

/// Publishes the node's inputs and records everything it publishes. Recording runs in the
/// executor's callbacks; the accessors may be called from any thread and return copies.
class Probe
{
public:
  explicit Probe(const std::string & name = "probe");

  /// Camera `camera` (1 or 2): its camera info, then colour, then depth image.
  void publish_camera(int camera, const sensor_msgs::msg::CameraInfo & info,
                      const sensor_msgs::msg::Image & color,
                      const sensor_msgs::msg::Image & depth) const;

  /// Waits until the node's subscriptions have matched the probe's input publishers and the
  /// probe has matched the node's outline and report publishers: discovery takes a moment even
  /// within one process, and what is published before it is lost. True when all matched within
  /// `timeout`. Needs no spinning.
  bool wait_for_node(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  rclcpp::Node::SharedPtr node;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr color1;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr depth1;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr color2;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr depth2;
  rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr info1;
  rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr info2;
  rclcpp::Publisher<geometry_msgs::msg::Twist>::SharedPtr cmd_vel;
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr tf;
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr tf_static;

  std::vector<sensor_msgs::msg::PointCloud2> obstacle_clouds() const;
  std::vector<veltrax_protocol::msg::Trashes> trashes() const;
  std::vector<veltrax_protocol::msg::Trashes> persons() const;
  /// Overlays of camera `camera` (1 or 2).
  std::vector<sensor_msgs::msg::Image> overlays(int camera) const;
  std::vector<sensor_msgs::msg::PointCloud2> debug_clouds(int camera) const;
  /// Every recorded message in the order the probe took them, across outputs.
  std::vector<Arrival> arrivals() const;
  /// Forgets everything recorded so far (a long run keeps its memory flat).
  void clear();

private:
  mutable std::mutex mutex_;
  std::vector<sensor_msgs::msg::PointCloud2> obstacle_clouds_;
  std::vector<veltrax_protocol::msg::Trashes> trashes_;
  std::vector<veltrax_protocol::msg::Trashes> persons_;
  std::vector<sensor_msgs::msg::Image> overlays_[2];
  std::vector<sensor_msgs::msg::PointCloud2> debug_clouds_[2];
  std::vector<Arrival> arrivals_;
  std::vector<rclcpp::SubscriptionBase::SharedPtr> subscriptions_;
};

/// Spins `executor` until `done` holds or `timeout` passes; true when `done` held.
bool spin_until(rclcpp::Executor & executor, const std::function<bool()> & done,
                std::chrono::milliseconds timeout = std::chrono::seconds(30));

/// Spins `executor` for `duration`, timers included.
void spin_for(rclcpp::Executor & executor, std::chrono::milliseconds duration);

/// Spins `executor` on a thread of its own from construction until stop() or destruction.
class SpinThread
{
public:
  explicit SpinThread(rclcpp::Executor & executor);
  ~SpinThread();
  SpinThread(const SpinThread &) = delete;
  SpinThread & operator=(const SpinThread &) = delete;
  /// Returns once the executor has stopped spinning; callbacks run no more after it.
  void stop();

private:
  rclcpp::Executor & executor_;
  // Set by the spinning thread when spin() has returned; read by stop().
  std::atomic<bool> returned_{false};
  std::thread thread_;
};

/// A camera-info message of a pinhole camera without distortion ("plumb_bob", d zero):
/// k = [fx 0 cx; 0 fy cy; 0 0 1], r the identity, p = [k | 0]. Header and size are left empty.
sensor_msgs::msg::CameraInfo camera_info(double fx, double fy, double cx, double cy);

/// An image message of `encoding` filled with `fill`, stamped `stamp` in `frame_id`.
sensor_msgs::msg::Image image(uint32_t width, uint32_t height, const std::string & encoding,
                              const std::string & frame_id, const rclcpp::Time & stamp,
                              uint8_t fill = 0);

/// The pixels of `pixels` (rgb8: CV_8UC3 in RGB order; 16UC1: CV_16UC1) as an image message of
/// `encoding`, rows packed, stamped `stamp` in `frame_id`.
sensor_msgs::msg::Image image(const cv::Mat & pixels, const std::string & encoding,
                              const std::string & frame_id, const rclcpp::Time & stamp);

/// The transform `parent` -> `child`: where `child`'s axes lie in `parent` (`child_to_parent`).
geometry_msgs::msg::TransformStamped transform(const Eigen::Isometry3d & child_to_parent,
                                               const std::string & parent,
                                               const std::string & child,
                                               const rclcpp::Time & stamp);

}  // namespace veltrax_harness
