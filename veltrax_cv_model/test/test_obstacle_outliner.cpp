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

#include <pcl/common/centroid.h>
#include <pcl/common/common.h>
#include <opencv2/imgproc.hpp>

#include "support/cloud_builders.hpp"
#include "support/rgbd_frames.hpp"
#include "veltrax_cv_model/detection_cloud_builder.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using test::make_cloud;

std::size_t count_starting_with(const std::vector<std::string> & lines, const std::string & prefix)
{
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string & l) { return l.rfind(prefix, 0) == 0; });
}

// `count` points of a band around x = `x_m`, spread over y and z (seeded).
Cloud band(float x_m, int count, std::mt19937 & rng)
{
  std::uniform_real_distribution<float> jitter(-0.02f, 0.02f);
  std::uniform_real_distribution<float> side(-0.3f, 0.3f);
  Cloud cloud;
  for (int i = 0; i < count; ++i) cloud.push_back({x_m + jitter(rng), side(rng), 0.1f + side(rng)});
  return cloud;
}

// A compact blob of `count` points on a 2 cm lattice near (1, 0, 0).
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
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto & p, auto & q) {
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
  settings.kd_max_cluster_size = 40;
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
      {"Euclidean, 1 short", 1, blob(30), true, {}, {"cluster_indices =  0\n"}},
      {"Euclidean, at minimum", 1, blob(31), true, {31}, {"cluster_indices =  1\n"}},
      {"Euclidean, at maximum", 1, blob(40), true, {40}, {"cluster_indices =  1\n"}},
      {"Euclidean, 1 over", 1, blob(41), true, {}, {"cluster_indices =  0\n"}},
      {"k-means, three bands", 2, bands, true, {10, 10, 10}, {}},
      {"grid, one cell", 3, blob(31), true, {31}, {"cluster size = 1"}},
      {"grid, cells under 5 points", 3, bands, true, {}, {"cluster size = 0"}},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> debug;
    std::vector<Cloud> clusters(2);
    const ObstacleOutliner outliner(settings, [&](const std::string & t) { debug.push_back(t); });
    EXPECT_EQ(outliner.cloud_cluster(c.cloud, clusters, c.method), c.known);
    EXPECT_EQ(sizes(clusters), c.sizes);
    EXPECT_EQ(debug, c.debug);
  }
}

TEST(ObstacleOutliner, SplitsOnlyCloudsLongerThanTheThresholdAndMergesBandsNearAnEarlierSeed)
{
  std::mt19937 rng(11);
  // x extent exactly the threshold: one object, passed on as an unchanged copy.
  const Cloud short_cloud = make_cloud({{0.25f, 0, 0.1f}, {0.75f, 0.2f, 0.3f}, {0.5f, 0, 0.2f}});
  // Bands at x = 0, 0.4, 0.8: k-means makes three; with a 0.5 m centroid threshold the middle
  // one joins the first seed, and never becomes a seed itself to pull in the last.
  Cloud long_cloud;
  for (float x : {0.0f, 0.4f, 0.8f}) long_cloud += band(x, 10, rng);
  struct Case
  {
    int method;
    bool split;
    bool known;
    std::vector<std::size_t> appended;
    std::size_t distance_lines;
  };
  const Case cases[] = {
      {2, false, true, {3}, 0},
      {2, true, true, {20, 10}, 2},  // seed 0 meets 1 and 2; seed 2 meets nobody
      {9, false, true, {3}, 0},      // no clusterer needed
      {9, true, false, {}, 0},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(testing::Message() << "method " << c.method << (c.split ? ", long" : ", short"));
    ClusterSettings settings;
    settings.method = c.method;
    settings.center_threshold_m = 0.5f;
    std::vector<std::string> debug;
    const ObstacleOutliner outliner(settings, [&](const std::string & t) { debug.push_back(t); });
    std::vector<Cloud> clusters(1);  // split appends
    const Cloud & cloud = c.split ? long_cloud : short_cloud;
    EXPECT_EQ(outliner.bbox_cluster(cloud, clusters, 0.5f), c.known);
    clusters.erase(clusters.begin());
    ASSERT_EQ(sizes(clusters), c.appended);
    if (!c.split) {
      EXPECT_TRUE(same_points(clusters[0], short_cloud));
    }
    for (std::size_t i = 0; c.known && c.split && i < 2; ++i) {
      for (const auto & p : clusters[i]) EXPECT_TRUE(i == 0 ? p.x < 0.43f : p.x > 0.77f) << p;
    }
    EXPECT_EQ(count_starting_with(debug, "dist =  "), c.distance_lines);
    ASSERT_EQ(count_starting_with(debug, "x_dis =  "), c.split ? 1u : 0u);
    if (c.split) {
      EXPECT_NEAR(std::strtod(debug[0].c_str() + 9, nullptr), 0.8, 0.041);
      EXPECT_EQ(debug[0].back(), '\n');
    }
    Cloud outline;  // the whole chain fails the same way
    EXPECT_EQ(outliner.outline({cloud}, outline), c.known);
  }
}

