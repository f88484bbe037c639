// The demo runner: the real node, fed frame by frame through the in-process host graph.
#include "demo/demo_runner.hpp"

#include <pcl/io/pcd_io.h>
#include <pcl_conversions/pcl_conversions.h>

#include <host_rknn/host_rknn.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "demo/evaluation.hpp"
#include "demo/top_down.hpp"
#include "rclcpp/rclcpp.hpp"
#include "rcutils/logging.h"
#include "scene/scene.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_protocol/msg/trashes.hpp"

namespace veltrax_demo
{

namespace
{

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using veltrax_cv_model::Yolov5sPredictor;

constexpr double kPi = 3.14159265358979323846;
constexpr double kFramePeriod_s = 0.1;
constexpr double kClusterGap_m = 0.1;
constexpr double kRobotRadius_m = 0.3;  // drawing only
constexpr double kPixelsPerMetre = 200.0;
// Stamps come back from the outline's float conversion to within a nanosecond; frames are
// 100 ms apart (fast mode: at least one cycle apart).
constexpr double kStampMatch_s = 1e-4;
// Reports run on the node's web worker, after the outline of their cycle.
constexpr auto kReportGrace = std::chrono::milliseconds(500);
constexpr auto kStartDelay = std::chrono::milliseconds(200);
constexpr int kDemoClasses = 8;   // the host models' classes
constexpr int kKeyTolerance = 4;  // the colour-key model's tolerance

const char * const kTrashTopic = "/perception/yolov5/trashes";
const char * const kPersonTopic = "/perception/yolov5/person";

bool interrupted(const RunOptions & options)
{
  return options.interrupt != nullptr && options.interrupt->load();
}

// ---------------------------------------------------------------------------------------------
// Node log: everything goes to out/node.log so the progress line stays readable.

std::mutex g_log_mutex;
std::FILE * g_log_file = nullptr;
std::atomic<int> g_log_errors{0};

void log_to_file(const rcutils_log_location_t *, int severity, const char * name,
                 rcutils_time_point_value_t, const char * format, va_list * args)
{
  va_list copy;
  va_copy(copy, *args);
  char buffer[4096];
  std::vsnprintf(buffer, sizeof(buffer), format, copy);
  va_end(copy);
  // Several of the node's formats end in a newline of their own.
  std::size_t length = std::strlen(buffer);
  while (length > 0 && buffer[length - 1] == '\n') {
    buffer[--length] = '\0';
  }
  if (severity >= RCUTILS_LOG_SEVERITY_ERROR) {
    ++g_log_errors;
  }
  std::lock_guard<std::mutex> lock(g_log_mutex);
  if (g_log_file != nullptr) {
    const char * level = severity >= RCUTILS_LOG_SEVERITY_FATAL   ? "FATAL"
                         : severity >= RCUTILS_LOG_SEVERITY_ERROR ? "ERROR"
                         : severity >= RCUTILS_LOG_SEVERITY_WARN  ? "WARN"
                         : severity >= RCUTILS_LOG_SEVERITY_INFO  ? "INFO"
                                                                  : "DEBUG";
    std::fprintf(g_log_file, "[%s] [%s]: %s\n", level, name != nullptr ? name : "", buffer);
  }
}

}  // namespace

LogRedirect::LogRedirect(const std::string & path)
{
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_log_file = std::fopen(path.c_str(), "w");
  if (g_log_file == nullptr) {
    throw std::runtime_error("cannot write " + path);
  }
  g_log_errors = 0;
  previous_ = rcutils_logging_get_output_handler();
  rcutils_logging_set_output_handler(log_to_file);
}

LogRedirect::~LogRedirect()
{
  rcutils_logging_set_output_handler(previous_);
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::fclose(g_log_file);
  g_log_file = nullptr;
}

namespace
{

// ---------------------------------------------------------------------------------------------
// Frame sources.

struct Source
{
  std::string mode;
  std::array<veltrax_scene::CameraModel, 2> cameras;  // intrinsics, frame ids, image size
  std::array<Eigen::Isometry3d, 2> camera_to_base;
  std::vector<std::array<cv::Mat, 2>> color_rgb;  // per frame, per camera
  std::vector<std::array<cv::Mat, 2>> depth_mm;
  std::optional<veltrax_scene::Scene> scene;   // ground truth
  std::optional<host_rknn::ModelSpec> script;  // real frames: what the model detects
};

Source generated_scene(const RunOptions & options, bool show_progress, bool tty)
{
  veltrax_scene::DemoOptions demo;
  demo.frames = options.frames;
  demo.seed = options.seed;
  Source source;
  source.mode = "scene";
  source.scene = veltrax_scene::make_demo_scene(demo);
  for (int k = 0; k < source.scene->frame_count(); ++k) {
    if (interrupted(options)) {
      throw Interrupted();
    }
    if (show_progress && (tty || k == 0)) {
      std::printf(tty ? "\rrun_demo: rendering frame %d/%d" : "run_demo: rendering %d frames",
                  tty ? k + 1 : source.scene->frame_count(), source.scene->frame_count());
      std::fflush(stdout);
    }
    veltrax_scene::Frame frame = veltrax_scene::render_frame(*source.scene, k);
    source.color_rgb.push_back({frame.views[0].color_rgb, frame.views[1].color_rgb});
    source.depth_mm.push_back({frame.views[0].depth_mm, frame.views[1].depth_mm});
  }
  if (show_progress) {
    std::printf("\n");
  }
  return source;
}

cv::Mat read_png(const std::string & path, int flags)
{
  cv::Mat image = cv::imread(path, flags);
  if (image.empty()) {
    throw std::runtime_error("cannot read " + path);
  }
  return image;
}

cv::Mat read_rgb(const std::string & path)
{
  cv::Mat rgb;
  cv::cvtColor(read_png(path, cv::IMREAD_COLOR), rgb, cv::COLOR_BGR2RGB);
  return rgb;
}

cv::Mat read_depth(const std::string & path)
{
  cv::Mat depth = read_png(path, cv::IMREAD_ANYDEPTH);
  if (depth.type() != CV_16UC1) {
    throw std::runtime_error(path + " is not a 16-bit depth image");
  }
  return depth;
}

Source loaded_scene(const std::string & dir)
{
  Source source;
  source.mode = "scene";
  source.scene = veltrax_scene::load_scene(dir);
  for (int k = 0; k < source.scene->frame_count(); ++k) {
    std::array<cv::Mat, 2> color;
    std::array<cv::Mat, 2> depth;
    for (int c = 0; c < 2; ++c) {
      color[static_cast<std::size_t>(c)] =
          read_rgb(veltrax_scene::frame_image_path(dir, k, c, "color"));
      depth[static_cast<std::size_t>(c)] =
          read_depth(veltrax_scene::frame_image_path(dir, k, c, "depth"));
    }
    source.color_rgb.push_back(color);
    source.depth_mm.push_back(depth);
  }
  return source;
}

// The real frames: camera -> base_footprint as given in test/data/rgbd/README.md (a floor fit).
Eigen::Isometry3d real_camera_to_base(const Eigen::Matrix3d & rows, double height_m)
{
  Eigen::Isometry3d transform = Eigen::Isometry3d::Identity();
  // The README rounds to four decimals; the nearest rotation keeps tf2 well-formed.
  transform.linear() = Eigen::Quaterniond(rows).normalized().toRotationMatrix();
  transform.translation() = Eigen::Vector3d(0.0, 0.0, height_m);
  return transform;
}

host_rknn::Detection image_box(int class_id, double left, double top, double right, double bottom)
{
  // The node resizes 640 x 480 to the model's 640 x 640.
  constexpr double kRowScale = 640.0 / 480.0;
  host_rknn::Detection detection;
  detection.class_id = class_id;
  detection.x1 = static_cast<float>(left);
  detection.y1 = static_cast<float>(top * kRowScale);
  detection.x2 = static_cast<float>(right);
  detection.y2 = static_cast<float>(bottom * kRowScale);
  return detection;
}

Source real_frames(const RunOptions & options)
{
  const fs::path dir(options.real_dir);
  Source source;
  source.mode = "real";
  const std::array<std::string, 2> names{"milk_cartoon", "five_people"};
  Eigen::Matrix3d milk_cartoon;
  milk_cartoon << 0.0029, -0.5714, 0.8207, -1.0000, -0.0051, 0.0, 0.0042, -0.8207, -0.5714;
  Eigen::Matrix3d five_people;
  five_people << 0.0008, -0.0766, 0.9971, -0.9999, -0.0104, 0.0, 0.0104, -0.9970, -0.0766;
  source.camera_to_base = {real_camera_to_base(milk_cartoon, 0.4649),
                           real_camera_to_base(five_people, 1.2661)};
  std::array<cv::Mat, 2> color;
  std::array<cv::Mat, 2> depth;
  for (std::size_t c = 0; c < 2; ++c) {
    const fs::path folder = dir / names[c];
    color[c] = read_rgb((folder / (names[c] + "_color.png")).string());
    depth[c] = read_depth((folder / (names[c] + "_depth_mm.png")).string());
    veltrax_scene::CameraModel & camera = source.cameras[c];
    camera.name = c == 0 ? "camera1" : "camera2";
    camera.frame_id = camera.name + "_depth_optical_frame";
    camera.width = color[c].cols;
    camera.height = color[c].rows;
    camera.fx = camera.fy = 525.0;
    camera.cx = 319.5;
    camera.cy = 239.5;
  }
  for (int k = 0; k < std::max(1, options.frames); ++k) {
    source.color_rgb.push_back(color);
    source.depth_mm.push_back(depth);
  }
  // Boxes read off the colour images (pixels of the 640 x 480 image).
  host_rknn::ScriptedRun run;
  run.slot1 = {image_box(4, 92, 135, 197, 291),   // detergent bottle, left
               image_box(3, 233, 57, 326, 232),   // milk carton
               image_box(4, 400, 69, 498, 258)};  // bleach bottle, right
  run.slot2 = {image_box(6, 17, 63, 155, 479), image_box(6, 143, 95, 245, 479),
               image_box(6, 279, 103, 375, 442), image_box(6, 362, 104, 468, 452),
               image_box(6, 460, 50, 605, 479)};
  host_rknn::ModelSpec script_model;
  script_model.backend = host_rknn::Backend::kScripted;
  script_model.runs = {run};
  source.script = script_model;
  return source;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Messages.

sensor_msgs::msg::Image image_message(const cv::Mat & image, const std::string & encoding,
                                      const std::string & frame_id,
                                      const builtin_interfaces::msg::Time & stamp)
{
  sensor_msgs::msg::Image msg;
  msg.header.frame_id = frame_id;
  msg.header.stamp = stamp;
  msg.width = static_cast<uint32_t>(image.cols);
  msg.height = static_cast<uint32_t>(image.rows);
  msg.encoding = encoding;
  msg.is_bigendian = 0;
  msg.step = static_cast<uint32_t>(image.cols * image.elemSize());
  msg.data.resize(static_cast<std::size_t>(msg.step) * msg.height);
  for (int row = 0; row < image.rows; ++row) {
    std::copy(image.ptr<uint8_t>(row), image.ptr<uint8_t>(row) + msg.step,
              msg.data.begin() + static_cast<std::ptrdiff_t>(row) * msg.step);
  }
  return msg;
}

sensor_msgs::msg::CameraInfo info_message(const veltrax_scene::CameraModel & camera,
                                          const builtin_interfaces::msg::Time & stamp)
{
  sensor_msgs::msg::CameraInfo info;
  info.header.frame_id = camera.frame_id;
  info.header.stamp = stamp;
  info.width = static_cast<uint32_t>(camera.width);
  info.height = static_cast<uint32_t>(camera.height);
  info.distortion_model = "plumb_bob";
  info.d = {0.0, 0.0, 0.0, 0.0, 0.0};
  info.k = {camera.fx, 0.0, camera.cx, 0.0, camera.fy, camera.cy, 0.0, 0.0, 1.0};
  info.r = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  info.p = {camera.fx, 0.0, camera.cx, 0.0, 0.0, camera.fy, camera.cy, 0.0, 0.0, 0.0, 1.0, 0.0};
  return info;
}

geometry_msgs::msg::TransformStamped transform_message(const Eigen::Isometry3d & camera_to_base,
                                                       const std::string & frame_id,
                                                       const builtin_interfaces::msg::Time & stamp)
{
  geometry_msgs::msg::TransformStamped transform;
  transform.header.frame_id = veltrax_scene::kBaseFrame;
  transform.header.stamp = stamp;
  transform.child_frame_id = frame_id;
  const Eigen::Quaterniond q(camera_to_base.rotation());
  transform.transform.translation.x = camera_to_base.translation().x();
  transform.transform.translation.y = camera_to_base.translation().y();
  transform.transform.translation.z = camera_to_base.translation().z();
  transform.transform.rotation.x = q.x();
  transform.transform.rotation.y = q.y();
  transform.transform.rotation.z = q.z();
  transform.transform.rotation.w = q.w();
  return transform;
}

namespace
{

double seconds(const builtin_interfaces::msg::Time & stamp)
{
  return static_cast<double>(stamp.sec) + static_cast<double>(stamp.nanosec) * 1e-9;
}

// ---------------------------------------------------------------------------------------------
// The probe: publishes the node's inputs and records its outputs with their arrival times.

struct OutlineMessage
{
  sensor_msgs::msg::PointCloud2 cloud;
  Clock::time_point received;
};

struct ReportMessage
{
  std::string topic;
  veltrax_protocol::msg::Trashes trashes;
};

class Probe
{
public:
  Probe() : node(std::make_shared<rclcpp::Node>("run_demo"))
  {
    for (int c = 0; c < 2; ++c) {
      color[c] = node->create_publisher<sensor_msgs::msg::Image>(kColorTopics[c], 10);
      depth[c] = node->create_publisher<sensor_msgs::msg::Image>(kDepthTopics[c], 10);
      info[c] = node->create_publisher<sensor_msgs::msg::CameraInfo>(kInfoTopics[c], 10);
    }
    tf_static = node->create_publisher<tf2_msgs::msg::TFMessage>(
        "/tf_static", rclcpp::QoS(100).transient_local());

    const rclcpp::QoS keep_all(10000);
    subscriptions_.push_back(node->create_subscription<sensor_msgs::msg::PointCloud2>(
        kOutlineTopic, keep_all,
        std::function<void(const sensor_msgs::msg::PointCloud2 &)>(
            [this](const sensor_msgs::msg::PointCloud2 & msg) {
              std::lock_guard<std::mutex> lock(mutex_);
              outlines_.push_back({msg, Clock::now()});
            })));
    for (const char * topic : {kTrashTopic, kPersonTopic}) {
      subscriptions_.push_back(node->create_subscription<veltrax_protocol::msg::Trashes>(
          topic, keep_all,
          std::function<void(const veltrax_protocol::msg::Trashes &)>(
              [this, topic](const veltrax_protocol::msg::Trashes & msg) {
                std::lock_guard<std::mutex> lock(mutex_);
                reports_.push_back({topic, msg});
              })));
    }
    for (int c = 0; c < 2; ++c) {
      subscriptions_.push_back(node->create_subscription<sensor_msgs::msg::Image>(
          "/perception/yolov5/image" + std::to_string(c + 1), keep_all,
          std::function<void(const sensor_msgs::msg::Image &)>(
              [this, c](const sensor_msgs::msg::Image & msg) {
                std::lock_guard<std::mutex> lock(mutex_);
                overlays_[c].push_back(msg);
              })));
    }
  }

  /// Whether an outline stamped within kStampMatch_s of `stamp_s` has arrived.
  bool has_outline(double stamp_s) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(outlines_.begin(), outlines_.end(), [&](const OutlineMessage & m) {
      return std::abs(seconds(m.cloud.header.stamp) - stamp_s) < kStampMatch_s;
    });
  }
  int outline_count() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(outlines_.size());
  }
  int report_count() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(reports_.size());
  }
  std::vector<OutlineMessage> outlines() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return outlines_;
  }
  std::vector<ReportMessage> reports() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  std::vector<sensor_msgs::msg::Image> overlays(int camera) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return overlays_[camera];
  }

  rclcpp::Node::SharedPtr node;
  std::array<rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr, 2> color;
  std::array<rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr, 2> depth;
  std::array<rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr, 2> info;
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr tf_static;

