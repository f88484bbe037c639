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

#include <opencv2/imgcodecs.hpp>

#include "demo/demo_runner.hpp"
#include "demo/drive.hpp"
#include "demo/scoring.hpp"
#include "scene/scene.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_soak
{

namespace
{

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using veltrax_cv_model::Yolov5sPredictor;

constexpr std::chrono::milliseconds kTransformTimeout(5000);

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
      : ros_(ros_args, "soak"), node(std::make_shared<Yolov5sPredictor>()), probe("soak")
  {
    executor.add_node(node);
    executor.add_node(probe.node);
  }

  ~Graph()
  {
    executor.remove_node(node);
    executor.remove_node(probe.node);
  }

  Graph(const Graph &) = delete;
  Graph & operator=(const Graph &) = delete;

private:
  veltrax_harness::RosSession ros_;  // first in, last out

public:
  std::shared_ptr<Yolov5sPredictor> node;
  veltrax_harness::Probe probe;
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
  veltrax_harness::LogCapture log((out / "node.log").string());
  Graph graph(veltrax_demo::node_arguments(node_options));
  Yolov5sPredictor & node = *graph.node;
  if (!node.npu_ready()) {
    throw std::runtime_error("the node could not set up its model (see " +
                             (out / "node.log").string() + ")");
  }
  // Every cycle is one call below; the node's own timer would add cycles at random points.
  node.cancel_frame_timer();

  // The node's listener takes the static transforms when the node is spun; a cycle before they
  // are in would publish no outline.
  veltrax_harness::Probe & probe = graph.probe;
  if (!probe.wait_for_node()) {
    throw std::runtime_error("the node's topics did not match the probe's within 10 s");
  }
  std::array<Eigen::Isometry3d, 2> camera_to_base;
  for (std::size_t c = 0; c < 2; ++c) camera_to_base[c] = scene.cameras[c].camera_to_base();
  veltrax_demo::publish_mounts(probe, scene.cameras, camera_to_base);
  for (const veltrax_scene::CameraModel & camera : scene.cameras) {
    if (!veltrax_harness::spin_until(
            graph.executor, [&] { return node.knows_transform_of(camera.frame_id); },
            kTransformTimeout)) {
      throw std::runtime_error("the node never received the static transform of " +
                               camera.frame_id);
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
    veltrax_demo::publish_frame(probe, scene.cameras, frame.color_rgb, frame.depth_mm);
    graph.executor.spin_some();  // the node stores the new inputs
    // Only this cycle's outputs are kept, so the record does not grow what it measures.
    probe.clear();
    const auto start = Clock::now();
    node.timer_callback();
    const double cycle_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    graph.executor.spin_some();  // the probe takes the outline
    const std::vector<sensor_msgs::msg::PointCloud2> outlines = probe.obstacle_clouds();
    const int outline_points =
        outlines.empty() ? -1 : static_cast<int>(outlines.back().width * outlines.back().height);

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