TEST(ObstacleOutliner, MergesOnlyCentroidsStrictlyCloserThanTheThreshold)
{
  ClusterSettings settings;
  settings.center_threshold_m = 0.625f;  // = |(0, 0.375, 0.5)| exactly, in float and in double
  const ObstacleOutliner outliner(settings);
  const Cloud origin = make_cloud({{0, 0, 0}});
  struct Case
  {
    const char * name;
    Cloud a, b;
    bool close;
  };
  const Case cases[] = {
      {"at the threshold, over y and z", origin, make_cloud({{0, 0.375f, 0.5f}}), false},
      {"just inside", origin, make_cloud({{0, 0, 0.6f}}), true},
      {"centroid, not first point", make_cloud({{0, 0, 0}, {0.5f, 0, 0}}),
       make_cloud({{0.8f, 0, 0}}), true},
      {"empty cloud is never close", Cloud(), origin, false},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outliner.distance(c.a, c.b), c.close);
    EXPECT_EQ(outliner.distance(c.b, c.a), c.close);
  }
}

// True when (x, y) lies inside the convex polygon `corners` or within 2 mm of its boundary.
bool contains(const Cloud & corners, float x, float y)
{
  std::vector<cv::Point2f> polygon;
  for (const auto & c : corners) polygon.emplace_back(c.x, c.y);
  return polygon.size() >= 3 && cv::pointPolygonTest(polygon, cv::Point2f(x, y), true) > -0.002;
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
  auto obstacle_cloud = [&](const std::array<int, 4> & e) {
    std::vector<Cloud> clouds;
    builder.build(milk.depth.view(), 640, {{3, e[0], e[1], e[2], e[3], 0.9f}}, view, clouds);
    return clouds.empty() ? Cloud() : clouds[0];
  };
  ClusterSettings settings;
  settings.method = 3;
  settings.merge_dis_m = 0.1f;
  settings.center_threshold_m = 0.1f;
  settings.grid_kernel_size = 5;
  const ObstacleOutliner outliner(settings);

  // Each object on its own (detergent, carton, bleach) and its centroid in x-y.
  std::vector<Cloud> objects;
  std::vector<Eigen::Vector2f> contacts;
  for (const std::array<int, 4> & edges :
       {std::array<int, 4>{88, 132, 200, 300}, {230, 55, 328, 235}, {398, 66, 500, 262}}) {
    objects.push_back(obstacle_cloud(edges));
    Eigen::Vector4f centroid;
    ASSERT_GT(pcl::compute3DCentroid(objects.back(), centroid), 100u);
    contacts.push_back(centroid.head<2>());
  }
  const Cloud all_three = obstacle_cloud({85, 52, 505, 305});
  ASSERT_GT(all_three.size(), objects[0].size() + objects[1].size() + objects[2].size());
  Cloud outline;
  std::vector<Cloud> footprints;
  ASSERT_TRUE(outliner.outline({all_three}, outline, &footprints));

  // One footprint per object: around its own object only, and no bigger than it.
  ASSERT_EQ(footprints.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const auto own = std::find_if(footprints.begin(), footprints.end(), [&](const Cloud & f) {
      return contains(f, contacts[i].x(), contacts[i].y());
    });
    ASSERT_NE(own, footprints.end());
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_EQ(contains(*own, contacts[j].x(), contacts[j].y()), i == j) << j;
    }
    const auto covered = std::count_if(objects[i].begin(), objects[i].end(),
                                       [&](auto & p) { return contains(*own, p.x, p.y); });
    EXPECT_GE(static_cast<std::size_t>(covered), objects[i].size() * 95 / 100);
    pcl::PointXYZ low, high;
    pcl::getMinMax3D(*own, low, high);
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