private:
  mutable std::mutex mutex_;
  std::vector<OutlineMessage> outlines_;
  std::vector<ReportMessage> reports_;
  std::array<std::vector<sensor_msgs::msg::Image>, 2> overlays_;
  std::vector<rclcpp::SubscriptionBase::SharedPtr> subscriptions_;
};

// rclcpp, the node, the probe and the spinning thread, torn down in the right order whatever
// happens in between.
class Session
{
public:
  explicit Session(const std::vector<std::string> & ros_args)
  {
    std::vector<const char *> argv;
    for (const std::string & arg : ros_args) argv.push_back(arg.c_str());
    rclcpp::init(static_cast<int>(argv.size()), argv.data());
    try {
      node = std::make_shared<Yolov5sPredictor>();
      probe = std::make_unique<Probe>();
    } catch (...) {
      node.reset();
      // A signal after init shuts the context down, and creating a node on it fails.
      const bool signalled = !rclcpp::ok();
      rclcpp::shutdown();
      if (signalled) {
        throw Interrupted();
      }
      throw;
    }
    executor_.add_node(node);
    executor_.add_node(probe->node);
    spinner_ = std::thread([this] {
      executor_.spin();
      spun_.store(true);
    });
  }

  void stop()
  {
    if (spinner_.joinable()) {
      // A cancel() before the thread has entered spin() is lost: repeat it until spin() returned.
      while (!spun_.load()) {
        executor_.cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      spinner_.join();
      executor_.remove_node(node);
      executor_.remove_node(probe->node);
    }
  }

  ~Session()
  {
    stop();
    node.reset();
    probe.reset();
    rclcpp::shutdown();
  }

  Session(const Session &) = delete;
  Session & operator=(const Session &) = delete;

  std::shared_ptr<Yolov5sPredictor> node;
  std::unique_ptr<Probe> probe;

private:
  rclcpp::executors::SingleThreadedExecutor executor_;
  std::atomic<bool> spun_{false};
  std::thread spinner_;
};

// ---------------------------------------------------------------------------------------------
// Output helpers.

std::string frame_name(int frame)
{
  char name[16];
  std::snprintf(name, sizeof(name), "%04d", frame);
  return name;
}

// Drawings are mostly flat and compress well at the strongest level; camera pictures take several
// times longer there for little gain, so they use the fastest.
enum class PngKind { kDrawing, kPhoto };

void write_png(const fs::path & path, const cv::Mat & image, PngKind kind)
{
  const int level = kind == PngKind::kDrawing ? 9 : 1;
  if (!cv::imwrite(path.string(), image, {cv::IMWRITE_PNG_COMPRESSION, level})) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

cv::Mat bgr_from_message(const sensor_msgs::msg::Image & msg)
{
  const int type = CV_8UC3;
  if ((msg.encoding != "bgr8" && msg.encoding != "rgb8") ||
      msg.data.size() < static_cast<std::size_t>(msg.step) * msg.height) {
    return cv::Mat();
  }
  const cv::Mat view(static_cast<int>(msg.height), static_cast<int>(msg.width), type,
                     const_cast<uint8_t *>(msg.data.data()), msg.step);
  cv::Mat bgr;
  if (msg.encoding == "rgb8") {
    cv::cvtColor(view, bgr, cv::COLOR_RGB2BGR);
  } else {
    bgr = view.clone();
  }
  return bgr;
}

// Class of a crop of the demo scene: the key colour most of its pixels carry.
int key_colour_class(const cv::Mat & bgr)
{
  std::array<int, host_rknn::kKeyColourCount> counts{};
  for (int row = 0; row < bgr.rows; ++row) {
    const cv::Vec3b * px = bgr.ptr<cv::Vec3b>(row);
    for (int col = 0; col < bgr.cols; ++col) {
      for (std::size_t k = 0; k < counts.size(); ++k) {
        const host_rknn::KeyColour key = host_rknn::key_colours()[k];
        if (std::abs(px[col][2] - key.r) <= kKeyTolerance &&
            std::abs(px[col][1] - key.g) <= kKeyTolerance &&
            std::abs(px[col][0] - key.b) <= kKeyTolerance) {
          ++counts[k];
          break;
        }
      }
    }
  }
  const auto best = std::max_element(counts.begin(), counts.end());
  return *best > 0 ? static_cast<int>(best - counts.begin()) : -1;
}

// Class of a crop of the real frames: the scripted camera 1 box of the nearest size.
int scripted_class(const host_rknn::ModelSpec & script, const cv::Mat & crop, int image_height)
{
  const double row_scale = image_height / 640.0;
  int best_class = -1;
  double best = std::numeric_limits<double>::infinity();
  for (const host_rknn::Detection & d : script.runs.front().slot1) {
    const double difference =
        std::abs((d.x2 - d.x1) - crop.cols) + std::abs((d.y2 - d.y1) * row_scale - crop.rows);
    if (is_trash_class(d.class_id) && difference < best) {
      best = difference;
      best_class = d.class_id;
    }
  }
  return best_class;
}

// PCL's conversion indexes the first point even of an empty message.
pcl::PointCloud<pcl::PointXYZ> cloud_from(const sensor_msgs::msg::PointCloud2 & msg)
{
  pcl::PointCloud<pcl::PointXYZ> cloud;
  if (msg.width * msg.height > 0) {
    pcl::fromROSMsg(msg, cloud);
  }
  return cloud;
}

std::vector<Point2> outline_points(const sensor_msgs::msg::PointCloud2 & msg)
{
  const pcl::PointCloud<pcl::PointXYZ> cloud = cloud_from(msg);
  std::vector<Point2> points;
  points.reserve(cloud.size());
  for (const pcl::PointXYZ & p : cloud) {
    points.emplace_back(p.x, p.y);
  }
  return points;
}

FieldOfView field_of_view(const veltrax_scene::CameraModel & camera,
                          const Eigen::Isometry3d & camera_to_base, double reach_m,
                          std::size_t index)
{
  FieldOfView fov;
  // Different places for the names, in case both cameras look the same way.
  fov.label_at = index == 0 ? 0.9 : 0.7;
  fov.apex = camera_to_base.translation().head<2>();
  const Eigen::Vector3d axis = camera_to_base.linear().col(2);
  fov.yaw_rad = std::atan2(axis.y(), axis.x());
  fov.opening_rad = 2.0 * std::atan(0.5 * camera.width / camera.fx);
  fov.reach_m = reach_m;
  return fov;
}

Point2 to_world(const veltrax_scene::Scene & scene, int frame, const Point2 & p)
{
  const Eigen::Vector3d w = scene.robot_poses.at(static_cast<std::size_t>(frame)).base_to_world() *
                            Eigen::Vector3d(p.x(), p.y(), 0.0);
  return w.head<2>();
}

std::string json_number(double value)
{
  if (!std::isfinite(value)) {
    return "null";
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.4f", value);
  return text;
}

std::string json_string(const std::string & text)
{
  std::string out = "\"";
  for (char ch : text) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
    }
    out += ch;
  }
  return out + "\"";
}

std::string json_counts(const std::map<std::string, int> & counts)
{
  std::string out = "{";
  for (const auto & [label, count] : counts) {
    out += (out.size() > 1 ? ", " : "") + json_string(label) + ": " + std::to_string(count);
  }
  return out + "}";
}

std::string counts_text(const std::map<std::string, int> & counts)
{
  std::string out;
  for (const auto & [label, count] : counts) {
    out += (out.empty() ? "" : ", ") + label + " " + std::to_string(count);
  }
  return out.empty() ? "none" : out;
}

// ---------------------------------------------------------------------------------------------
// Pictures.

constexpr double kMapXMin_m = -0.6;
constexpr double kMapXMax_m = 3.4;
constexpr double kMapYMin_m = -1.6;
constexpr double kMapYMax_m = 1.6;
constexpr int kLegendWidth_px = 270;

TopDownCanvas make_canvas()
{
  return TopDownCanvas(kMapXMin_m, kMapXMax_m, kMapYMin_m, kMapYMax_m, kPixelsPerMetre,
                       kLegendWidth_px);
}

void common_legend(TopDownCanvas & canvas, bool with_truth)
{
  canvas.legend(TopDownCanvas::Mark::kDot, colours::kOutline, "outline point");
  if (with_truth) {
    canvas.legend(TopDownCanvas::Mark::kDot, colours::kMissed, "outline point > 0.1 m off");
    for (int class_id : {3, 4, 5, 6, 1}) {
      canvas.legend(TopDownCanvas::Mark::kSquare, colours::footprint(class_id),
                    "true footprint: " + veltrax_scene::class_label(class_id));
    }
  }
  canvas.legend(TopDownCanvas::Mark::kCross, colours::kTrashReport, "trash report");
  canvas.legend(TopDownCanvas::Mark::kCross, colours::kPersonReport, "person report");
  canvas.legend(TopDownCanvas::Mark::kLine, colours::kCamera1, "camera 1 field of view");
  canvas.legend(TopDownCanvas::Mark::kLine, colours::kCamera2, "camera 2 field of view");
  canvas.legend(TopDownCanvas::Mark::kLine, colours::kRobot, "robot (drawn 0.3 m radius)");
  canvas.legend(TopDownCanvas::Mark::kLine, cv::Scalar(180, 180, 180), "grid 0.5 m");
}

}  // namespace

