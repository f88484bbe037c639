// Convex footprint polygons of object clusters and their sampled outlines.
#include "veltrax_cv_model/footprint.hpp"

#include <cmath>
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
