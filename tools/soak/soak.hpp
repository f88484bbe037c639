// The soak: the real Yolov5sPredictor on the demo scene for many frame cycles in a row, driven
// on one thread, with the process's resident memory and the cycle time sampled every cycle, and
// a verdict on memory growth. Usage and output files: tools/README.md.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace veltrax_soak
{

struct SoakOptions
{
  /// Root of the workspace; the parameter and model files are found below it.
  std::string workspace_dir{"."};
  std::string out_dir{"out/soak"};
  int cycles{10000};
  /// Rendered demo frames, published cyclically.
  int frames{20};
  /// Cycles left out of the growth verdict while caches and allocator pools fill.
  int warmup{500};
  /// Largest accepted growth after the warm-up, MiB (see tools/README.md for the choice).
  double max_growth_mib{4.0};
  /// Run the node with debug and draw_result on (overlays, per-camera clouds).
  bool debug{false};
  /// Print a progress line every kProgressEvery cycles.
  bool progress{true};
};

inline constexpr int kProgressEvery = 500;

/// One frame cycle.
struct CycleSample
{
  int cycle{0};
  int64_t rss_kib{0};     ///< resident memory after the cycle
  double cycle_ms{0.0};   ///< the timer_callback() call
  int outline_points{0};  ///< of the outline the cycle published; -1 when none arrived
};

/// Figures of a soak; the growth figures cover the cycles after the warm-up.
struct SoakStats
{
  int cycles{0};
  int warmup{0};
  int64_t rss_warmup_end_kib{0};     ///< after the last warm-up cycle (without one: the first)
  int64_t rss_end_kib{0};            ///< after the last cycle
  int window{0};                     ///< cycles in each of the two windows below
  double rss_first_median_kib{0.0};  ///< median of the first 5 % after the warm-up
  double rss_last_median_kib{0.0};   ///< median of the last 5 %
  double growth_mib{0.0};            ///< last median - first median
  double slope_kib_per_1000{0.0};    ///< least-squares slope of RSS over cycle index
  double cycle_p50_ms{0.0};          ///< over all cycles
  double cycle_p95_ms{0.0};
  double cycle_max_ms{0.0};
  int cycles_without_outline{0};  ///< cycles whose outline was missing or empty
  double max_growth_mib{0.0};
  bool pass{true};  ///< growth_mib <= max_growth_mib
  double wall_s{0.0};
};

/// The figures of `samples` (at least one after the warm-up) and the verdict.
SoakStats soak_stats(const std::vector<CycleSample> & samples, int warmup, double max_growth_mib);

/// Runs the soak and writes soak.csv, soak.png and summary.json to the output directory. Throws
/// std::runtime_error when the node does not start or an output cannot be written. Initialises
/// and shuts down rclcpp itself, so it must not run while rclcpp is initialised.
SoakStats run_soak(const SoakOptions & options);

/// Resident set size of this process, KiB (/proc/self/statm); 0 when it cannot be read.
int64_t resident_kib();

/// The picture: RSS (MiB) and cycle time (ms) over the cycles, one panel each.
cv::Mat soak_picture(const std::vector<CycleSample> & samples, const SoakStats & stats);

/// `stats` as JSON (what summary.json holds).
std::string stats_json(const SoakStats & stats);

/// The human-readable summary.
void print_stats(std::FILE * out, const SoakStats & stats, const std::string & out_dir);

}  // namespace veltrax_soak