// What the probe collected while the node ran.
struct Collected
{
  std::vector<double> frame_stamps;  // per frame, seconds
  std::vector<Clock::time_point> published_at;
  std::vector<OutlineMessage> outlines;
  std::vector<ReportMessage> reports;
  std::array<std::vector<sensor_msgs::msg::Image>, 2> overlays;
  std::array<CameraView, 2> views;  // cameras with the node's crop ranges
  int published{0};
};

// Starts the node with `ros_args`, publishes the static transforms once and every frame of
// `source`, and collects the outputs until the last frame's outline and its reports are in.
Collected drive_node(const Source & source, const RunOptions & options,
                     const std::vector<std::string> & ros_args, const fs::path & out, bool tty)
{
  const int frame_count = static_cast<int>(source.color_rgb.size());
  Collected run;
  run.frame_stamps.assign(static_cast<std::size_t>(frame_count), 0.0);
  run.published_at.resize(static_cast<std::size_t>(frame_count));
  // rclcpp's own signal handler shuts its context down, and the node's executor with it.
  const auto stopped = [&options] { return interrupted(options) || !rclcpp::ok(); };
  if (interrupted(options)) {
    throw Interrupted();
  }
  LogRedirect log((out / "node.log").string());
  Session session(ros_args);
  Yolov5sPredictor & node = *session.node;
  if (node.get_parameter("obj_class_num").as_int() != kDemoClasses ||
      !node.get_parameter("debug").as_bool() || !node.get_parameter("draw_result").as_bool()) {
    throw std::runtime_error("the node did not take the demo's parameter overrides");
  }
  if (!node.npu_ready()) {
    throw std::runtime_error("the node could not set up its model (see " +
                             (out / "node.log").string() + ")");
  }
  for (std::size_t c = 0; c < 2; ++c) {
    const std::string camera = "camera" + std::to_string(c + 1);
    run.views[c].z_min_m = static_cast<float>(node.get_parameter(camera + "_min").as_double());
    run.views[c].z_max_m = static_cast<float>(node.get_parameter(camera + "_max").as_double());
  }
  for (std::size_t c = 0; c < 2; ++c) {
    run.views[c].model = source.cameras[c];
  }

  Probe & probe = *session.probe;
  tf2_msgs::msg::TFMessage tf;
  for (std::size_t c = 0; c < 2; ++c) {
    tf.transforms.push_back(
        transform_message(source.camera_to_base[c], source.cameras[c].frame_id, node.now()));
  }
  probe.tf_static->publish(tf);

  const auto timeout =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout_s));
  const auto start = Clock::now() + kStartDelay;
  for (int k = 0; k < frame_count; ++k) {
    if (options.fast && k > 0) {
      const auto deadline = Clock::now() + timeout;
      while (!probe.has_outline(run.frame_stamps[static_cast<std::size_t>(k - 1)]) &&
             Clock::now() < deadline && !stopped()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    } else if (!options.fast) {
      std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(k * kFramePeriod_s)));
    }
    if (stopped()) {
      throw Interrupted();
    }
    const builtin_interfaces::msg::Time stamp = node.now();
    for (std::size_t c = 0; c < 2; ++c) {
      const std::string & frame_id = source.cameras[c].frame_id;
      probe.info[c]->publish(info_message(source.cameras[c], stamp));
      probe.color[c]->publish(
          image_message(source.color_rgb[static_cast<std::size_t>(k)][c], "rgb8", frame_id, stamp));
      probe.depth[c]->publish(
          image_message(source.depth_mm[static_cast<std::size_t>(k)][c], "16UC1", frame_id, stamp));
    }
    run.published_at[static_cast<std::size_t>(k)] = Clock::now();
    run.frame_stamps[static_cast<std::size_t>(k)] = seconds(stamp);
    run.published = k + 1;
    if (options.progress && (tty || k % 10 == 9 || k + 1 == frame_count)) {
      std::printf("%srun_demo: frame %d/%d published, %d outlines, %d reports received%s",
                  tty ? "\r" : "", k + 1, frame_count, probe.outline_count(), probe.report_count(),
                  tty ? "" : "\n");
      std::fflush(stdout);
    }
  }
  const auto deadline = Clock::now() + timeout;
  while (run.published > 0 &&
         !probe.has_outline(run.frame_stamps[static_cast<std::size_t>(run.published - 1)]) &&
         Clock::now() < deadline && !stopped()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!stopped()) {
    std::this_thread::sleep_for(kReportGrace);
  }
  session.stop();
  if (stopped()) {
    throw Interrupted();
  }
  if (options.progress && tty) {
    std::printf("\rrun_demo: %d frames published, %d outlines, %d reports received\n",
                run.published, probe.outline_count(), probe.report_count());
  }
  run.outlines = probe.outlines();
  run.reports = probe.reports();
  run.overlays = {probe.overlays(0), probe.overlays(1)};
  return run;
}

