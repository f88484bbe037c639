// The drive stage: the real node, fed frame by frame through the in-process host graph.
#include "demo/drive.hpp"

#include <pcl_conversions/pcl_conversions.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "demo/recording.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_demo
{

namespace
{

using veltrax_cv_model::Yolov5sPredictor;
using veltrax_harness::Arrival;
using veltrax_harness::Output;
using veltrax_harness::Probe;

constexpr double kFramePeriod_s = 0.1;
// Reports run on the node's web worker, after the outline of their cycle.
constexpr auto kReportGrace = std::chrono::milliseconds(500);
constexpr auto kStartDelay = std::chrono::milliseconds(200);

bool interrupted(const RunOptions & options)
{
  return options.interrupt != nullptr && options.interrupt->load();
}

double seconds(const builtin_interfaces::msg::Time & stamp)
{
  return static_cast<double>(stamp.sec) + static_cast<double>(stamp.nanosec) * 1e-9;
}

// rclcpp, the node, the probe and the spinning thread, torn down in the right order whatever
// happens in between.
class Session
{
public:
  explicit Session(const std::vector<std::string> & ros_args) : ros_(ros_args, "run_demo")
  {
    try {
      node = std::make_shared<Yolov5sPredictor>();
      probe = std::make_unique<Probe>("run_demo");
    } catch (...) {
      node.reset();
      // A signal after init shuts the context down, and creating a node on it fails.
      if (!rclcpp::ok()) {
        throw Interrupted();
      }
      throw;
    }
    executor_.add_node(node);
    executor_.add_node(probe->node);
    spinner_.emplace(executor_);
  }

  void stop()
  {
    if (spinner_) {
      spinner_.reset();
      executor_.remove_node(node);
      executor_.remove_node(probe->node);
    }
  }

  ~Session()
  {
    stop();
    node.reset();
    probe.reset();
  }

  Session(const Session &) = delete;
  Session & operator=(const Session &) = delete;

  std::shared_ptr<Yolov5sPredictor> node;
  std::unique_ptr<Probe> probe;

private:
  veltrax_harness::RosSession ros_;
  rclcpp::executors::SingleThreadedExecutor executor_;
  std::optional<veltrax_harness::SpinThread> spinner_;
};

bool has_outline(const std::vector<Arrival> & arrivals, double stamp_s)
{
  return std::any_of(arrivals.begin(), arrivals.end(), [&](const Arrival & a) {
    return a.output == Output::kObstacleCloud &&
           std::abs(seconds(a.stamp) - stamp_s) < kStampMatch_s;
  });
}

cv::Mat bgr_from_message(const sensor_msgs::msg::Image & msg)
{
  if ((msg.encoding != "bgr8" && msg.encoding != "rgb8") ||
      msg.data.size() < static_cast<std::size_t>(msg.step) * msg.height) {
    return cv::Mat();
  }
  const cv::Mat view(static_cast<int>(msg.height), static_cast<int>(msg.width), CV_8UC3,
                     const_cast<uint8_t *>(msg.data.data()), msg.step);
  cv::Mat bgr;
  if (msg.encoding == "rgb8") {
    cv::cvtColor(view, bgr, cv::COLOR_RGB2BGR);
  } else {
    bgr = view.clone();
  }
  return bgr;
}

Clock::duration timeout_of(const RunOptions & options)
{
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.timeout_s));
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

void check_node(const Yolov5sPredictor & node, const std::string & log_path)
{
  if (node.get_parameter("obj_class_num").as_int() != kDemoClasses ||
      !node.get_parameter("debug").as_bool() || !node.get_parameter("draw_result").as_bool()) {
    throw std::runtime_error("the node did not take the demo's parameter overrides");
  }
  if (!node.npu_ready()) {
    throw std::runtime_error("the node could not set up its model (see " + log_path + ")");
  }
}

// The cameras with the node's crop ranges along their optical axes.
std::array<CameraView, 2> crop_views(const Yolov5sPredictor & node,
                                     const std::array<veltrax_scene::CameraModel, 2> & cameras)
{
  std::array<CameraView, 2> views;
  for (std::size_t c = 0; c < 2; ++c) {
    const std::string camera = "camera" + std::to_string(c + 1);
    views[c].model = cameras[c];
    // As the node crops: in single precision.
    views[c].z_min_m = static_cast<float>(node.get_parameter(camera + "_min").as_double());
    views[c].z_max_m = static_cast<float>(node.get_parameter(camera + "_max").as_double());
  }
  return views;
}

// The probe's records as plain records, in arrival order.
void collect(const Probe & probe, DriveResult & run)
{
  const std::vector<sensor_msgs::msg::PointCloud2> clouds = probe.obstacle_clouds();
  const std::vector<veltrax_protocol::msg::Trashes> trashes = probe.trashes();
  const std::vector<veltrax_protocol::msg::Trashes> persons = probe.persons();
  for (const Arrival & arrival : probe.arrivals()) {
    if (arrival.output == Output::kObstacleCloud) {
      run.outlines.push_back(
          {seconds(arrival.stamp), arrival.at, cloud_from(clouds.at(arrival.index))});
    } else if (arrival.output == Output::kTrashes || arrival.output == Output::kPersons) {
      const bool person = arrival.output == Output::kPersons;
      const veltrax_protocol::msg::Trashes & message =
          person ? persons.at(arrival.index) : trashes.at(arrival.index);
      for (const veltrax_protocol::msg::Trash & trash : message.trashes) {
        run.reports.push_back(
            {person ? veltrax_harness::topics::kPersons : veltrax_harness::topics::kTrashes,
             seconds(trash.image.header.stamp), trash.x, trash.y, bgr_from_message(trash.image)});
      }
    }
  }
  for (int camera = 1; camera <= 2; ++camera) {
    for (const sensor_msgs::msg::Image & overlay : probe.overlays(camera)) {
      run.overlays_bgr[static_cast<std::size_t>(camera - 1)].push_back(bgr_from_message(overlay));
    }
  }
}

}  // namespace

