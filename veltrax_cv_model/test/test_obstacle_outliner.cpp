// The obstacle outliner: method selection, the split of long clouds and the seed-only merge,
// the centroid rule at its threshold, outline sampling, and the split of one recorded obstacle
// box into its three objects.
#include "veltrax_cv_model/obstacle_outliner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <pcl/common/common.h>

#include "support/cloud_builders.hpp"
#include "support/rgbd_frames.hpp"
#include "veltrax_cv_model/detection_cloud_builder.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using test::make_cloud;

// Collects the outliner's DEBUG lines.
struct DebugLines
{
  std::vector<std::string> lines;
  DebugSink sink()
  {
    return [this](const std::string & text) { lines.push_back(text); };
  }
  std::size_t count(const std::string & prefix) const
  {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string & l) { return l.rfind(prefix, 0) == 0; });
  }
};

// `count` points of a band around x = `x_m`, spread over y and z (seeded).
Cloud band(float x_m, int count, std::mt19937 & rng)
{
  std::uniform_real_distribution<float> jitter(-0.02f, 0.02f);
  std::uniform_real_distribution<float> side(-0.3f, 0.3f);
  Cloud cloud;
  for (int i = 0; i < count; ++i) cloud.push_back({x_m + jitter(rng), side(rng), 0.1f + side(rng)});
  return cloud;
}

// A compact blob of `count` points on a 2 cm lattice around (1.03, 0.03, 0.01).
Cloud blob(int count)
{
  Cloud cloud;
  for (int i = 0; i < count; ++i) {
    cloud.push_back({1.0f + 0.02f * (i % 4), 0.02f * ((i / 4) % 4), 0.02f * (i / 16)});
  }
  return cloud;
}

bool same_points(const Cloud & a, const Cloud & b)
{
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](const auto & p, const auto & q) {
           return p.getVector3fMap() == q.getVector3fMap();
         });
}

std::vector<std::size_t> sizes(const std::vector<Cloud> & clouds)
{
  std::vector<std::size_t> n;
  for (const Cloud & c : clouds) n.push_back(c.size());
  return n;
}

TEST(ObstacleOutliner, MethodNumberSelectsTheClustererWithItsSettings)
{
  std::mt19937 rng(7);
  Cloud bands;
  for (float x : {2.5f, 0.5f, 1.5f}) bands += band(x, 10, rng);
  std::shuffle(bands.points.begin(), bands.points.end(), rng);
  ClusterSettings settings;
  settings.kd_min_cluster_size = 31;
  settings.grid_step_m = 0.1f;

  struct Case
  {
    const char * name;
    int method;
    Cloud cloud;
    bool known;
    std::vector<std::size_t> sizes;
    std::vector<std::string> debug;
  };
  const Case cases[] = {
      {"no method 0", 0, bands, false, {}, {}},
      {"no method 4", 4, bands, false, {}, {}},
      {"Euclidean: one point short of its minimum",
       1,
       blob(30),
       true,
       {},
       {"cluster_indices =  0\n"}},
      {"Euclidean: at its minimum", 1, blob(31), true, {31}, {"cluster_indices =  1\n"}},
      {"k-means: three bands along x", 2, bands, true, {10, 10, 10}, {}},
      {"grid: one 10 cm cell holds the blob", 3, blob(31), true, {31}, {"cluster size = 1"}},
      {"grid: bands too sparse for 5-point cells", 3, bands, true, {}, {"cluster size = 0"}},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    DebugLines debug;
    std::vector<Cloud> clusters(2);
    EXPECT_EQ(ObstacleOutliner(settings, debug.sink()).cluster(c.cloud, clusters, c.method),
              c.known);
    EXPECT_EQ(sizes(clusters), c.sizes);
    EXPECT_EQ(debug.lines, c.debug);
    if (c.method == 2) {
      for (std::size_t g = 0; g < clusters.size(); ++g) {
        for (const auto & p : clusters[g]) EXPECT_NEAR(p.x, 0.5f + static_cast<float>(g), 0.021f);
      }
    }
  }
}