// ---------------------------------------------------------------------------------------------

namespace
{

// The host model of the scene modes.
std::string scene_model(const RunOptions & options)
{
  return options.model_file.empty()
             ? (fs::path(options.workspace_dir) / "host/rknn/models/colour_key_640.yaml").string()
             : options.model_file;
}

}  // namespace

std::vector<std::string> node_arguments(const RunOptions & options, const std::string & model)
{
  const fs::path workspace(options.workspace_dir);
  const std::string model_file = !model.empty() ? model : scene_model(options);
  const std::string params = options.params_file.empty()
                                 ? (workspace / "veltrax_cv_model/config/params.yaml").string()
                                 : options.params_file;
  if (!fs::exists(params)) {
    throw std::runtime_error("parameter file not found: " + params);
  }
  char leaf[64];
  std::snprintf(leaf, sizeof(leaf), "downsample_leaf_size:=%.6f", options.leaf_size_m);
  std::vector<std::string> ros_args{"run_demo",
                                    "--ros-args",
                                    "--params-file",
                                    params,
                                    "-p",
                                    "rknn_model_path:=" + fs::absolute(model_file).string(),
                                    "-p",
                                    "obj_class_num:=" + std::to_string(kDemoClasses),
                                    "-p",
                                    "debug:=true",
                                    "-p",
                                    "draw_result:=true",
                                    "-p",
                                    leaf};
  for (const std::string & param : options.params) {
    ros_args.push_back("-p");
    ros_args.push_back(param);
  }
  return ros_args;
}

