// The cluster steps of the frame cycle through the node: method selection, the per-box split and
// seed-only merge, centroid distance at its threshold, footprint outlines, and the split of one
// recorded obstacle box into its three objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "rcutils/logging.h"
#include "support/depth_scene.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_cv_model
{
namespace
{

using veltrax_harness::LogCapture;
using veltrax_harness::RosSession;
namespace scene = veltrax_cv_model::test;

Cloud cloud_of(const std::vector<pcl::PointXYZ> & points)
{
  Cloud cloud;
  for (const auto & p : points) cloud.push_back(p);
  return cloud;
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

bool same_points(const Cloud & a, const Cloud & b)
{
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].x != b[i].x || a[i].y != b[i].y || a[i].z != b[i].z) return false;
  }
  return true;
}

TEST(NodeClusters, MethodNumberSelectsTheClustererAndUnknownOnesYieldNothing)
{
  RosSession ros({"-p", "KDTreeMinClusterSize:=31"});
  LogCapture log;
  const auto node = std::make_shared<Yolov5sPredictor>();
  std::mt19937 rng(7);

  // Three bands of ten points at x = 0.5, 1.5, 2.5, shuffled.
  Cloud::Ptr bands(new Cloud);
  for (float x : {2.5f, 0.5f, 1.5f}) *bands += band(x, 10, rng);
  std::shuffle(bands->points.begin(), bands->points.end(), rng);

  for (const int method : {0, 4}) {
    SCOPED_TRACE(method);
    log.clear();
    CloudList clusters(2);
    node->cloud_cluster(bands, clusters, method);
    EXPECT_TRUE(clusters.empty());
    EXPECT_EQ(log.messages(RCUTILS_LOG_SEVERITY_ERROR),
              std::vector<std::string>{"cluster method except!"});
  }

  log.clear();

  // k-means on x: one cloud per band, in increasing x.
  CloudList clusters;
  node->cloud_cluster(bands, clusters, 2);
  ASSERT_EQ(clusters.size(), 3u);
  for (std::size_t g = 0; g < 3; ++g) {
    SCOPED_TRACE(g);
    EXPECT_EQ(clusters[g].size(), 10u);
    for (const auto & p : clusters[g]) EXPECT_NEAR(p.x, 0.5f + static_cast<float>(g), 0.021f);
  }

  // Euclidean: a compact blob of 30 points (2 cm grid) is below KDTreeMinClusterSize = 31 ...
  Cloud::Ptr blob(new Cloud);
  for (int i = 0; i < 30; ++i) {
    blob->push_back({1.0f + 0.02f * (i % 4), 0.02f * ((i / 4) % 4), 0.02f * (i / 16)});
  }
  node->cloud_cluster(blob, clusters, 1);
  EXPECT_TRUE(clusters.empty());
  // ... one more point makes it a cluster.
  blob->push_back({1.06f, 0.06f, 0.02f});
  node->cloud_cluster(blob, clusters, 1);
  ASSERT_EQ(clusters.size(), 1u);
  EXPECT_EQ(clusters[0].size(), 31u);
  EXPECT_TRUE(log.messages(RCUTILS_LOG_SEVERITY_ERROR).empty());
}

