// The soak runner: the node and a probe node on one executor, spun and cycled on this thread.
#include "soak/soak.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "demo/demo_runner.hpp"
#include "demo/evaluation.hpp"
#include "rclcpp/rclcpp.hpp"
#include "scene/scene.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_soak
{

namespace
{

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using veltrax_cv_model::Yolov5sPredictor;

constexpr auto kTransformTimeout = std::chrono::seconds(5);

struct RenderedFrame
{
  std::array<cv::Mat, 2> color_rgb;
  std::array<cv::Mat, 2> depth_mm;
};

// rclcpp, the node and the probe on an executor that nothing spins by itself, torn down in the
// right order whatever happens in between.
class Graph
{
public:
  explicit Graph(const std::vector<std::string> & ros_args)
  {
    std::vector<const char *> argv;
    for (const std::string & arg : ros_args) argv.push_back(arg.c_str());
    rclcpp::init(static_cast<int>(argv.size()), argv.data());
    try {
      node = std::make_shared<Yolov5sPredictor>();
      probe = std::make_shared<rclcpp::Node>("soak");
    } catch (...) {
      node.reset();
      rclcpp::shutdown();
      throw;
    }
    executor.add_node(node);
    executor.add_node(probe);
  }

  ~Graph()
  {
    executor.remove_node(node);
    executor.remove_node(probe);
    node.reset();
    probe.reset();
    rclcpp::shutdown();
  }

  Graph(const Graph &) = delete;
  Graph & operator=(const Graph &) = delete;

  std::shared_ptr<Yolov5sPredictor> node;
  rclcpp::Node::SharedPtr probe;
  rclcpp::executors::SingleThreadedExecutor executor;
};

std::vector<RenderedFrame> render_frames(const veltrax_scene::Scene & scene)
{
  std::vector<RenderedFrame> frames;
  for (int k = 0; k < scene.frame_count(); ++k) {
    const veltrax_scene::Frame frame = veltrax_scene::render_frame(scene, k);
    frames.push_back({{frame.views[0].color_rgb, frame.views[1].color_rgb},
                      {frame.views[0].depth_mm, frame.views[1].depth_mm}});
  }
  return frames;
}

}  // namespace

int64_t resident_kib()
{
  std::FILE * statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) {
    return 0;
  }
  long long size_pages = 0;
  long long resident_pages = 0;
  const int read = std::fscanf(statm, "%lld %lld", &size_pages, &resident_pages);
  std::fclose(statm);
  return read == 2 ? resident_pages * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

SoakStats run_soak(const SoakOptions & options)
{
  if (options.cycles < 1 || options.frames < 1 || options.warmup < 0 ||
      options.warmup >= options.cycles) {
    throw std::runtime_error("soak needs at least one frame and one cycle after the warm-up");
  }
  const auto wall_start = Clock::now();
  const fs::path out(options.out_dir);
  fs::create_directories(out);
  const veltrax_scene::Scene scene = [&] {
    veltrax_scene::DemoOptions demo;
    demo.frames = options.frames;
    return veltrax_scene::make_demo_scene(demo);
  }();
  if (options.progress) {
    std::printf("soak: rendering %d frames\n", options.frames);
    std::fflush(stdout);
  }
  const std::vector<RenderedFrame> frames = render_frames(scene);

  veltrax_demo::RunOptions node_options;
  node_options.workspace_dir = options.workspace_dir;
  if (!options.debug) {
    node_options.params = {"debug:=false", "draw_result:=false"};
  }
  veltrax_demo::LogRedirect log((out / "node.log").string());
  Graph graph(veltrax_demo::node_arguments(node_options));
  Yolov5sPredictor & node = *graph.node;
  if (!node.npu_ready()) {
    throw std::runtime_error("the node could not set up its model (see " +
                             (out / "node.log").string() + ")");
  }
  // Every cycle is one call below; the node's own timer would add cycles at random points.
  node.cancel_frame_timer();

  rclcpp::Node & probe = *graph.probe;
  std::array<rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr, 2> color;
  std::array<rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr, 2> depth;
  std::array<rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr, 2> info;
  for (std::size_t c = 0; c < 2; ++c) {
    color[c] = probe.create_publisher<sensor_msgs::msg::Image>(veltrax_demo::kColorTopics[c], 10);
    depth[c] = probe.create_publisher<sensor_msgs::msg::Image>(veltrax_demo::kDepthTopics[c], 10);
    info[c] =
        probe.create_publisher<sensor_msgs::msg::CameraInfo>(veltrax_demo::kInfoTopics[c], 10);
  }
  int outline_points = -1;
  const auto outline_subscription = probe.create_subscription<sensor_msgs::msg::PointCloud2>(
      veltrax_demo::kOutlineTopic, 10,
      std::function<void(const sensor_msgs::msg::PointCloud2 &)>(
          [&outline_points](const sensor_msgs::msg::PointCloud2 & msg) {
            outline_points = static_cast<int>(msg.width * msg.height);
          }));

  // The node's listener takes the static transforms on its own thread; a cycle before they are
  // in would publish no outline.
  const auto tf_static = probe.create_publisher<tf2_msgs::msg::TFMessage>(
      "/tf_static", rclcpp::QoS(100).transient_local());
  tf2_msgs::msg::TFMessage transforms;
  for (const veltrax_scene::CameraModel & camera : scene.cameras) {
    transforms.transforms.push_back(
        veltrax_demo::transform_message(camera.camera_to_base(), camera.frame_id, node.now()));
  }
  tf_static->publish(transforms);
  const auto tf_deadline = Clock::now() + kTransformTimeout;
  for (const veltrax_scene::CameraModel & camera : scene.cameras) {
    while (!node.knows_transform_of(camera.frame_id)) {
      if (Clock::now() > tf_deadline) {
        throw std::runtime_error("the node never received the static transform of " +
                                 camera.frame_id);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Allocated and touched up front: the record must not grow the resident memory it measures.
  std::vector<CycleSample> samples(static_cast<std::size_t>(options.cycles));
  std::ofstream csv(out / "soak.csv");
  csv << "cycle,rss_kib,cycle_ms,outline_points\n";
  for (int i = 0; i < options.cycles; ++i) {
    // Ctrl-C shuts rclcpp down (its signal handler); cycles after that publish nothing.
    if (!rclcpp::ok()) {
      throw std::runtime_error("interrupted after " + std::to_string(i) + " cycles");
    }
    const RenderedFrame & frame = frames[static_cast<std::size_t>(i) % frames.size()];
    const builtin_interfaces::msg::Time stamp = node.now();
    for (std::size_t c = 0; c < 2; ++c) {
      const std::string & frame_id = scene.cameras[c].frame_id;
      info[c]->publish(veltrax_demo::info_message(scene.cameras[c], stamp));
      color[c]->publish(veltrax_demo::image_message(frame.color_rgb[c], "rgb8", frame_id, stamp));
      depth[c]->publish(veltrax_demo::image_message(frame.depth_mm[c], "16UC1", frame_id, stamp));
    }
    graph.executor.spin_some();  // the node stores the new inputs
    outline_points = -1;
    const auto start = Clock::now();
    node.timer_callback();
    const double cycle_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    graph.executor.spin_some();  // the probe takes the outline

    CycleSample & sample = samples[static_cast<std::size_t>(i)];
    sample = {i, resident_kib(), cycle_ms, outline_points};
    csv << sample.cycle << ',' << sample.rss_kib << ',' << sample.cycle_ms << ','
        << sample.outline_points << '\n';
    if (options.progress && ((i + 1) % kProgressEvery == 0 || i + 1 == options.cycles)) {
      std::vector<double> recent_ms;
      for (int k = std::max(0, i + 1 - kProgressEvery); k <= i; ++k) {
        recent_ms.push_back(samples[static_cast<std::size_t>(k)].cycle_ms);
      }
      std::printf(
          "soak: cycle %d/%d, RSS %.1f MiB, cycle p50 %.1f ms (last %zu), outline %d points\n",
          i + 1, options.cycles, static_cast<double>(sample.rss_kib) / 1024.0,
          veltrax_demo::quantile(recent_ms, 0.5), recent_ms.size(), outline_points);
      std::fflush(stdout);
      csv.flush();
    }
  }
  csv.close();
  if (!csv) {
    throw std::runtime_error("cannot write " + (out / "soak.csv").string());
  }

  SoakStats stats = soak_stats(samples, options.warmup, options.max_growth_mib);
  stats.wall_s = std::chrono::duration<double>(Clock::now() - wall_start).count();
  const fs::path picture = out / "soak.png";
  if (!cv::imwrite(picture.string(), soak_picture(samples, stats),
                   {cv::IMWRITE_PNG_COMPRESSION, 9})) {
    throw std::runtime_error("cannot write " + picture.string());
  }
  std::ofstream json(out / "summary.json");
  json << stats_json(stats);
  if (!json) {
    throw std::runtime_error("cannot write " + (out / "summary.json").string());
  }
  return stats;
}

}  // namespace veltrax_soak
