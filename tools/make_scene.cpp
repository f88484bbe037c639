// make_scene: writes the demo RGB-D sequence (scene.yaml and the frame PNGs) to a directory.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "cli.hpp"
#include "scene/scene.hpp"

namespace
{

void usage()
{
  std::fprintf(stderr,
               "usage: make_scene --out DIR [--frames N] [--seed S] [--depth-noise-mm SIGMA] "
               "[--speed MPS]\n"
               "  N frames at 10 Hz (default 30), seed S (default 1), depth noise SIGMA mm\n"
               "  (default 1.0, 0 for exact depth), forward speed MPS m/s (default 0.1).\n");
}

}  // namespace

using veltrax_tools::parse_number;

int main(int argc, char ** argv)
{
  std::string out_dir;
  veltrax_scene::DemoOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    }
    if (i + 1 >= argc) {
      usage();
      return 2;
    }
    const char * value = argv[++i];
    double number = 0.0;
    if (arg == "--out") {
      out_dir = value;
    } else if (arg == "--frames" && parse_number(value, number) && number >= 1.0 &&
               number <= 9999.0) {
      options.frames = static_cast<int>(number);
    } else if (arg == "--seed" && parse_number(value, number) && number >= 0.0 &&
               number <= 4294967295.0) {
      options.seed = static_cast<uint32_t>(number);
    } else if (arg == "--depth-noise-mm" && parse_number(value, number) && number >= 0.0) {
      options.depth_noise_mm = number;
    } else if (arg == "--speed" && parse_number(value, number)) {
      options.speed_mps = number;
    } else {
      std::fprintf(stderr, "make_scene: bad option or value: %s %s\n", arg.c_str(), value);
      usage();
      return 2;
    }
  }
  if (out_dir.empty()) {
    usage();
    return 2;
  }

  try {
    const auto start = std::chrono::steady_clock::now();
    const veltrax_scene::Scene scene = veltrax_scene::make_demo_scene(options);
    veltrax_scene::save_scene(scene, out_dir);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("make_scene: %d frames, %zu objects, 2 cameras -> %s/scene.yaml (%.2f s)\n",
                scene.frame_count(), scene.objects.size(), out_dir.c_str(), seconds);
  } catch (const std::exception & e) {
    std::fprintf(stderr, "make_scene: %s\n", e.what());
    return 1;
  }
  return 0;
}