RunSummary run_demo(const RunOptions & options)
{
  const auto wall_start = Clock::now();
  const fs::path out(options.out_dir);
  const bool tty = isatty(fileno(stdout)) != 0;
  for (const char * sub : {"overlays", "reports", "clouds", "topdown"}) {
    fs::create_directories(out / sub);
  }

  Source source = !options.real_dir.empty()    ? real_frames(options)
                  : !options.scene_dir.empty() ? loaded_scene(options.scene_dir)
                                               : generated_scene(options, options.progress, tty);
  if (source.scene) {
    for (std::size_t c = 0; c < 2; ++c) {
      source.cameras[c] = source.scene->cameras[c];
      source.camera_to_base[c] = source.scene->cameras[c].camera_to_base();
    }
  }
  std::string script_model;
  if (source.script) {
    script_model = (out / "scripted_model.yaml").string();
    if (!host_rknn::write_model_file(script_model, *source.script)) {
      throw std::runtime_error("cannot write " + script_model);
    }
  }

  const Collected run =
      drive_node(source, options, node_arguments(options, script_model), out, tty);
  const std::vector<double> & frame_stamps = run.frame_stamps;
  const std::vector<OutlineMessage> & outlines = run.outlines;
  const std::array<CameraView, 2> & views = run.views;

  // --- Evaluate and write ------------------------------------------------------------------------
  RunSummary summary;
  summary.mode = source.mode;
  summary.ground_truth = source.scene.has_value();
  summary.out_dir = out.string();
  summary.frames_published = run.published;
  summary.cycles = static_cast<int>(outlines.size());
  summary.node_error_lines = g_log_errors.load();

  auto frame_of = [&](const builtin_interfaces::msg::Time & stamp) {
    const double t = seconds(stamp);
    for (std::size_t k = 0; k < frame_stamps.size(); ++k) {
      if (std::abs(frame_stamps[k] - t) < kStampMatch_s) {
        return static_cast<int>(k);
      }
    }
    return -1;
  };

  std::vector<ObjectResult> objects;
  std::vector<std::vector<double>> shares;
  if (source.scene) {
    for (const veltrax_scene::SceneObject & object : source.scene->objects) {
      ObjectResult result;
      result.name = object.name;
      result.class_id = object.class_id;
      result.label = veltrax_scene::class_label(object.class_id);
      objects.push_back(result);
    }
    shares.resize(objects.size());
  }

  // Reports first: the per-frame pictures show them.
  std::map<int, std::vector<ReportRecord>> reports_by_frame;
  {
    std::ofstream jsonl(out / "reports.jsonl");
    if (!jsonl) {
      throw std::runtime_error("cannot write " + (out / "reports.jsonl").string());
    }
    int index = 0;
    for (const ReportMessage & message : run.reports) {
      const bool person = message.topic == kPersonTopic;
      for (const veltrax_protocol::msg::Trash & trash : message.trashes.trashes) {
        ReportRecord record;
        record.topic = message.topic;
        record.frame = frame_of(trash.image.header.stamp);
        record.stamp_s = seconds(trash.image.header.stamp);
        record.x_m = trash.x;
        record.y_m = trash.y;
        const cv::Mat crop = bgr_from_message(trash.image);
        int class_id = 6;
        if (!person) {
          class_id = source.script ? scripted_class(*source.script, crop, source.cameras[0].height)
                                   : key_colour_class(crop);
        }
        record.label = class_id >= 0 ? veltrax_scene::class_label(class_id) : "unknown";
        char name[64];
        std::snprintf(name, sizeof(name), "reports/%04d_f%s_%s.png", index++,
                      frame_name(std::max(record.frame, 0)).c_str(), person ? "person" : "trash");
        record.crop = name;
        if (!crop.empty()) {
          write_png(out / record.crop, crop, PngKind::kPhoto);
        }
        if (source.scene && record.frame >= 0) {
          const std::vector<veltrax_scene::ObjectTruth> truth =
              veltrax_scene::ground_truth(*source.scene, record.frame);
          const ReportMatch match = match_report(truth, class_id, {record.x_m, record.y_m});
          if (match.object >= 0) {
            ObjectResult & object = objects[static_cast<std::size_t>(match.object)];
            record.object = object.name;
            record.error_m = match.error_m;
            ++object.reports;
            object.report_error_max_m = std::max(object.report_error_max_m, match.error_m);
          }
        }
        ++summary.reports_per_class[record.label];
        ++(person ? summary.person_records : summary.trash_records);
        jsonl << "{\"frame\": " << record.frame << ", \"topic\": " << json_string(record.topic)
              << ", \"label\": " << json_string(record.label)
              << ", \"x\": " << json_number(record.x_m) << ", \"y\": " << json_number(record.y_m)
              << ", \"stamp\": " << json_number(record.stamp_s)
              << ", \"crop\": " << json_string(record.crop)
              << ", \"object\": " << json_string(record.object)
              << ", \"error_m\": " << (record.error_m >= 0.0 ? json_number(record.error_m) : "null")
              << "}\n";
        reports_by_frame[record.frame].push_back(record);
        summary.reports.push_back(record);
      }
    }
  }
  if (source.script) {
    for (const host_rknn::Detection & d : source.script->runs.front().slot1) {
      ++summary.scripted_per_class[veltrax_scene::class_label(d.class_id)];
    }
    for (const host_rknn::Detection & d : source.script->runs.front().slot2) {
      ++summary.scripted_per_class[veltrax_scene::class_label(d.class_id)];
    }
  }

  // Outlines: the first outline of every frame is scored and drawn; repeats of a frame (the
  // node's timer ticked twice on it) are saved as clouds only.
  std::vector<double> cycle_ms;
  std::map<int, int> seen;
  std::vector<Point2> world_points;
  std::vector<bool> world_point_far;
  int last_frame = -1;
  std::vector<Point2> last_points;
  for (std::size_t i = 0; i < outlines.size(); ++i) {
    const int frame = frame_of(outlines[i].cloud.header.stamp);
    if (frame < 0) {
      continue;
    }
    if (interrupted(options)) {
      throw Interrupted();
    }
    const int repeat = seen[frame]++;
    const pcl::PointCloud<pcl::PointXYZ> cloud = cloud_from(outlines[i].cloud);
    const std::string cloud_name =
        frame_name(frame) + "_outline" + (repeat > 0 ? "_r" + std::to_string(repeat) : "") + ".pcd";
    if (cloud.empty()) {
      // PCL refuses to write an empty cloud; an empty outline is still a result.
      std::ofstream(out / "clouds" / cloud_name)
          << "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z\n"
             "SIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 0\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\n"
             "POINTS 0\nDATA ascii\n";
    } else if (pcl::io::savePCDFileBinary((out / "clouds" / cloud_name).string(), cloud) != 0) {
      throw std::runtime_error("cannot write " + (out / "clouds" / cloud_name).string());
    }
    if (repeat > 0) {
      continue;
    }
    ++summary.frames_processed;
    FrameRecord frame_record;
    frame_record.frame = frame;
    frame_record.cycle_ms =
        std::chrono::duration<double, std::milli>(outlines[i].received -
                                                  run.published_at[static_cast<std::size_t>(frame)])
            .count();
    frame_record.far_points = -1;
    cycle_ms.push_back(frame_record.cycle_ms);
    for (std::size_t c = 0; c < 2; ++c) {
      if (i < run.overlays[c].size()) {
        const cv::Mat overlay = bgr_from_message(run.overlays[c][i]);
        if (!overlay.empty()) {
          write_png(
              out / "overlays" / (frame_name(frame) + "_cam" + std::to_string(c + 1) + ".png"),
              overlay, PngKind::kPhoto);
        }
      }
    }

    const std::vector<Point2> points = outline_points(outlines[i].cloud);
    last_frame = frame;
    last_points = points;
    frame_record.outline_points = static_cast<int>(points.size());
    TopDownCanvas canvas = make_canvas();
    for (std::size_t c = 0; c < 2; ++c) {
      canvas.field_of_view(
          field_of_view(source.cameras[c], source.camera_to_base[c], views[c].z_max_m, c),
          c == 0 ? colours::kCamera1 : colours::kCamera2, c == 0 ? "camera 1" : "camera 2");
    }
    canvas.robot({0.0, 0.0}, 0.0, kRobotRadius_m);
    std::vector<std::string> title{"frame " + std::to_string(frame) + " (base_footprint)",
                                   std::to_string(points.size()) + " outline points"};
    if (source.scene) {
      const FrameScore score = score_frame(*source.scene, views, frame, points);
      for (const veltrax_scene::ObjectTruth & truth : score.truth) {
        canvas.footprint(truth.footprint, truth.class_id, truth.name);
      }
      std::vector<Point2> covered;
      std::vector<Point2> missed;
      for (const ObjectScore & object : score.objects) {
        ObjectResult & result = objects[object.object];
        ++result.frames_in_view;
        ++summary.in_view_per_class[result.label];
        if (object.found) {
          ++result.frames_found;
          ++summary.outlined_per_class[result.label];
        }
        shares[object.object].push_back(object.share);
        for (std::size_t s = 0; s < object.samples.size(); ++s) {
          (object.covered[s] ? covered : missed).push_back(object.samples[s]);
        }
      }
      std::vector<Point2> near;
      std::vector<Point2> far;
      for (std::size_t p = 0; p < points.size(); ++p) {
        const bool is_far = score.point_error_m[p] > kFarTolerance_m;
        (is_far ? far : near).push_back(points[p]);
        world_points.push_back(to_world(*source.scene, frame, points[p]));
        world_point_far.push_back(is_far);
      }
      summary.outline_points += static_cast<int>(points.size());
      summary.far_points += score.far_points;
      frame_record.far_points = score.far_points;
      canvas.points(near, colours::kOutline, 3);
      canvas.points(far, colours::kMissed, 3);
      canvas.points(covered, colours::kCovered, 1);
      canvas.points(missed, colours::kMissed, 2);
      title.push_back(std::to_string(score.far_points) + " farther than 0.1 m from truth");
    } else {
      canvas.points(points, colours::kOutline, 3);
      summary.outline_points += static_cast<int>(points.size());
    }
    for (const ReportRecord & record : reports_by_frame[frame]) {
      canvas.cross({record.x_m, record.y_m},
                   record.topic == kPersonTopic ? colours::kPersonReport : colours::kTrashReport);
    }
    canvas.title(title);
    if (source.scene) {
      canvas.legend(TopDownCanvas::Mark::kDot, colours::kCovered, "camera-facing edge, covered");
      canvas.legend(TopDownCanvas::Mark::kDot, colours::kMissed, "camera-facing edge, missed");
    }
    common_legend(canvas, source.scene.has_value());
    write_png(out / "topdown" / (frame_name(frame) + ".png"), canvas.image(), PngKind::kDrawing);
    summary.frames.push_back(frame_record);
  }

  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (!shares[i].empty()) {
      double sum = 0.0;
      for (double share : shares[i]) sum += share;
      objects[i].share_mean = sum / static_cast<double>(shares[i].size());
      objects[i].share_min = *std::min_element(shares[i].begin(), shares[i].end());
    }
  }
  summary.objects = objects;
  summary.far_share = summary.outline_points > 0
                          ? static_cast<double>(summary.far_points) / summary.outline_points
                          : 0.0;
  summary.cycle_samples = static_cast<int>(cycle_ms.size());
  summary.cycle_p50_ms = quantile(cycle_ms, 0.5);
  summary.cycle_p90_ms = quantile(cycle_ms, 0.9);
  summary.cycle_p99_ms = quantile(cycle_ms, 0.99);
  summary.cycle_max_ms = quantile(cycle_ms, 1.0);
  std::vector<double> intervals_ms;
  for (std::size_t i = 1; i < outlines.size(); ++i) {
    intervals_ms.push_back(
        std::chrono::duration<double, std::milli>(outlines[i].received - outlines[i - 1].received)
            .count());
  }
  summary.outline_interval_p50_ms = quantile(intervals_ms, 0.5);

  for (const std::vector<int> & group : group_points(last_points, kClusterGap_m)) {
    ClusterRecord cluster;
    cluster.x_min_m = cluster.y_min_m = std::numeric_limits<double>::infinity();
    cluster.x_max_m = cluster.y_max_m = -std::numeric_limits<double>::infinity();
    for (int index : group) {
      const Point2 & p = last_points[static_cast<std::size_t>(index)];
      cluster.x_m += p.x();
      cluster.y_m += p.y();
      cluster.x_min_m = std::min(cluster.x_min_m, p.x());
      cluster.x_max_m = std::max(cluster.x_max_m, p.x());
      cluster.y_min_m = std::min(cluster.y_min_m, p.y());
      cluster.y_max_m = std::max(cluster.y_max_m, p.y());
    }
    cluster.points = static_cast<int>(group.size());
    cluster.x_m /= cluster.points;
    cluster.y_m /= cluster.points;
    summary.clusters.push_back(cluster);
  }

  // The summary picture: scene runs in the world frame (base_footprint of frame 0) with every
  // frame's outline; real runs in base_footprint with the last frame's outline.
  TopDownCanvas canvas = make_canvas();
  std::vector<std::string> title;
  if (source.scene) {
    const veltrax_scene::Scene & scene = *source.scene;
    const int first = 0;
    const int last = std::max(0, last_frame);
    for (std::size_t c = 0; c < 2; ++c) {
      FieldOfView fov =
          field_of_view(source.cameras[c], source.camera_to_base[c], views[c].z_max_m, c);
      fov.apex = to_world(scene, first, fov.apex);
      canvas.field_of_view(fov, c == 0 ? colours::kCamera1 : colours::kCamera2,
                           c == 0 ? "camera 1" : "camera 2");
    }
    canvas.robot(to_world(scene, first, {0.0, 0.0}), 0.0, kRobotRadius_m, true);
    canvas.robot(to_world(scene, last, {0.0, 0.0}), scene.robot_poses[last].yaw_rad,
                 kRobotRadius_m);
    for (const veltrax_scene::ObjectTruth & truth : veltrax_scene::ground_truth(scene, first)) {
      Polygon world;
      for (const Point2 & p : truth.footprint) world.push_back(to_world(scene, first, p));
      canvas.footprint(world, truth.class_id, truth.name);
    }
    std::vector<Point2> near;
    std::vector<Point2> far;
    for (std::size_t p = 0; p < world_points.size(); ++p) {
      (world_point_far[p] ? far : near).push_back(world_points[p]);
    }
    canvas.points(near, colours::kOutline, 2);
    canvas.points(far, colours::kMissed, 3);
    for (const ReportRecord & record : summary.reports) {
      if (record.frame >= 0) {
        canvas.cross(to_world(scene, record.frame, {record.x_m, record.y_m}),
                     record.topic == kPersonTopic ? colours::kPersonReport : colours::kTrashReport);
      }
    }
    char line[96];
    title.push_back("demo scene, world frame");
    std::snprintf(line, sizeof(line), "%d frames processed, robot x %.2f -> %.2f m",
                  summary.frames_processed, scene.robot_poses[first].x_m,
                  scene.robot_poses[last].x_m);
    title.push_back(line);
    std::snprintf(line, sizeof(line), "%d outline points, %d > 0.1 m off", summary.outline_points,
                  summary.far_points);
    title.push_back(line);
  } else {
    for (std::size_t c = 0; c < 2; ++c) {
      canvas.field_of_view(
          field_of_view(source.cameras[c], source.camera_to_base[c], views[c].z_max_m, c),
          c == 0 ? colours::kCamera1 : colours::kCamera2,
          c == 0 ? "camera 1 (milk_cartoon)" : "camera 2 (five_people)");
    }
    canvas.robot({0.0, 0.0}, 0.0, kRobotRadius_m);
    canvas.points(last_points, colours::kOutline, 3);
    for (const ReportRecord & record : summary.reports) {
      canvas.cross({record.x_m, record.y_m},
                   record.topic == kPersonTopic ? colours::kPersonReport : colours::kTrashReport);
    }
    title = {"real frames, base_footprint", "no ground truth",
             std::to_string(last_points.size()) + " outline points, " +
                 std::to_string(summary.clusters.size()) + " clusters"};
  }
  canvas.title(title);
  common_legend(canvas, source.scene.has_value());
  write_png(out / "summary.png", canvas.image(), PngKind::kDrawing);

  if (!options.compare_model.empty() && source.scene) {
    veltrax_cv_model::DecoderSettings settings;
    settings.obj_class_num = kDemoClasses;
    summary.compared_with = options.compare_model;
    summary.comparison =
        compare_models(options.compare_model, scene_model(options), source.color_rgb, settings);
  }
  summary.wall_s = std::chrono::duration<double>(Clock::now() - wall_start).count();
  std::ofstream json(out / "summary.json");
  json << summary_json(summary);
  if (!json) {
    throw std::runtime_error("cannot write " + (out / "summary.json").string());
  }
  return summary;
}

