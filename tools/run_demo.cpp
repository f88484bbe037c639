// run_demo: the perception node end to end on the demo scene, on the two real RGB-D frames or on
// a robot's recording; pictures, clouds, reports and figures go to an output directory
// (tools/README.md).
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "cli.hpp"
#include "demo/write.hpp"

namespace
{

// Ctrl-C stops the run wherever it is. While the node runs, rclcpp's handlers take the signals
// and call this one too.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "written by a signal handler");

extern "C" void on_interrupt(int) { g_interrupted.store(true); }

// Threads that keep a core busy each until destroyed: how the node keeps up on a loaded machine.
class BusyThreads
{
public:
  explicit BusyThreads(int count)
  {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this] {
        volatile unsigned long spins = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
          spins = spins + 1;
        }
      });
    }
  }
  ~BusyThreads()
  {
    stop_.store(true);
    for (std::thread & thread : threads_) {
      thread.join();
    }
  }
  BusyThreads(const BusyThreads &) = delete;
  BusyThreads & operator=(const BusyThreads &) = delete;

private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

void usage()
{
  std::fprintf(
      stderr,
      "usage: run_demo [--out DIR] [--scene DIR | --real DIR] [--frames N] [--seed S] [--fast]\n"
      "                [--params FILE] [--model FILE] [--compare-model FILE] [--leaf-size M]\n"
      "                [--param NAME:=VALUE]... [--busy-threads N] [--no-recording] [--quiet]\n"
      "       run_demo --bag DIR [--rate X] [--start S] [--duration D] [--remap FROM:=TO]...\n"
      "                [--fast] [--out DIR] [--params FILE] [--model FILE] [--leaf-size M]\n"
      "                [--param NAME:=VALUE]... [--no-recording] [--quiet]\n"
      "  --out DIR         output directory (default out)\n"
      "  --scene DIR       frames written by make_scene (default: the demo scene, generated)\n"
      "  --real DIR        the real frames (veltrax_cv_model/test/data/rgbd) with a scripted "
      "model\n"
      "  --bag DIR         replay the node's inputs of a rosbag2 recording at recorded timing\n"
      "  --rate X          replay X times as fast as recorded (default 1)\n"
      "  --start S         replay from S seconds after the recording's first message\n"
      "  --duration D      replay D recorded seconds (default: to the end)\n"
      "  --remap FROM:=TO  rename a recorded topic (repeatable)\n"
      "  --frames N        generated scene: N frames (default 30); real: N cycles (default 5)\n"
      "  --seed S          generated scene seed (default 1)\n"
      "  --fast            next frame as soon as the previous outline arrived (default 10 Hz,\n"
      "                    --bag: the recorded timing)\n"
      "  --params FILE     node parameters (default veltrax_cv_model/config/params.yaml)\n"
      "  --model FILE      host NPU model for the scene (default the colour-key model)\n"
      "  --compare-model FILE  compare the model's detections with this model's per frame\n"
      "  --leaf-size M     downsample_leaf_size in metres (default: the parameter file's)\n"
      "  --param N:=V      any further node parameter override\n"
      "  --busy-threads N  N threads spinning beside the node for the whole run (default 0)\n"
      "  --no-recording    no replay.mcap (the run as a rosbag2 recording)\n"
      "  --quiet           no progress line\n");
}

}  // namespace

int main(int argc, char ** argv)
{
  std::signal(SIGINT, on_interrupt);
  std::signal(SIGTERM, on_interrupt);
  veltrax_demo::RunOptions options;
  options.workspace_dir = VELTRAX_WORKSPACE_DIR;
  options.interrupt = &g_interrupted;
  bool frames_given = false;
  int busy_threads = 0;
  using veltrax_tools::number_to;
  veltrax_tools::OptionTable table;
  table.flags = {{"--fast", [&] { options.fast = true; }},
                 {"--quiet", [&] { options.progress = false; }},
                 {"--no-recording", [&] { options.record = false; }}};
  table.options = {
      {"--out", veltrax_tools::text_to(options.out_dir)},
      {"--scene", veltrax_tools::text_to(options.scene_dir)},
      {"--real", veltrax_tools::text_to(options.real_dir)},
      {"--params", veltrax_tools::text_to(options.params_file)},
      {"--model", veltrax_tools::text_to(options.model_file)},
      {"--compare-model", veltrax_tools::text_to(options.compare_model)},
      {"--param", veltrax_tools::appended_to(options.params)},
      {"--bag", veltrax_tools::text_to(options.bag_dir)},
      {"--remap", veltrax_tools::appended_to(options.remaps)},
      {"--rate", number_to(options.bag_rate, veltrax_tools::kAboveZero)},
      {"--start", number_to(options.bag_start_s, 0.0)},
      {"--duration", number_to(options.bag_duration_s, 0.0)},
      {"--frames",
       [&](const char * value) {
         frames_given = true;
         return number_to(options.frames, 1.0, 9999.0)(value);
       }},
      {"--seed", number_to(options.seed, 0.0, 4294967295.0)},
      {"--leaf-size",
       [&](const char * value) {
         double leaf_m = 0.0;
         const bool valid = number_to(leaf_m, veltrax_tools::kAboveZero)(value);
         options.leaf_size_m = leaf_m;
         return valid;
       }},
      {"--busy-threads", number_to(busy_threads, 0.0, 64.0)},
  };
  if (const auto status = veltrax_tools::parse_command_line("run_demo", argc, argv, table, usage)) {
    return *status;
  }
  if (!options.scene_dir.empty() + !options.real_dir.empty() + !options.bag_dir.empty() > 1) {
    std::fprintf(stderr, "run_demo: --scene, --real and --bag exclude each other\n");
    return 2;
  }
  if (!options.bag_dir.empty() && frames_given) {
    std::fprintf(stderr, "run_demo: --bag replays the recording's frames: no --frames\n");
    return 2;
  }
  if (!options.real_dir.empty() && !frames_given) {
    options.frames = 5;
  }

  const BusyThreads load(busy_threads);
  try {
    const veltrax_demo::RunSummary summary = veltrax_demo::run_demo(options);
    veltrax_demo::print_summary(stdout, summary);
  } catch (const veltrax_demo::Interrupted &) {
    std::fprintf(stderr, "run_demo: interrupted\n");
  } catch (const std::exception & e) {
    std::fprintf(stderr, "run_demo: %s\n", e.what());
    return 1;
  }
  return 0;
}
