// The soak: its growth verdict on synthetic memory series, and a short run of the real node.
#include <gtest/gtest.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "soak/soak.hpp"

namespace vs = veltrax_soak;
namespace fs = std::filesystem;

namespace
{

// `cycles` samples of `rss_kib(cycle)` plus about +-1.5 MiB of scattered noise (allocator pools
// taking and giving back pages), 40 ms each, every cycle with an outline.
std::vector<vs::CycleSample> series(int cycles, const std::function<double(int)> & rss_kib)
{
  std::vector<vs::CycleSample> samples;
  for (int i = 0; i < cycles; ++i) {
    const double noise_kib = static_cast<double>((i * 7919) % 201 - 100) * 15.0;
    samples.push_back({i, std::llround(rss_kib(i) + noise_kib), 40.0 + i % 10, 500});
  }
  return samples;
}

TEST(SoakStats, FlatMemoryPassesAndSteadyGrowthFails)
{
  const vs::SoakStats flat = vs::soak_stats(series(10000, [](int) { return 200000.0; }), 500, 4.0);
  EXPECT_TRUE(flat.pass);
  EXPECT_EQ(flat.window, 475);
  EXPECT_LT(std::abs(flat.growth_mib), 0.5);
  EXPECT_LT(std::abs(flat.slope_kib_per_1000), 20.0);
  EXPECT_DOUBLE_EQ(flat.cycle_p50_ms, 44.5);
  EXPECT_DOUBLE_EQ(flat.cycle_max_ms, 49.0);
  EXPECT_EQ(flat.cycles_without_outline, 0);

  // 1 KiB per cycle: about 9 MiB between the windows.
  const vs::SoakStats growing =
      vs::soak_stats(series(10000, [](int i) { return 200000.0 + i; }), 500, 4.0);
  EXPECT_FALSE(growing.pass);
  EXPECT_NEAR(growing.growth_mib, 9500.0 * 0.95 / 1024.0, 0.3);
  EXPECT_NEAR(growing.slope_kib_per_1000, 1000.0, 20.0);

  // A start-up ramp of 100 MiB counts only when the warm-up does not cover it; a one-cycle
  // spike at the very end does not move the median.
  auto ramp_then_flat = [](int i) { return i < 300 ? 100000.0 + 341.0 * i : 202400.0; };
  std::vector<vs::CycleSample> ramp = series(10000, ramp_then_flat);
  ramp.back().rss_kib += 50 * 1024;
  EXPECT_TRUE(vs::soak_stats(ramp, 500, 4.0).pass);
  EXPECT_FALSE(vs::soak_stats(ramp, 0, 4.0).pass);

  EXPECT_THROW(vs::soak_stats(series(10, [](int) { return 1.0; }), 10, 4.0), std::invalid_argument);
}

TEST(SoakRun, ThirtyCyclesOfTheDemoSceneAreCompleteAndSane)
{
  vs::SoakOptions options;
  options.workspace_dir = VELTRAX_WORKSPACE_DIR;
  options.out_dir =
      (fs::temp_directory_path() / ("veltrax_soak_test_" + std::to_string(::getpid()))).string();
  fs::remove_all(options.out_dir);
  options.cycles = 30;
  options.warmup = 10;
  options.frames = 10;
  options.progress = false;
  const vs::SoakStats stats = vs::run_soak(options);
  const fs::path out(options.out_dir);

  std::ifstream csv(out / "soak.csv");
  std::string line;
  ASSERT_TRUE(std::getline(csv, line));
  EXPECT_EQ(line, "cycle,rss_kib,cycle_ms,outline_points");
  int rows = 0;
  while (std::getline(csv, line)) {
    SCOPED_TRACE(line);
    int cycle = -1;
    long long rss_kib = 0;
    double cycle_ms = 0.0;
    int points = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d,%lld,%lf,%d", &cycle, &rss_kib, &cycle_ms, &points), 4);
    EXPECT_EQ(cycle, rows++);
    EXPECT_GT(rss_kib, 10 * 1024);  // the node with its model and ten rendered frames
    EXPECT_GT(cycle_ms, 0.0);
    EXPECT_GT(points, 0);  // the demo scene always has obstacles in view
  }
  EXPECT_EQ(rows, 30);

  EXPECT_EQ(stats.cycles, 30);
  EXPECT_EQ(stats.window, 1);
  EXPECT_EQ(stats.cycles_without_outline, 0);
  EXPECT_GT(stats.cycle_p50_ms, 0.0);
  EXPECT_LE(stats.cycle_p50_ms, stats.cycle_p95_ms);
  EXPECT_LE(stats.cycle_p95_ms, stats.cycle_max_ms);
  EXPECT_GT(stats.wall_s, 0.0);

  const YAML::Node json = YAML::LoadFile((out / "summary.json").string());
  EXPECT_EQ(json["cycles"].as<int>(), 30);
  EXPECT_EQ(json["warmup"].as<int>(), 10);
  EXPECT_EQ(json["rss_kib"]["end"].as<long long>(), stats.rss_end_kib);
  EXPECT_EQ(json["pass"].as<bool>(), stats.pass);
  for (const char * key : {"growth_mib", "slope_kib_per_1000_cycles", "wall_s"}) {
    EXPECT_TRUE(json[key].IsScalar()) << key;
  }
  const cv::Mat picture = cv::imread((out / "soak.png").string());
  EXPECT_EQ(picture.cols, 1200);
  EXPECT_GT(picture.rows, 600);
}

}  // namespace
