// Convex footprint polygons of object clusters and their sampled outlines.
#include "veltrax_cv_model/footprint.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace veltrax_cv_model
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

namespace
{

bool finite_xy(const pcl::PointXYZ & p) { return std::isfinite(p.x) && std::isfinite(p.y); }

void push_samples(float x0, float y0, float c, float s, float length_m, float h, Cloud & outline)
{
  const float count = std::ceil(length_m / h);
  // The negated test also rejects NaN and infinity before the integer conversion.
  if (!(count <= static_cast<float>(kMaxSamplesPerEdge)) || count <= 0.0f) {
    return;
  }
  const int m = static_cast<int>(count);
  for (int k = 0; k < m; ++k) {
    const float t = static_cast<float>(k) * h;
    outline.push_back(pcl::PointXYZ(x0 + t * c, y0 + t * s, 0.0f));
  }
}

void sample_edge(pcl::PointXYZ a, pcl::PointXYZ b, float h, Cloud & outline)
{
  if (!finite_xy(a) || !finite_xy(b)) {
    return;
  }
  if (a.x > b.x) {
    std::swap(a, b);
  }
  const float dx = b.x - a.x;
  const float dy = b.y - a.y;
  if (dx == 0.0f && dy == 0.0f) {
    return;
  }
  if (std::fabs(dy) > kSteepEdgeSlope * dx) {
    const pcl::PointXYZ & low = a.y <= b.y ? a : b;
    push_samples(low.x, low.y, 0.0f, 1.0f, std::fabs(dy), h, outline);
    return;
  }
  const float theta = std::atan(dy / dx);
  const float c = std::cos(theta);
  const float s = std::sin(theta);
  push_samples(a.x, a.y, c, s, dx / c, h, outline);
}

// Drops the points strictly inside the polygon of the extreme points in eight directions (x, y,
// x + y, x - y, both ways; Akl-Toussaint): they can be neither corners nor on an edge of the
// hull, and a dense cluster has most of its points there, so the hull sorts far fewer points.
// Any corners taken from the points would do: a point strictly left of every edge of a closed
// chain of them lies strictly inside their hull, so rounding in the choice of the extremes costs
// only speed.
void drop_interior_points(std::vector<cv::Point2f> & points)
{
  std::array<std::size_t, 8> extreme{};
  std::array<float, 8> best{};
  best.fill(-std::numeric_limits<float>::infinity());
  const auto update = [&](std::size_t d, float key, std::size_t i) {
    if (key > best[d]) {
      best[d] = key;
      extreme[d] = i;
    }
  };
  for (std::size_t i = 0; i < points.size(); ++i) {
    const float x = points[i].x;
    const float y = points[i].y;
    update(0, x, i);
    update(1, x + y, i);
    update(2, y, i);
    update(3, y - x, i);
    update(4, -x, i);
    update(5, -x - y, i);
    update(6, -y, i);
    update(7, x - y, i);
  }
  // The extremes in that order go counter-clockwise around the hull; repeated ones are skipped.
  std::vector<cv::Point2d> corners;
  for (const std::size_t i : extreme) {
    const cv::Point2d corner(points[i].x, points[i].y);
    if (corners.empty() || (corner != corners.back() && corner != corners.front())) {
      corners.push_back(corner);
    }
  }
  if (corners.size() < 3) {
    return;
  }
  // Edge functions in float, with every edge tested for every point (no early exit, no branch);
  // a chain of fewer than eight corners repeats its last edge.
  // Float rounding of an edge function stays far below `margin` for coordinates of this
  // magnitude, so a point counted as inside is strictly inside; points close to an edge are
  // kept and left to the hull.
  float magnitude = 0.0f;
  for (const cv::Point2d & c : corners) {
    magnitude = std::max(
        {magnitude, static_cast<float>(std::fabs(c.x)), static_cast<float>(std::fabs(c.y))});
  }
  const float margin = 64.0f * std::numeric_limits<float>::epsilon() * magnitude * magnitude;
  std::array<float, 8> from_x, from_y, along_x, along_y;
  const std::size_t edge_count = corners.size();
  for (std::size_t k = 0; k < 8; ++k) {
    const std::size_t e = std::min(k, edge_count - 1);
    const cv::Point2d & a = corners[e];
    const cv::Point2d & b = corners[(e + 1) % edge_count];
    from_x[k] = static_cast<float>(a.x);
    from_y[k] = static_cast<float>(a.y);
    along_x[k] = static_cast<float>(b.x - a.x);
    along_y[k] = static_cast<float>(b.y - a.y);
  }
  // Blocks of points as separate x and y arrays of a fixed length, a loop the compiler
  // vectorises; the tail is padded with the first corner, which is never inside.
  constexpr std::size_t kBlock = 64;
  std::array<float, kBlock> xs, ys;
  std::array<std::int32_t, kBlock> inside;
  std::size_t kept = 0;
  for (std::size_t begin = 0; begin < points.size(); begin += kBlock) {
    const std::size_t n = std::min(kBlock, points.size() - begin);
    for (std::size_t i = 0; i < kBlock; ++i) {
      const cv::Point2f & p = points[begin + std::min(i, n - 1)];
      xs[i] = i < n ? p.x : from_x[0];
      ys[i] = i < n ? p.y : from_y[0];
      inside[i] = 1;
    }
    for (std::size_t k = 0; k < 8; ++k) {
      for (std::size_t i = 0; i < kBlock; ++i) {
        inside[i] &= along_x[k] * (ys[i] - from_y[k]) - along_y[k] * (xs[i] - from_x[k]) > margin;
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (inside[i] == 0) {
        points[kept++] = points[begin + i];
      }
    }
  }
  points.resize(kept);
}

}  // namespace

Cloud footprint_polygon(const Cloud & cluster)
{
  if (cluster.size() < kHullMinPoints) {
    return cluster;
  }
  std::vector<cv::Point2f> ground;
  ground.reserve(cluster.size());
  for (const auto & p : cluster.points) {
    // cv::convexHull sorts its input; a NaN would break the ordering it relies on.
    if (finite_xy(p)) {
      ground.emplace_back(p.x, p.y);
    }
  }
  Cloud polygon;
  if (ground.empty()) {
    return polygon;
  }
  drop_interior_points(ground);
  std::vector<cv::Point2f> corners;
  cv::convexHull(ground, corners, false, true);
  polygon.reserve(corners.size());
  for (const auto & corner : corners) {
    polygon.push_back(pcl::PointXYZ(corner.x, corner.y, 0.0f));
  }
  return polygon;
}

void cluster_convex_hulls(const std::vector<Cloud> & clusters, std::vector<Cloud> & polygons)
{
  polygons.clear();
  polygons.reserve(clusters.size());
  for (const auto & cluster : clusters) {
    polygons.push_back(footprint_polygon(cluster));
  }
}

void polygon_to_cloud(const std::vector<Cloud> & polygons, float spacing_m, Cloud & outline)
{
  outline.clear();
  if (!std::isfinite(spacing_m) || spacing_m <= 0.0f) {
    return;
  }
  for (const auto & polygon : polygons) {
    const std::size_t n = polygon.size();
    for (std::size_t i = 0; i < n; ++i) {
      sample_edge(polygon.points[i], polygon.points[(i + 1) % n], spacing_m, outline);
    }
  }
}

}  // namespace veltrax_cv_model
