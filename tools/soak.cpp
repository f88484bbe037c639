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

int main(int argc, char ** argv)
{
  veltrax_soak::SoakOptions options;
  options.workspace_dir = VELTRAX_WORKSPACE_DIR;
  bool warmup_given = false;
  using veltrax_tools::number_to;
  veltrax_tools::OptionTable table;
  table.flags = {{"--debug", [&] { options.debug = true; }},
                 {"--quiet", [&] { options.progress = false; }}};
  table.options = {
      {"--out", veltrax_tools::text_to(options.out_dir)},
      {"--cycles", number_to(options.cycles, 1.0, 1e8)},
      {"--frames", number_to(options.frames, 1.0, 9999.0)},
      {"--warmup",
       [&](const char * value) {
         warmup_given = true;
         return number_to(options.warmup, 0.0, 1e8)(value);
       }},
      {"--max-growth-mb", number_to(options.max_growth_mib, 0.0)},
  };
  if (const auto status = veltrax_tools::parse_command_line("soak", argc, argv, table, usage)) {
    return *status;
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
