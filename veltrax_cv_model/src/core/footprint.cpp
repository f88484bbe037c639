// Convex footprint polygons of object clusters and their sampled outlines.
#include "veltrax_cv_model/footprint.hpp"

#include <algorithm>
#include <array>
#include <cmath>
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
// The signs of the cross products are taken in double, where they are exact for float input.
void drop_interior_points(std::vector<cv::Point2f> & points)
{
  std::array<std::size_t, 8> extreme{};
  std::array<double, 8> best{};
  best.fill(-std::numeric_limits<double>::infinity());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double x = points[i].x;
    const double y = points[i].y;
    const std::array<double, 8> key{x, x + y, y, y - x, -x, -x - y, -y, x - y};
    for (std::size_t d = 0; d < 8; ++d) {
      if (key[d] > best[d]) {
        best[d] = key[d];
        extreme[d] = i;
      }
    }
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
  const auto strictly_inside = [&corners](const cv::Point2f & p) {
    for (std::size_t k = 0; k < corners.size(); ++k) {
      const cv::Point2d & a = corners[k];
      const cv::Point2d & b = corners[(k + 1) % corners.size()];
      if ((b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x) <= 0.0) {
        return false;
      }
    }
    return true;
  };
  points.erase(std::remove_if(points.begin(), points.end(), strictly_inside), points.end());
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

void convex_hull_polygons(const std::vector<Cloud> & clusters, std::vector<Cloud> & polygons)
{
  polygons.clear();
  polygons.reserve(clusters.size());
  for (const auto & cluster : clusters) {
    polygons.push_back(footprint_polygon(cluster));
  }
}

void sample_polygon_outlines(const std::vector<Cloud> & polygons, float spacing_m, Cloud & outline)
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