double publish_frame(const Probe & probe, const std::array<veltrax_scene::CameraModel, 2> & cameras,
                     const std::array<cv::Mat, 2> & color_rgb,
                     const std::array<cv::Mat, 2> & depth_mm, Traffic * record)
{
  namespace topics = veltrax_harness::topics;
  const rclcpp::Time stamp = probe.node->now();
  for (std::size_t c = 0; c < 2; ++c) {
    const veltrax_scene::CameraModel & camera = cameras[c];
    sensor_msgs::msg::CameraInfo info =
        veltrax_harness::camera_info(camera.fx, camera.fy, camera.cx, camera.cy);
    info.header.frame_id = camera.frame_id;
    info.header.stamp = stamp;
    info.width = static_cast<uint32_t>(camera.width);
    info.height = static_cast<uint32_t>(camera.height);
    sensor_msgs::msg::Image color =
        veltrax_harness::image(color_rgb[c], "rgb8", camera.frame_id, stamp);
    sensor_msgs::msg::Image depth =
        veltrax_harness::image(depth_mm[c], "16UC1", camera.frame_id, stamp);
    probe.publish_camera(static_cast<int>(c) + 1, info, color, depth);
    if (record != nullptr) {
      const std::int64_t now_ns = stamp.nanoseconds();
      record->camera_infos.push_back({topics::kCameraInfo[c], now_ns, std::move(info)});
      record->images.push_back({topics::kColor[c], now_ns, std::move(color)});
      record->images.push_back({topics::kDepth[c], now_ns, std::move(depth)});
    }
  }
  return seconds(stamp);
}

void publish_mounts(const Probe & probe, const std::array<veltrax_scene::CameraModel, 2> & cameras,
                    const std::array<Eigen::Isometry3d, 2> & camera_to_base, Traffic * record)
{
  const rclcpp::Time stamp = probe.node->now();
  tf2_msgs::msg::TFMessage tf;
  for (std::size_t c = 0; c < 2; ++c) {
    tf.transforms.push_back(veltrax_harness::transform(camera_to_base[c], veltrax_scene::kBaseFrame,
                                                       cameras[c].frame_id, stamp));
  }
  probe.tf_static->publish(tf);
  if (record != nullptr) {
    record->transforms.push_back({veltrax_harness::topics::kTfStatic, stamp.nanoseconds(), tf});
  }
}

void wait_for_outline(const Probe & probe, double stamp_s, Clock::duration timeout,
                      std::chrono::milliseconds poll, const std::function<bool()> & stopped)
{
  const auto deadline = Clock::now() + timeout;
  while (!has_outline(probe.arrivals(), stamp_s) && Clock::now() < deadline && !stopped()) {
    std::this_thread::sleep_for(poll);
  }
}

