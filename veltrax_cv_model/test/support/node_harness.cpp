#include "support/node_harness.hpp"

#include <cstdarg>
#include <cstdio>
#include <thread>

#include "rcutils/logging.h"

namespace veltrax_cv_model::testing
{
namespace
{

std::mutex g_log_mutex;
std::vector<LogLine> g_log_lines;
rcutils_logging_output_handler_t g_previous_handler = nullptr;

void capture_handler(const rcutils_log_location_t * location, int severity, const char * name,
                     rcutils_time_point_value_t timestamp, const char * format, va_list * args)
{
  va_list copy;
  va_copy(copy, *args);
  char buffer[4096];
  std::vsnprintf(buffer, sizeof(buffer), format, copy);
  va_end(copy);
  {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log_lines.push_back(LogLine{severity, name ? name : "", buffer});
  }
  if (g_previous_handler != nullptr) {
    g_previous_handler(location, severity, name, timestamp, format, args);
  }
}

const char * const kImageTopics[4] = {"/berxel_camera1/berxel_camera1/color/color_raw",
                                      "/berxel_camera1/berxel_camera1/depth/depth_raw",
                                      "/berxel_camera2/berxel_camera2/color/color_raw",
                                      "/berxel_camera2/berxel_camera2/depth/depth_raw"};

}  // namespace

LogCapture::LogCapture()
{
  clear();
  g_previous_handler = rcutils_logging_get_output_handler();
  rcutils_logging_set_output_handler(capture_handler);
}

LogCapture::~LogCapture() { rcutils_logging_set_output_handler(g_previous_handler); }

std::vector<LogLine> LogCapture::lines() const
{
  std::lock_guard<std::mutex> lock(g_log_mutex);
  return g_log_lines;
}

std::vector<std::string> LogCapture::messages(int severity) const
{
  std::vector<std::string> result;
  for (const LogLine & line : lines()) {
    if (line.severity == severity) result.push_back(line.message);
  }
  return result;
}

std::size_t LogCapture::count(const std::string & text) const
{
  std::size_t n = 0;
  for (const LogLine & line : lines()) {
    if (line.message.find(text) != std::string::npos) ++n;
  }
  return n;
}

void LogCapture::clear()
{
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_log_lines.clear();
}

RosSession::RosSession(const std::vector<std::string> & ros_args)
{
  std::vector<std::string> args{"test", "--ros-args"};
  args.insert(args.end(), ros_args.begin(), ros_args.end());
  std::vector<const char *> argv;
  for (const std::string & arg : args) argv.push_back(arg.c_str());
  rclcpp::init(static_cast<int>(argv.size()), argv.data());
}

RosSession::~RosSession() { rclcpp::shutdown(); }

Probe::Probe() : node(std::make_shared<rclcpp::Node>("probe"))
{
  color1 = node->create_publisher<sensor_msgs::msg::Image>(kImageTopics[0], 10);
  depth1 = node->create_publisher<sensor_msgs::msg::Image>(kImageTopics[1], 10);
  color2 = node->create_publisher<sensor_msgs::msg::Image>(kImageTopics[2], 10);
  depth2 = node->create_publisher<sensor_msgs::msg::Image>(kImageTopics[3], 10);
  info1 = node->create_publisher<sensor_msgs::msg::CameraInfo>(
      "/berxel_camera1/berxel_camera1/depth/camera_info", 10);
  info2 = node->create_publisher<sensor_msgs::msg::CameraInfo>(
      "/berxel_camera2/berxel_camera2/depth/camera_info", 10);
  cmd_vel = node->create_publisher<geometry_msgs::msg::Twist>("/cmd_vel", 10);
  tf_static = node->create_publisher<tf2_msgs::msg::TFMessage>("/tf_static",
                                                               rclcpp::QoS(100).transient_local());

  const rclcpp::QoS keep_all = rclcpp::QoS(1000);
  auto record = [this](auto & list) {
    return [this, &list](const auto & msg) {
      std::lock_guard<std::mutex> lock(mutex_);
      list.push_back(msg);
    };
  };
  subscriptions_.push_back(node->create_subscription<sensor_msgs::msg::PointCloud2>(
      "/perception/yolov5/obstacle_pointcloud", keep_all,
      std::function<void(const sensor_msgs::msg::PointCloud2 &)>(record(obstacle_clouds_))));
  subscriptions_.push_back(node->create_subscription<veltrax_protocol::msg::Trashes>(
      "/perception/yolov5/trashes", keep_all,
      std::function<void(const veltrax_protocol::msg::Trashes &)>(record(trashes_))));
  subscriptions_.push_back(node->create_subscription<veltrax_protocol::msg::Trashes>(
      "/perception/yolov5/person", keep_all,
      std::function<void(const veltrax_protocol::msg::Trashes &)>(record(persons_))));
  for (int camera = 0; camera < 2; ++camera) {
    const std::string suffix = std::to_string(camera + 1);
    subscriptions_.push_back(node->create_subscription<sensor_msgs::msg::Image>(
        "/perception/yolov5/image" + suffix, keep_all,
        std::function<void(const sensor_msgs::msg::Image &)>(record(overlays_[camera]))));
    subscriptions_.push_back(node->create_subscription<sensor_msgs::msg::PointCloud2>(
        "/perception/yolov5/detect_filtered_results" + suffix, keep_all,
        std::function<void(const sensor_msgs::msg::PointCloud2 &)>(record(debug_clouds_[camera]))));
  }
}

std::vector<sensor_msgs::msg::PointCloud2> Probe::obstacle_clouds() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return obstacle_clouds_;
}

std::vector<veltrax_protocol::msg::Trashes> Probe::trashes() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return trashes_;
}

std::vector<veltrax_protocol::msg::Trashes> Probe::persons() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return persons_;
}

std::vector<sensor_msgs::msg::Image> Probe::overlays(int camera) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return overlays_[camera - 1];
}

std::vector<sensor_msgs::msg::PointCloud2> Probe::debug_clouds(int camera) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return debug_clouds_[camera - 1];
}

bool spin_until(rclcpp::executors::SingleThreadedExecutor & executor,
                const std::function<bool()> & done, std::chrono::milliseconds timeout)
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    executor.spin_once(std::chrono::milliseconds(10));
  }
  return true;
}

void spin_for(rclcpp::executors::SingleThreadedExecutor & executor,
              std::chrono::milliseconds duration)
{
  spin_until(
      executor, [] { return false; }, duration);
}

sensor_msgs::msg::CameraInfo camera_info(double fx, double fy, double cx, double cy)
{
  sensor_msgs::msg::CameraInfo info;
  info.k = {fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0};
  return info;
}

sensor_msgs::msg::Image image(uint32_t width, uint32_t height, const std::string & encoding,
                              const std::string & frame_id, const rclcpp::Time & stamp,
                              uint8_t fill)
{
  sensor_msgs::msg::Image msg;
  msg.header.frame_id = frame_id;
  msg.header.stamp = stamp;
  msg.width = width;
  msg.height = height;
  msg.encoding = encoding;
  const uint32_t bytes_per_pixel = encoding == "16UC1" || encoding == "mono16" ? 2
                                   : encoding == "mono8"                       ? 1
                                                                               : 3;
  msg.step = width * bytes_per_pixel;
  msg.data.assign(static_cast<std::size_t>(msg.step) * height, fill);
  return msg;
}

}  // namespace veltrax_cv_model::testing
