#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "support/cloud_builders.hpp"
#include "veltrax_cv_model/footprint.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

using test::kNaN;
using test::make_cloud;

Cloud outline_of(const std::vector<Cloud> & polygons, float spacing = kOutlineSpacingM)
{
  Cloud outline;
  outline.header.frame_id = "base_footprint";
  polygon_to_cloud(polygons, spacing, outline);
  EXPECT_EQ(outline.header.frame_id, "base_footprint");
  EXPECT_EQ(outline.width, outline.size());
  EXPECT_EQ(outline.height, outline.empty() ? 0u : 1u);
  for (const auto & p : outline.points) {
    EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y));
    EXPECT_EQ(p.z, 0.0f);
  }
  return outline;
}

// Smallest distance from (x, y) to any outline point.
float gap_to_outline(const Cloud & outline, float x, float y)
{
  float best = std::numeric_limits<float>::infinity();
  for (const auto & p : outline.points) {
    best = std::min(best, std::hypot(p.x - x, p.y - y));
  }
  return best;
}

TEST(FootprintHull, FivePointsBecomeTheirHullAndSixtySixOutlinePoints)
{
  const Cloud cluster = make_cloud(
      {{0, 0, 0.4f}, {1, 0, 0.1f}, {0.5f, 1, 0.9f}, {0.5f, 0.5f, 0.2f}, {0.4f, 0.2f, 0.3f}});
  std::vector<Cloud> polygons{Cloud()};  // stale entry: must be cleared
  cluster_convex_hulls({cluster}, polygons);
  ASSERT_EQ(polygons.size(), 1u);
  std::vector<std::pair<float, float>> corners;
  for (const auto & p : polygons[0].points) {
    EXPECT_EQ(p.z, 0.0f);
    corners.emplace_back(p.x, p.y);
  }
  std::sort(corners.begin(), corners.end());
  const std::vector<std::pair<float, float>> expected = {{0, 0}, {0.5f, 1}, {1, 0}};
  EXPECT_EQ(corners, expected);

  const Cloud outline = outline_of(polygons);
  EXPECT_EQ(outline.size(), 66u);  // 20 + 23 + 23
}

// The hull skips the points inside its extreme points' octagon; the corners must be exactly
// those of the hull of every point, for dense blobs, grids with long collinear sides, thin
// slivers and points that all lie on the hull.
TEST(FootprintHull, LargeClustersGiveTheHullOfAllTheirPoints)
{
  std::mt19937 random(5);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const std::vector<std::function<pcl::PointXYZ(int)>> shapes{
      [&](int) { return pcl::PointXYZ(2.0f + unit(random), unit(random), 0.3f); },
      [](int i) { return pcl::PointXYZ(0.01f * (i % 100), 0.01f * (i / 100), 0.0f); },
      [&](int) { return pcl::PointXYZ(unit(random), 0.001f * unit(random), 0.0f); },
      [](int i) { return pcl::PointXYZ(std::cos(0.01f * i), std::sin(0.01f * i), 0.0f); },
  };
  for (std::size_t s = 0; s < shapes.size(); ++s) {
    SCOPED_TRACE(s);
    Cloud cluster;
    std::vector<cv::Point2f> all;
    for (int i = 0; i < 10000; ++i) {
      cluster.push_back(shapes[s](i));
      all.emplace_back(cluster.back().x, cluster.back().y);
    }
    std::vector<cv::Point2f> expected;
    cv::convexHull(all, expected, false, true);
    const Cloud polygon = footprint_polygon(cluster);
    ASSERT_EQ(polygon.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(polygon[i].x, expected[i].x);
      EXPECT_EQ(polygon[i].y, expected[i].y);
    }
  }
}

TEST(FootprintHull, SmallClustersPassThroughAndDegenerateOnesShrink)
{
  const Cloud four = make_cloud({{0, 0, 0.5f}, {1, 0, 0.6f}, {1, 1, 0.7f}, {kNaN, 0, 0}});
  const Cloud collinear =
      make_cloud({{0, 0, 1}, {0.2f, 0, 1}, {0.5f, 0, 1}, {1, 0, 1}, {0.7f, 0, 1}});
  const Cloud with_nan =
      make_cloud({{0, 0, 0}, {kNaN, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, kNaN, 0}, {1, 1, 0}});
  const Cloud all_nan =
      make_cloud({{kNaN, 0, 0}, {kNaN, 0, 0}, {kNaN, 0, 0}, {kNaN, 0, 0}, {kNaN, 0, 0}});
  std::vector<Cloud> polygons;
  cluster_convex_hulls({four, collinear, with_nan, all_nan, Cloud()}, polygons);
  ASSERT_EQ(polygons.size(), 5u);
  ASSERT_EQ(polygons[0].size(), 4u);  // copied, z and all
  EXPECT_EQ(polygons[0].points[2].z, 0.7f);
  EXPECT_EQ(polygons[1].size(), 2u);  // the segment's two ends
  EXPECT_EQ(polygons[2].size(), 4u);  // the unit square, NaN points ignored
  EXPECT_TRUE(polygons[3].empty());
  EXPECT_TRUE(polygons[4].empty());

  const Cloud outline = outline_of(polygons);  // also: no NaN from the copied 4-point cluster
  // Two edges of the copy (the two touching the NaN corner are dropped), the collinear segment
  // twice, the square's four edges.
  EXPECT_EQ(outline.size(), 2u * 20u + 2u * 20u + 4u * 20u);
}