TEST(ObstacleOutliner, SplitsOnlyCloudsLongerThanTheThresholdAndMergesBandsNearAnEarlierSeed)
{
  std::mt19937 rng(11);
  // x extent exactly the threshold: one object, passed on as an unchanged copy.
  const Cloud at_threshold =
      make_cloud({{0.25f, 0.0f, 0.1f}, {0.75f, 0.2f, 0.3f}, {0.5f, -0.1f, 0.2f}});
  // Bands at x = 0, 0.3, 1.0: k-means makes three, the second lies within center_threshold of
  // the first and goes back into it.
  Cloud longer;
  for (float x : {0.0f, 0.3f, 1.0f}) longer += band(x, 10, rng);

  struct Case
  {
    const char * name;
    int method;
    const Cloud & cloud;
    bool known;
    std::vector<std::size_t> appended;
    std::size_t distance_lines;
  };
  const Case cases[] = {
      {"at the threshold", 2, at_threshold, true, {3}, 0},
      {"longer", 2, longer, true, {20, 10}, 2},  // seed 0 meets 1 and 2; seed 2 meets nobody
      {"at the threshold, no method", 9, at_threshold, true, {3}, 0},
      {"longer, no method", 9, longer, false, {}, 0},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    ClusterSettings settings;
    settings.method = c.method;
    settings.center_threshold_m = 0.5f;
    DebugLines debug;
    std::vector<Cloud> clusters(1);  // split appends
    EXPECT_EQ(ObstacleOutliner(settings, debug.sink()).split(c.cloud, clusters, 0.5f), c.known);
    const std::vector<Cloud> appended(clusters.begin() + 1, clusters.end());
    ASSERT_EQ(sizes(appended), c.appended);
    const bool split = &c.cloud == &longer;
    if (!split) {
      EXPECT_TRUE(same_points(appended[0], at_threshold));
    }
    if (split && c.known) {
      for (const auto & p : appended[0]) EXPECT_LT(p.x, 0.33f);
      for (const auto & p : appended[1]) EXPECT_GT(p.x, 0.97f);
    }
    EXPECT_EQ(debug.count("dist =  "), c.distance_lines);
    ASSERT_EQ(debug.count("x_dis =  "), split ? 1u : 0u);
    if (split) {
      EXPECT_NEAR(std::strtod(debug.lines[0].c_str() + 9, nullptr), 1.0, 0.041);
      EXPECT_EQ(debug.lines[0].back(), '\n');
    }
  }
}

TEST(ObstacleOutliner, MergesIntoSeedsOnlyAndNeedsCentroidsStrictlyCloserThanTheThreshold)
{
  ClusterSettings settings;
  settings.center_threshold_m = 0.625f;  // = |(0, 0.375, 0.5)| exactly, in float and in double
  const ObstacleOutliner outliner(settings);
  struct Case
  {
    const char * name;
    Cloud a, b;
    bool close;
  };
  const Case cases[] = {
      {"along x at the threshold", make_cloud({{0, 0, 0}}), make_cloud({{0.625f, 0, 0}}), false},
      {"over y and z at the threshold", make_cloud({{0, 0, 0}}), make_cloud({{0, 0.375f, 0.5f}}),
       false},
      {"z alone counts", make_cloud({{0, 0, 0}}), make_cloud({{0, 0, 0.625f}}), false},
      {"just inside along z", make_cloud({{0, 0, 0}}), make_cloud({{0, 0, 0.6f}}), true},
      {"centroid, not first point", make_cloud({{0, 0, 0}, {0.5f, 0, 0}}),
       make_cloud({{0.8f, 0, 0}}), true},
      {"centroid at the threshold", make_cloud({{0, 0, 0}, {0.5f, 0, 0}}),
       make_cloud({{0.875f, 0, 0}}), false},
      {"empty cloud is never close", Cloud(), make_cloud({{0, 0, 0}}), false},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outliner.close(c.a, c.b), c.close);
    EXPECT_EQ(outliner.close(c.b, c.a), c.close);
  }

  // A-B and B-C close, A-C not: C is compared with seed A only, and B never becomes a seed.
  const Cloud a = make_cloud({{0, 0, 0}, {0, 0.1f, 0}});
  const Cloud b = make_cloud({{0.5f, 0, 0}, {0.5f, 0.1f, 0}});
  const Cloud c = make_cloud({{1.0f, 0, 0}, {1.0f, 0.1f, 0}});
  std::vector<Cloud> merged(4);
  outliner.merge({a, b, c}, merged);
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_TRUE(same_points(merged[0], make_cloud({a[0], a[1], b[0], b[1]})));
  EXPECT_TRUE(same_points(merged[1], c));
}