ReceivedCounts received(const Probe & probe)
{
  ReceivedCounts counts;
  for (const Arrival & a : probe.arrivals()) {
    counts.outlines += a.output == Output::kObstacleCloud ? 1 : 0;
    counts.reports += a.output == Output::kTrashes || a.output == Output::kPersons ? 1 : 0;
  }
  return counts;
}

DriveResult drive_node(const Source & source, const RunOptions & options,
                       const std::vector<std::string> & ros_args, const std::string & log_path,
                       bool tty)
{
  const int frame_count = static_cast<int>(source.color_rgb.size());
  const auto publish = [&](const Probe & probe, DriveResult & run, Traffic * record,
                           const std::function<bool()> & stopped) {
    run.frame_stamps_s.assign(static_cast<std::size_t>(frame_count), 0.0);
    run.published_at.resize(static_cast<std::size_t>(frame_count));
    publish_mounts(probe, source.cameras, source.camera_to_base, record);
    const auto start = Clock::now() + kStartDelay;
    for (int k = 0; k < frame_count; ++k) {
      if (options.fast && k > 0) {
        wait_for_outline(probe, run.frame_stamps_s[static_cast<std::size_t>(k - 1)],
                         timeout_of(options), std::chrono::milliseconds(1), stopped);
      } else if (!options.fast) {
        std::this_thread::sleep_until(start +
                                      std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(k * kFramePeriod_s)));
      }
      if (stopped()) {
        throw Interrupted();
      }
      const auto frame = static_cast<std::size_t>(k);
      run.frame_stamps_s[frame] = publish_frame(probe, source.cameras, source.color_rgb[frame],
                                                source.depth_mm[frame], record);
      run.published_at[frame] = Clock::now();
      run.published = k + 1;
      if (options.progress && (tty || k % 10 == 9 || k + 1 == frame_count)) {
        const ReceivedCounts counts = received(probe);
        std::printf("%srun_demo: frame %d/%d published, %zu outlines, %zu reports received%s",
                    tty ? "\r" : "", k + 1, frame_count, counts.outlines, counts.reports,
                    tty ? "" : "\n");
        std::fflush(stdout);
      }
    }
  };
  return drive_feed(publish, source.cameras, options, ros_args, log_path, tty);
}

DriveResult drive_feed(const InputFeed & feed,
                       const std::array<veltrax_scene::CameraModel, 2> & cameras,
                       const RunOptions & options, const std::vector<std::string> & ros_args,
                       const std::string & log_path, bool tty)
{
  DriveResult run;
  // rclcpp's own signal handler shuts its context down, and the node's executor with it.
  const std::function<bool()> stopped = [&options] {
    return interrupted(options) || !rclcpp::ok();
  };
  if (interrupted(options)) {
    throw Interrupted();
  }
  veltrax_harness::LogCapture log(log_path);
  // The node's lines up to its end count, so the session ends before the log does.
  std::optional<Session> session_holder(std::in_place, ros_args);
  Session & session = *session_holder;
  check_node(*session.node, log_path);
  run.views = crop_views(*session.node, cameras);

  const Probe & probe = *session.probe;
  if (!probe.wait_for_node()) {
    throw std::runtime_error("the node's topics did not match the driver's within 10 s");
  }
  const std::shared_ptr<Traffic> traffic = options.record ? std::make_shared<Traffic>() : nullptr;
  const Clock::time_point steady_origin = Clock::now();
  const std::int64_t origin_ns = probe.node->now().nanoseconds();
  feed(probe, run, traffic.get(), stopped);
  if (run.published > 0) {
    wait_for_outline(probe, run.frame_stamps_s[static_cast<std::size_t>(run.published - 1)],
                     timeout_of(options), std::chrono::milliseconds(5), stopped);
  }
  if (!stopped()) {
    std::this_thread::sleep_for(kReportGrace);
  }
  session.stop();
  if (stopped()) {
    throw Interrupted();
  }
  if (options.progress && tty) {
    const ReceivedCounts counts = received(probe);
    std::printf("\rrun_demo: %d frames published, %zu outlines, %zu reports received\n",
                run.published, counts.outlines, counts.reports);
  }
  collect(probe, run);
  if (traffic) {
    add_outputs(probe, steady_origin, origin_ns, *traffic);
    run.traffic = traffic;
  }
  session_holder.reset();
  run.node_error_lines = static_cast<int>(log.count_at_least(RCUTILS_LOG_SEVERITY_ERROR));
  return run;
}

}  // namespace veltrax_demo
