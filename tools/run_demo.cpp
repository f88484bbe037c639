// run_demo: the perception node end to end on the demo scene, on the two real RGB-D frames or on
// a robot's recording; pictures, clouds, reports and figures go to an output directory
// (tools/README.md).
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "cli.hpp"
#include "demo/write.hpp"

namespace
{

// Ctrl-C stops the run wherever it is. While the node runs, rclcpp's handlers take the signals
// and call this one too.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "written by a signal handler");

extern "C" void on_interrupt(int) { g_interrupted.store(true); }

void usage()
{
  std::fprintf(
      stderr,
      "usage: run_demo [--out DIR] [--scene DIR | --real DIR] [--frames N] [--seed S] [--fast]\n"
      "                [--params FILE] [--model FILE] [--compare-model FILE] [--leaf-size M]\n"
      "                [--param NAME:=VALUE]... [--no-recording] [--quiet]\n"
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
      "  --leaf-size M     downsample_leaf_size in metres (default 0.01)\n"
      "  --param N:=V      any further node parameter override\n"
      "  --no-recording    no replay.mcap (the run as a rosbag2 recording)\n"
      "  --quiet           no progress line\n");
}

}  // namespace

using veltrax_tools::parse_number;

int main(int argc, char ** argv)
{
  std::signal(SIGINT, on_interrupt);
  std::signal(SIGTERM, on_interrupt);
  veltrax_demo::RunOptions options;
  options.workspace_dir = VELTRAX_WORKSPACE_DIR;
  options.interrupt = &g_interrupted;
  bool frames_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    }
    if (arg == "--fast") {
      options.fast = true;
      continue;
    }
    if (arg == "--quiet") {
      options.progress = false;
      continue;
    }
    if (arg == "--no-recording") {
      options.record = false;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "run_demo: %s needs a value\n", arg.c_str());
      usage();
      return 2;
    }
    const char * value = argv[++i];
    double number = 0.0;
    if (arg == "--out") {
      options.out_dir = value;
    } else if (arg == "--scene") {
      options.scene_dir = value;
    } else if (arg == "--real") {
      options.real_dir = value;
    } else if (arg == "--params") {
      options.params_file = value;
    } else if (arg == "--model") {
      options.model_file = value;
    } else if (arg == "--compare-model") {
      options.compare_model = value;
    } else if (arg == "--param") {
      options.params.push_back(value);
    } else if (arg == "--bag") {
      options.bag_dir = value;
    } else if (arg == "--remap") {
      options.remaps.push_back(value);
    } else if (arg == "--rate" && parse_number(value, number) && number > 0.0) {
      options.bag_rate = number;
    } else if (arg == "--start" && parse_number(value, number) && number >= 0.0) {
      options.bag_start_s = number;
    } else if (arg == "--duration" && parse_number(value, number) && number >= 0.0) {
      options.bag_duration_s = number;
    } else if (arg == "--frames" && parse_number(value, number) && number >= 1.0 &&
               number <= 9999.0) {
      options.frames = static_cast<int>(number);
      frames_given = true;
    } else if (arg == "--seed" && parse_number(value, number) && number >= 0.0 &&
               number <= 4294967295.0) {
      options.seed = static_cast<uint32_t>(number);
    } else if (arg == "--leaf-size" && parse_number(value, number) && number > 0.0) {
      options.leaf_size_m = number;
    } else {
      std::fprintf(stderr, "run_demo: bad option or value: %s %s\n", arg.c_str(), value);
      usage();
      return 2;
    }
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