// Position of `p` along the boundary of the rectangle [0, 1] x [0, 0.5], counter-clockwise from
// the origin, or -1 when it is not on the boundary.
float perimeter_position(const pcl::PointXYZ & p)
{
  constexpr float kOn = 1e-5f;
  if (std::abs(p.y) < kOn && p.x > -kOn && p.x < 1.0f + kOn) return p.x;
  if (std::abs(p.x - 1.0f) < kOn && p.y > -kOn && p.y < 0.5f + kOn) return 1.0f + p.y;
  if (std::abs(p.y - 0.5f) < kOn && p.x > -kOn && p.x < 1.0f + kOn) return 2.5f - p.x;
  if (std::abs(p.x) < kOn && p.y > -kOn && p.y < 0.5f + kOn) return 3.0f - p.y;
  return -1.0f;
}

TEST(ObstacleOutliner, RectangleOutlineIsSampledAlongEverySideIncludingVerticalOnes)
{
  // A box seen from above: a 5 x 3 grid of points on two heights; its hull is the rectangle
  // [0, 1] x [0, 0.5], whose short sides are vertical edges in x-y. Short enough not to split.
  Cloud box;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 3; ++j) box.push_back({0.25f * i, 0.25f * j, (i + j) % 2 ? 0.4f : 0.1f});
  }
  ClusterSettings settings;
  settings.merge_dis_m = 1.0f;
  Cloud outline;
  std::vector<Cloud> footprints;
  ASSERT_TRUE(ObstacleOutliner(settings).outline({box}, outline, &footprints));
  ASSERT_EQ(footprints.size(), 1u);
  ASSERT_EQ(outline.height, 1u);
  ASSERT_EQ(outline.width, outline.size());

  std::vector<float> along;
  for (const auto & p : outline) {
    EXPECT_EQ(p.z, 0.0f);
    const float s = perimeter_position(p);
    ASSERT_GE(s, 0.0f) << p;
    along.push_back(s);
  }
  std::sort(along.begin(), along.end());
  along.push_back(along.front() + 3.0f);  // closed boundary
  // Every edge leaves its far end to the next one, so the corner that is the far end of both of
  // its edges, (1, 0.5), is never emitted: one gap of two spacings. Everywhere else, the short
  // sides included, the points are 0.05 m apart.
  std::vector<float> wide_gap_starts;
  for (std::size_t i = 1; i < along.size(); ++i) {
    const float gap = along[i] - along[i - 1];
    EXPECT_LE(gap, 0.1f + 1e-4f);
    if (gap > 0.05f + 1e-4f) wide_gap_starts.push_back(along[i - 1]);
  }
  ASSERT_EQ(wide_gap_starts.size(), 1u);
  EXPECT_NEAR(wide_gap_starts[0], 1.45f, 1e-4f);
  EXPECT_EQ(outline.size(), 60u);  // 20 + 10 + 20 + 10
}

// True when (x, y) lies inside the convex polygon `corners` or within `slack_m` of its boundary.
bool contains(const Cloud & corners, float x, float y, float slack_m = 0.002f)
{
  if (corners.size() < 3) return false;
  float turn = 0.0f;
  for (std::size_t i = 0; i < corners.size(); ++i) {
    const auto & a = corners[i];
    const auto & b = corners[(i + 1) % corners.size()];
    const float length = std::hypot(b.x - a.x, b.y - a.y);
    // Signed distance of (x, y) from the edge's line, positive on its left.
    const float side = ((b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x)) / length;
    if (turn == 0.0f && std::abs(side) > slack_m) turn = side > 0.0f ? 1.0f : -1.0f;
    if (side * turn < -slack_m) return false;
  }
  return true;
}