TEST(FootprintOutline, EdgesStartAtTheirSmallerXEnd)
{
  // (1,0) -> (0,0) and back: both directions sample from (0,0).
  const Cloud outline = outline_of({make_cloud({{1, 0, 0}, {0, 0, 0}})});
  ASSERT_EQ(outline.size(), 40u);
  for (std::size_t k = 0; k < 20; ++k) {
    SCOPED_TRACE(k);
    EXPECT_NEAR(outline.points[k].x, 0.05f * k, 1e-6f);
    EXPECT_EQ(outline.points[k].y, 0.0f);
    EXPECT_EQ(outline.points[k + 20].x, outline.points[k].x);
  }
}

TEST(FootprintOutline, PolygonCornerCountsAndSpacing)
{
  const struct
  {
    const char * name;
    std::vector<Cloud> polygons;
    float spacing;
    std::size_t points;
  } cases[] = {
      {"no polygons", {}, kOutlineSpacingM, 0},
      {"empty polygon", {Cloud()}, kOutlineSpacingM, 0},
      {"one corner", {make_cloud({{1, 1, 1}})}, kOutlineSpacingM, 0},
      {"corner to itself", {make_cloud({{1, 1, 0}, {1, 1, 0}})}, kOutlineSpacingM, 0},
      {"NaN corner drops its two edges",
       {make_cloud({{0, 0, 0}, {1, 0, 0}, {kNaN, 1, 0}})},
       kOutlineSpacingM,
       20},
      {"zero spacing", {make_cloud({{0, 0, 0}, {1, 0, 0}})}, 0.0f, 0},
      {"NaN spacing", {make_cloud({{0, 0, 0}, {1, 0, 0}})}, kNaN, 0},
      {"kilometre-scale edge", {make_cloud({{0, 0, 0}, {1e6f, 0, 0}})}, kOutlineSpacingM, 0},
      {"spacing longer than the edge", {make_cloud({{0, 0, 0}, {1, 0, 0}})}, 5.0f, 2},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outline_of(c.polygons, c.spacing).size(), c.points);
  }
}

TEST(FootprintOutline, VerticalAndNearVerticalEdgesAreSampledAlongY)
{
  // Regression: in 32-bit floats atan(dy / 0) is pi/2 and its cosine slightly negative, and at
  // slope 1e9 the cosine is negative too, so such edges came out with no points at all.
  const struct
  {
    const char * name;
    pcl::PointXYZ a;
    pcl::PointXYZ b;
  } cases[] = {{"vertical, upwards", {0, 0, 0}, {0, 1, 0}},
               {"vertical, downwards", {0, 1, 0}, {0, 0, 0}},
               {"slope 1e9", {0, 1, 0}, {1e-9f, 0, 0}},
               {"slope -1e5", {1e-5f, 0, 0}, {0, 1, 0}}};
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    const Cloud outline = outline_of({make_cloud({c.a, c.b})});
    ASSERT_EQ(outline.size(), 40u);  // the segment twice
    for (std::size_t k = 0; k < 20; ++k) {
      EXPECT_NEAR(outline.points[k].x, 0.0f, 1e-5f);
      EXPECT_NEAR(outline.points[k].y, 0.05f * k, 1e-6f);
    }
  }
}

TEST(FootprintOutline, RectangleOutlineHasNoGaps)
{
  // Axis-aligned: two of its edges are vertical in x-y.
  const Cloud rectangle = make_cloud({{1.0f, -0.25f, 0},
                                      {1.625f, -0.25f, 0},
                                      {1.625f, 0.5f, 0},
                                      {1.0f, 0.5f, 0},
                                      {1.3f, 0.0f, 0}});
  std::vector<Cloud> polygons;
  cluster_convex_hulls({rectangle}, polygons);
  ASSERT_EQ(polygons[0].size(), 4u);
  const Cloud outline = outline_of(polygons);
  EXPECT_EQ(outline.size(), 2u * 13u + 2u * 15u);  // ceil(0.625 / 0.05), ceil(0.75 / 0.05)
  for (int i = 0; i <= 100; ++i) {
    const float t = 0.01f * i;
    SCOPED_TRACE(t);
    EXPECT_LE(gap_to_outline(outline, 1.0f + 0.625f * t, -0.25f), kOutlineSpacingM);
    EXPECT_LE(gap_to_outline(outline, 1.0f + 0.625f * t, 0.5f), kOutlineSpacingM);
    EXPECT_LE(gap_to_outline(outline, 1.0f, -0.25f + 0.75f * t), kOutlineSpacingM);
    EXPECT_LE(gap_to_outline(outline, 1.625f, -0.25f + 0.75f * t), kOutlineSpacingM);
  }
}

}  // namespace
}  // namespace veltrax_cv_model