TEST(NodeClusters, SplitsOnlyCloudsLongerThanMergeDisAndMergesBandsNearAnEarlierSeed)
{
  RosSession ros({"-p", "merge_dis:=0.5", "-p", "cluster_method:=2", "-p", "center_threshold:=0.5",
                  "--log-level", "debug"});
  const auto node = std::make_shared<Yolov5sPredictor>();
  LogCapture log;
  std::mt19937 rng(11);
  // --log-level is process-wide and outlives the session.
  struct InfoLevelAfterwards
  {
    ~InfoLevelAfterwards() { rcutils_logging_set_default_logger_level(RCUTILS_LOG_SEVERITY_INFO); }
  } restore;

  // x extent exactly merge_dis: one object, passed on as an unchanged copy.
  Cloud::Ptr short_cloud(new Cloud);
  *short_cloud = cloud_of({{0.25f, 0.0f, 0.1f}, {0.75f, 0.2f, 0.3f}, {0.5f, -0.1f, 0.2f}});
  CloudList objects;
  EXPECT_EQ(node->bbox_cluster(short_cloud, objects, node->cluster_method, node->merge_dis), 0);
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_TRUE(same_points(objects[0], *short_cloud));
  EXPECT_EQ(log.count("x_dis ="), 0u);

  // Bands at x = 0, 0.3, 1.0: the k-means split gives three, the second lies within
  // center_threshold of the first and goes back into it.
  Cloud::Ptr long_cloud(new Cloud);
  for (float x : {0.0f, 0.3f, 1.0f}) *long_cloud += band(x, 10, rng);
  objects.clear();
  EXPECT_EQ(node->bbox_cluster(long_cloud, objects, node->cluster_method, node->merge_dis), 0);
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_EQ(objects[0].size(), 20u);
  EXPECT_EQ(objects[1].size(), 10u);
  for (const auto & p : objects[0]) EXPECT_LT(p.x, 0.33f);
  for (const auto & p : objects[1]) EXPECT_GT(p.x, 0.97f);
  const std::vector<std::string> debug = log.messages(RCUTILS_LOG_SEVERITY_DEBUG);
  const auto x_dis = std::find_if(debug.begin(), debug.end(), [](const std::string & line) {
    return line.rfind("x_dis =  ", 0) == 0;
  });
  ASSERT_NE(x_dis, debug.end());
  EXPECT_NEAR(std::strtod(x_dis->c_str() + 9, nullptr), 1.0, 0.041);
  EXPECT_EQ(x_dis->back(), '\n');
  EXPECT_EQ(log.count("x_dis ="), 1u);
  // Seed 0 is compared with 1 and 2, seed 2 with nobody: two distance lines.
  EXPECT_EQ(log.count("dist =  "), 2u);
}

TEST(NodeClusters, MergesIntoSeedsOnlyAndNeedsCentroidsStrictlyCloserThanTheThreshold)
{
  // 0.625 = |(0, 0.375, 0.5)| exactly, in float and in double.
  RosSession ros({"-p", "center_threshold:=0.625"});
  const auto node = std::make_shared<Yolov5sPredictor>();
  ASSERT_FLOAT_EQ(node->center_threshold, 0.625f);

  struct Case
  {
    std::string name;
    Cloud a;
    Cloud b;
    bool close;
  };
  const Case cases[] = {
      {"along x at the threshold", cloud_of({{0, 0, 0}}), cloud_of({{0.625f, 0, 0}}), false},
      {"over y and z at the threshold", cloud_of({{0, 0, 0}}), cloud_of({{0, 0.375f, 0.5f}}),
       false},
      {"z alone counts", cloud_of({{0, 0, 0}}), cloud_of({{0, 0, 0.625f}}), false},
      {"just inside along z", cloud_of({{0, 0, 0}}), cloud_of({{0, 0, 0.6f}}), true},
      {"centroid, not first point", cloud_of({{0, 0, 0}, {0.5f, 0, 0}}), cloud_of({{0.8f, 0, 0}}),
       true},
      {"centroid at the threshold", cloud_of({{0, 0, 0}, {0.5f, 0, 0}}), cloud_of({{0.875f, 0, 0}}),
       false},
      {"empty cloud is never close", Cloud(), cloud_of({{0, 0, 0}}), false},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(node->distance(c.a, c.b), c.close);
    EXPECT_EQ(node->distance(c.b, c.a), c.close);
  }

  // A-B and B-C close, A-C not: C is compared with seed A only, and B never becomes a seed.
  const Cloud a = cloud_of({{0, 0, 0}, {0, 0.1f, 0}});
  const Cloud b = cloud_of({{0.5f, 0, 0}, {0.5f, 0.1f, 0}});
  const Cloud c = cloud_of({{1.0f, 0, 0}, {1.0f, 0.1f, 0}});
  CloudList merged(4);
  node->merge_clusters({a, b, c}, merged);
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_TRUE(same_points(merged[0], cloud_of({a[0], a[1], b[0], b[1]})));
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

TEST(NodeClusters, RectangleFootprintOutlineIsSampledAlongEverySideIncludingVerticalOnes)
{
  RosSession ros;
  const auto node = std::make_shared<Yolov5sPredictor>();
  // A box seen from above: a 5 x 3 grid of points on two heights; its hull is the rectangle
  // [0, 1] x [0, 0.5], whose short sides are vertical edges in x-y.
  Cloud box;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 3; ++j) box.push_back({0.25f * i, 0.25f * j, (i + j) % 2 ? 0.4f : 0.1f});
  }
  CloudList polygons(3);
  node->cluster_convex_hulls({box}, polygons);
  ASSERT_EQ(polygons.size(), 1u);
  Cloud outline;
  node->polygon_to_cloud(polygons, outline, 0.05f);
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
  // its edges, (1, 0.5), is never emitted: one gap of two spacings (0.07 m straight across the
  // corner). Everywhere else, the short sides included, the points are 0.05 m apart.
  std::vector<float> wide_gap_starts;
  for (std::size_t i = 1; i < along.size(); ++i) {
    const float gap = along[i] - along[i - 1];
    EXPECT_LE(gap, 0.1f + 1e-4f);
    if (gap > 0.05f + 1e-4f) wide_gap_starts.push_back(along[i - 1]);
  }
  ASSERT_EQ(wide_gap_starts.size(), 1u);
  EXPECT_NEAR(wide_gap_starts[0], 1.45f, 1e-4f);
  // 20 + 10 + 20 + 10 samples: the short sides have their 10 each.
  EXPECT_EQ(outline.size(), 60u);
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