// One obstacle box around the detergent bottle, the milk carton and the bleach bottle of the
// recorded frame. At a 1 cm leaf the grid clustering's default 3-cell closing leaves the carton's
// gable top (about ten points, 0.24 m up, 2 cm behind its front face) as a cluster of its own
// whose centroid lies 0.13 m from the body's, so it would become a fourth footprint at
// center_threshold 0.1; a 5-cell closing joins it to the body.
TEST(ObstacleOutliner, SplitsARecordedBoxAroundThreeObjectsIntoOneFootprintEach)
{
  const test::RecordedScene milk = test::load_recorded_scene("milk_cartoon");
  const DetectionCloudBuilder builder(
      {0.01f, {0.2, 5.0, -0.15, 0.15, 0.025, 0.3, 0.5, 0.05, 0.2, 5}});
  const CameraView view{test::kinect_intrinsics(), 0.0f, 3.0f, milk.camera_to_base};
  auto detection_cloud = [&](int left, int top, int right, int bottom) {
    std::vector<Cloud> clouds;
    builder.build(milk.depth.view(), milk.depth.width, {{3, left, top, right, bottom, 0.9f}}, view,
                  clouds);
    return clouds.empty() ? Cloud() : clouds[0];
  };
  ClusterSettings settings;
  settings.method = 3;
  settings.merge_dis_m = 0.1f;
  settings.center_threshold_m = 0.1f;
  settings.grid_kernel_size = 5;
  const ObstacleOutliner outliner(settings);

  // Each object on its own (detergent, carton, bleach): its biggest Euclidean cluster, and where
  // it meets the floor (mean x, y of its points in the lowest 8 cm).
  std::vector<Cloud> objects;
  std::vector<Eigen::Vector2f> contacts;
  for (const auto & edges :
       {std::array<int, 4>{88, 132, 200, 300}, {230, 55, 328, 235}, {398, 66, 500, 262}}) {
    std::vector<Cloud> clusters;
    outliner.cluster(detection_cloud(edges[0], edges[1], edges[2], edges[3]), clusters, 1);
    ASSERT_FALSE(clusters.empty());
    const Cloud & object =
        *std::max_element(clusters.begin(), clusters.end(),
                          [](const Cloud & a, const Cloud & b) { return a.size() < b.size(); });
    Eigen::Vector2f sum(0.0f, 0.0f);
    int low = 0;
    for (const auto & p : object) {
      if (p.z < 0.08f) {
        sum += Eigen::Vector2f(p.x, p.y);
        ++low;
      }
    }
    ASSERT_GT(low, 20);
    objects.push_back(object);
    contacts.push_back(sum / static_cast<float>(low));
  }
  // Detergent left, carton in the middle and farthest, bleach right (y is left).
  EXPECT_GT(contacts[0].y(), contacts[1].y() + 0.1f);
  EXPECT_GT(contacts[1].y(), contacts[2].y() + 0.1f);
  EXPECT_GT(contacts[1].x(), contacts[0].x() + 0.1f);

  const Cloud all_three = detection_cloud(85, 52, 505, 305);
  ASSERT_GT(all_three.size(), objects[0].size() + objects[1].size() + objects[2].size());
  Cloud outline;
  std::vector<Cloud> footprints;
  ASSERT_TRUE(outliner.outline({all_three}, outline, &footprints));

  // One footprint per object, each around its own object only and no bigger than its surface.
  ASSERT_EQ(footprints.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    std::vector<std::size_t> holding;
    for (std::size_t f = 0; f < footprints.size(); ++f) {
      if (contains(footprints[f], contacts[i].x(), contacts[i].y())) holding.push_back(f);
    }
    ASSERT_EQ(holding.size(), 1u);
    const Cloud & footprint = footprints[holding[0]];
    const auto covered = std::count_if(objects[i].begin(), objects[i].end(), [&](const auto & p) {
      return contains(footprint, p.x, p.y);
    });
    EXPECT_GE(static_cast<std::size_t>(covered), objects[i].size() * 95 / 100);
    for (std::size_t j = 0; j < 3; ++j) {
      if (j != i) {
        EXPECT_FALSE(contains(footprint, contacts[j].x(), contacts[j].y()));
      }
    }
    pcl::PointXYZ low, high;
    pcl::getMinMax3D(footprint, low, high);
    EXPECT_LT(high.x - low.x, 0.15f);
    EXPECT_LT(high.y - low.y, 0.2f);
  }
  // The outline: every footprint's ring, on the floor.
  EXPECT_GT(outline.size(), 3u * 6u);
  for (const auto & p : outline) {
    EXPECT_EQ(p.z, 0.0f);
    EXPECT_EQ(std::count_if(footprints.begin(), footprints.end(),
                            [&](const Cloud & f) { return contains(f, p.x, p.y); }),
              1)
        << p;
  }
}

}  // namespace
}  // namespace veltrax_cv_model