std::string summary_json(const RunSummary & s)
{
  std::ostringstream j;
  j << "{\n  \"mode\": " << json_string(s.mode)
    << ",\n  \"ground_truth\": " << (s.ground_truth ? "true" : "false")
    << ",\n  \"frames_published\": " << s.frames_published
    << ",\n  \"frames_processed\": " << s.frames_processed << ",\n  \"cycles\": " << s.cycles
    << ",\n  \"reports\": {\"trash_records\": " << s.trash_records
    << ", \"person_records\": " << s.person_records
    << ", \"per_class\": " << json_counts(s.reports_per_class) << "}"
    << ",\n  \"outlined_object_frames_per_class\": " << json_counts(s.outlined_per_class)
    << ",\n  \"in_view_object_frames_per_class\": " << json_counts(s.in_view_per_class)
    << ",\n  \"scripted_detections_per_cycle\": " << json_counts(s.scripted_per_class)
    << ",\n  \"objects\": [";
  for (std::size_t i = 0; i < s.objects.size(); ++i) {
    const ObjectResult & o = s.objects[i];
    j << (i > 0 ? "," : "") << "\n    {\"name\": " << json_string(o.name)
      << ", \"label\": " << json_string(o.label) << ", \"frames_in_view\": " << o.frames_in_view
      << ", \"frames_found\": " << o.frames_found
      << ", \"facing_share_mean\": " << json_number(o.share_mean)
      << ", \"facing_share_min\": " << json_number(o.share_min) << ", \"reports\": " << o.reports
      << ", \"report_error_max_m\": " << json_number(o.report_error_max_m) << "}";
  }
  j << "\n  ],\n  \"outline_points\": " << s.outline_points
    << ",\n  \"far_outline_points\": " << s.far_points
    << ",\n  \"far_outline_share\": " << json_number(s.far_share)
    << ",\n  \"cycle_ms\": {\"samples\": " << s.cycle_samples
    << ", \"p50\": " << json_number(s.cycle_p50_ms) << ", \"p90\": " << json_number(s.cycle_p90_ms)
    << ", \"p99\": " << json_number(s.cycle_p99_ms) << ", \"max\": " << json_number(s.cycle_max_ms)
    << ", \"outline_interval_p50\": " << json_number(s.outline_interval_p50_ms)
    << "},\n  \"frames\": [";
  for (std::size_t i = 0; i < s.frames.size(); ++i) {
    const FrameRecord & f = s.frames[i];
    j << (i > 0 ? "," : "") << "\n    {\"frame\": " << f.frame
      << ", \"outline_points\": " << f.outline_points
      << ", \"far_points\": " << (f.far_points >= 0 ? std::to_string(f.far_points) : "null")
      << ", \"cycle_ms\": " << json_number(f.cycle_ms) << "}";
  }
  j << "\n  ],\n  \"clusters_last_frame\": [";
  for (std::size_t i = 0; i < s.clusters.size(); ++i) {
    const ClusterRecord & c = s.clusters[i];
    j << (i > 0 ? "," : "") << "\n    {\"x\": " << json_number(c.x_m)
      << ", \"y\": " << json_number(c.y_m) << ", \"x_min\": " << json_number(c.x_min_m)
      << ", \"x_max\": " << json_number(c.x_max_m) << ", \"y_min\": " << json_number(c.y_min_m)
      << ", \"y_max\": " << json_number(c.y_max_m) << ", \"points\": " << c.points << "}";
  }
  j << "\n  ]";
  if (s.comparison) {
    const ModelComparison & c = *s.comparison;
    j << ",\n  \"model_comparison\": {\"reference\": " << json_string(s.compared_with)
      << ", \"reference_boxes\": " << c.matches.size() << ", \"found_within_px\": " << c.limit_px
      << ", \"found\": " << c.found_within_limit
      << ", \"max_difference_px\": " << c.max_difference_px << ", \"unmatched\": " << c.unmatched
      << "}";
  }
  j << ",\n  \"node_error_lines\": " << s.node_error_lines
    << ",\n  \"wall_s\": " << json_number(s.wall_s) << "\n}\n";
  return j.str();
}