// Top-down view for a human: x forward up, y left to the left, 1 px = 1 mm.
void draw_footprints(const std::string & path, const Cloud & detection, const CloudList & polygons,
                     const std::vector<Eigen::Vector2f> & contacts, Yolov5sPredictor & node)
{
  constexpr float kXMax = 0.85f, kXMin = 0.45f, kYMax = 0.35f, kYMin = -0.30f, kScale = 1000.0f;
  cv::Mat image(static_cast<int>((kXMax - kXMin) * kScale),
                static_cast<int>((kYMax - kYMin) * kScale), CV_8UC3, cv::Scalar(255, 255, 255));
  auto pixel = [&](float x, float y) {
    return cv::Point(static_cast<int>(std::lround((kYMax - y) * kScale)),
                     static_cast<int>(std::lround((kXMax - x) * kScale)));
  };
  for (float x = 0.5f; x < kXMax; x += 0.1f) {
    cv::line(image, pixel(x, kYMin), pixel(x, kYMax), cv::Scalar(225, 225, 225));
  }
  for (float y = -0.3f; y < kYMax; y += 0.1f) {
    cv::line(image, pixel(kXMin, y), pixel(kXMax, y), cv::Scalar(225, 225, 225));
  }
  for (const auto & p : detection)
    cv::circle(image, pixel(p.x, p.y), 1, cv::Scalar(160, 160, 160), -1);
  const cv::Scalar colours[] = {{200, 60, 0}, {0, 150, 0}, {0, 0, 220}, {180, 0, 180}};
  for (std::size_t i = 0; i < polygons.size(); ++i) {
    const cv::Scalar & colour = colours[i % 4];
    for (std::size_t c = 0; c < polygons[i].size(); ++c) {
      const auto & a = polygons[i][c];
      const auto & b = polygons[i][(c + 1) % polygons[i].size()];
      cv::line(image, pixel(a.x, a.y), pixel(b.x, b.y), colour, 1);
    }
    Cloud outline;
    node.polygon_to_cloud({polygons[i]}, outline, 0.05f);
    for (const auto & p : outline) cv::circle(image, pixel(p.x, p.y), 4, colour, -1);
  }
  for (const Eigen::Vector2f & c : contacts) {
    cv::drawMarker(image, pixel(c.x(), c.y()), cv::Scalar(0, 0, 0), cv::MARKER_CROSS, 14, 2);
  }
  cv::putText(image, "x forward (up), y left (left); grid 0.1 m", cv::Point(8, 20),
              cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(0, 0, 0), 1);
  cv::imwrite(path, image);
}

