// soak: the perception node on the demo scene for many cycles in a row; resident memory and
// cycle time per cycle, a picture, a summary and a verdict on memory growth (tools/README.md).
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "cli.hpp"
#include "soak/soak.hpp"

namespace
{

void usage()
{
  std::fprintf(
      stderr,
      "usage: soak [--cycles N] [--out DIR] [--frames K] [--warmup N] [--max-growth-mb M]\n"
      "            [--debug] [--quiet]\n"
      "  --cycles N         frame cycles (default 10000)\n"
      "  --out DIR          output directory (default out/soak)\n"
      "  --frames K         demo scene frames, published cyclically (default 20)\n"
      "  --warmup N         first cycles left out of the growth verdict (default a tenth\n"
      "                     of the cycles, at most 500)\n"
      "  --max-growth-mb M  largest accepted RSS growth after the warm-up, MiB "
      "(default 4)\n"
      "  --debug            node with debug and draw_result on\n"
      "  --quiet            no progress lines\n"
      "exit status: 0 pass, 1 memory grew more than allowed or the run failed, 2 usage\n");
}

}  // namespace

using veltrax_tools::parse_number;

int main(int argc, char ** argv)
{
  veltrax_soak::SoakOptions options;
  options.workspace_dir = VELTRAX_WORKSPACE_DIR;
  bool warmup_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    }
    if (arg == "--debug") {
      options.debug = true;
      continue;
    }
    if (arg == "--quiet") {
      options.progress = false;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "soak: %s needs a value\n", arg.c_str());
      usage();
      return 2;
    }
    const char * value = argv[++i];
    double number = 0.0;
    if (arg == "--out") {
      options.out_dir = value;
    } else if (arg == "--cycles" && parse_number(value, number) && number >= 1.0 && number <= 1e8) {
      options.cycles = static_cast<int>(number);
    } else if (arg == "--frames" && parse_number(value, number) && number >= 1.0 &&
               number <= 9999.0) {
      options.frames = static_cast<int>(number);
    } else if (arg == "--warmup" && parse_number(value, number) && number >= 0.0 && number <= 1e8) {
      options.warmup = static_cast<int>(number);
      warmup_given = true;
    } else if (arg == "--max-growth-mb" && parse_number(value, number) && number >= 0.0) {
      options.max_growth_mib = number;
    } else {
      std::fprintf(stderr, "soak: bad option or value: %s %s\n", arg.c_str(), value);
      usage();
      return 2;
    }
  }
  if (!warmup_given) {
    options.warmup = std::min(500, options.cycles / 10);
  }
  if (options.warmup >= options.cycles) {
    std::fprintf(stderr, "soak: --warmup must be less than --cycles\n");
    return 2;
  }

  try {
    const veltrax_soak::SoakStats stats = veltrax_soak::run_soak(options);
    veltrax_soak::print_stats(stdout, stats, options.out_dir);
    return stats.pass ? 0 : 1;
  } catch (const std::exception & e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
    return 1;
  }
}