void print_summary(std::FILE * f, const RunSummary & s)
{
  std::fprintf(f, "\n== run_demo summary (%s) ==\n", s.mode.c_str());
  std::fprintf(f, "frames: %d published, %d processed (%d outline messages)\n", s.frames_published,
               s.frames_processed, s.cycles);
  if (!s.scripted_per_class.empty()) {
    std::fprintf(f, "scripted detections per cycle: %s\n",
                 counts_text(s.scripted_per_class).c_str());
  }
  std::fprintf(f, "reports: %d on %s, %d on %s; per class: %s\n", s.trash_records, kTrashTopic,
               s.person_records, kPersonTopic, counts_text(s.reports_per_class).c_str());
  if (s.ground_truth) {
    std::fprintf(f, "outlined object-frames per class: %s (seen whole: %s)\n",
                 counts_text(s.outlined_per_class).c_str(),
                 counts_text(s.in_view_per_class).c_str());
    std::fprintf(f,
                 "per object: frames seen whole by a camera, frames outlined, share of the\n"
                 "camera-facing footprint boundary within 0.05 m of an outline point, reports:\n");
    for (const ObjectResult & o : s.objects) {
      std::fprintf(f, "  %-11s %-9s seen %3d  outlined %3d  share mean %.2f min %.2f",
                   o.name.c_str(), o.label.c_str(), o.frames_in_view, o.frames_found, o.share_mean,
                   o.share_min);
      if (o.reports > 0) {
        std::fprintf(f, "  reports %3d, max error %.3f m", o.reports, o.report_error_max_m);
      }
      std::fprintf(f, "\n");
    }
    std::fprintf(f,
                 "outline points: %d, of which %d (%.1f %%) farther than 0.1 m from every true "
                 "footprint\n",
                 s.outline_points, s.far_points, 100.0 * s.far_share);
  } else {
    std::fprintf(f, "no ground truth for the real frames: positions only\n");
    // The same frame is published again and again: one line per reported position.
    std::vector<std::pair<ReportRecord, int>> positions;
    for (const ReportRecord & r : s.reports) {
      auto same = std::find_if(positions.begin(), positions.end(), [&](const auto & p) {
        return p.first.topic == r.topic && p.first.label == r.label &&
               std::hypot(p.first.x_m - r.x_m, p.first.y_m - r.y_m) < 0.05;
      });
      if (same == positions.end()) {
        positions.emplace_back(r, 1);
      } else {
        ++same->second;
      }
    }
    for (const auto & [r, count] : positions) {
      std::fprintf(f, "  %-7s on %s at x %.3f y %.3f (base_footprint), %d records\n",
                   r.label.c_str(), r.topic.c_str(), r.x_m, r.y_m, count);
    }
    std::fprintf(f, "outline clusters of the last frame (gap <= 0.1 m):\n");
    for (const ClusterRecord & c : s.clusters) {
      std::fprintf(f, "  centre x %.2f y %.2f, x %.2f .. %.2f, y %.2f .. %.2f, %d points\n", c.x_m,
                   c.y_m, c.x_min_m, c.x_max_m, c.y_min_m, c.y_max_m, c.points);
    }
  }
  std::fprintf(f,
               "cycle time (frame published -> its outline received), %d frames: p50 %.0f ms, "
               "p90 %.0f ms, p99 %.0f ms, max %.0f ms\n",
               s.cycle_samples, s.cycle_p50_ms, s.cycle_p90_ms, s.cycle_p99_ms, s.cycle_max_ms);
  std::fprintf(f, "outline messages every %.0f ms (median; 100 ms while the node keeps up)\n",
               s.outline_interval_p50_ms);
  if (s.comparison) {
    const ModelComparison & c = *s.comparison;
    std::fprintf(f,
                 "detections against %s, outside the node on every frame: %d of %zu boxes found "
                 "within %d px (largest edge difference %d px), %d other boxes\n",
                 s.compared_with.c_str(), c.found_within_limit, c.matches.size(), c.limit_px,
                 c.max_difference_px, c.unmatched);
    for (const BoxMatch & m : c.matches) {
      if (!m.found) {
        std::fprintf(f, "  missed: frame %d camera %d class %d [%d %d %d %d]\n", m.frame, m.camera,
                     m.reference.class_id, m.reference.left, m.reference.top, m.reference.right,
                     m.reference.bottom);
      }
    }
  }
  std::fprintf(f, "node log: %s/node.log (%d ERROR lines)\n", s.out_dir.c_str(),
               s.node_error_lines);
  std::fprintf(f, "pictures: %s/summary.png, %s/topdown/, %s/overlays/, %s/reports/\n",
               s.out_dir.c_str(), s.out_dir.c_str(), s.out_dir.c_str(), s.out_dir.c_str());
  std::fprintf(f, "figures: %s/summary.json, %s/reports.jsonl; clouds: %s/clouds/ (%.1f s)\n",
               s.out_dir.c_str(), s.out_dir.c_str(), s.out_dir.c_str(), s.wall_s);
}

}  // namespace veltrax_demo