// One obstacle box around the detergent bottle, the milk carton and the bleach bottle of the
// recorded frame. At downsample_leaf_size 0.01 the grid clustering's default 3-cell closing
// leaves the carton's gable top (about ten points, 0.24 m up, 2 cm behind its front face) as a
// cluster of its own whose centroid lies 0.13 m from the body's, so it would become a fourth
// footprint at center_threshold 0.1; a 5-cell closing joins it to the body.
TEST(NodeClusters, SplitsARecordedBoxAroundThreeObjectsIntoOneFootprintEach)
{
  RosSession ros({"-p", "cluster_method:=3", "-p", "merge_dis:=0.1", "-p", "center_threshold:=0.1",
                  "-p", "downsample_leaf_size:=0.01", "-p", "grid_kernelSize:=5"});
  const auto node = std::make_shared<Yolov5sPredictor>();
  const scene::RecordedScene milk = scene::load_recorded_scene("milk_cartoon");
  const ImageConstPtr depth = scene::depth_message(milk.depth);
  const ImageConstPtr color = scene::color_message(640, 480);
  const int obstacle = node->label_to_id_.at("obstacle");
  auto detection_cloud = [&](const int(&edges)[4]) {
    DetectionFrame frame;
    frame.objects = {scene::milk_cartoon_box(obstacle, edges)};
    CloudList clouds;
    node->build_detection_clouds(frame, color, depth, clouds, milk.camera_to_base,
                                 scene::kinect_intrinsics(), node->camera1_min, node->camera1_max);
    return clouds.empty() ? Cloud() : clouds[0];
  };

  // Each object on its own: its biggest Euclidean cluster, and where it meets the floor (mean
  // x, y of its points in the lowest 8 cm).
  std::vector<Cloud> objects;
  std::vector<Eigen::Vector2f> contacts;
  for (const auto * edges :
       {&scene::MilkCartoonBoxes::kDetergent, &scene::MilkCartoonBoxes::kCarton,
        &scene::MilkCartoonBoxes::kBleach}) {
    CloudList clusters;
    node->cloud_cluster(Cloud::Ptr(new Cloud(detection_cloud(*edges))), clusters, 1);
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

  const Cloud all_three = detection_cloud(scene::MilkCartoonBoxes::kAllThree);
  ASSERT_GT(all_three.size(), objects[0].size() + objects[1].size() + objects[2].size());
  CloudList split;
  node->bbox_cluster(Cloud::Ptr(new Cloud(all_three)), split, node->cluster_method,
                     node->merge_dis);
  CloudList polygons;
  node->cluster_convex_hulls(split, polygons);
  Cloud outline;
  node->polygon_to_cloud(polygons, outline, 0.05f);
  if (const char * path = std::getenv("VELTRAX_FOOTPRINT_PNG")) {
    draw_footprints(path, all_three, polygons, contacts, *node);
  }

  // One footprint per object, each around its own object only.
  ASSERT_EQ(polygons.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    std::vector<std::size_t> holding;
    for (std::size_t f = 0; f < polygons.size(); ++f) {
      if (contains(polygons[f], contacts[i].x(), contacts[i].y())) holding.push_back(f);
    }
    ASSERT_EQ(holding.size(), 1u);
    const Cloud & footprint = polygons[holding[0]];
    std::size_t covered = 0;
    for (const auto & p : objects[i]) covered += contains(footprint, p.x, p.y) ? 1 : 0;
    EXPECT_GE(covered, objects[i].size() * 95 / 100);
    for (std::size_t j = 0; j < 3; ++j) {
      if (j != i) {
        EXPECT_FALSE(contains(footprint, contacts[j].x(), contacts[j].y()));
      }
    }
    // A footprint as big as the object's visible surface, not the whole box.
    float x_low = 1e9f, x_high = -1e9f, y_low = 1e9f, y_high = -1e9f;
    for (const auto & c : footprint) {
      x_low = std::min(x_low, c.x);
      x_high = std::max(x_high, c.x);
      y_low = std::min(y_low, c.y);
      y_high = std::max(y_high, c.y);
    }
    EXPECT_LT(x_high - x_low, 0.15f);
    EXPECT_LT(y_high - y_low, 0.2f);
  }
  // The published outline: every footprint's ring, on the floor.
  EXPECT_GT(outline.size(), 3u * 6u);
  for (const auto & p : outline) {
    EXPECT_EQ(p.z, 0.0f);
    std::size_t on = 0;
    for (const Cloud & footprint : polygons) on += contains(footprint, p.x, p.y) ? 1 : 0;
    EXPECT_EQ(on, 1u) << p;
  }
}

}  // namespace
}  // namespace veltrax_cv_model
