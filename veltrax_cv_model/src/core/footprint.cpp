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

// Points handled at a time as separate x and y arrays of a fixed length: loops over them are
// vectorised.
constexpr std::size_t kBlock = 64;

// Directions of the polygons drop_interior_points builds: a first coarse one over every point,
// then a finer one over what the first left, which lie near the hull's boundary.
constexpr std::size_t kCoarseDirections = 8;
constexpr std::size_t kFineDirections = 32;
// Points a polygon's extremes are searched among.
constexpr std::size_t kExtremeSamples = 2048;

// Copies points [begin, begin + n) (n <= kBlock) into `xs` and `ys`, the tail padded with `pad`.
void load_block(const std::vector<cv::Point2f> & points, std::size_t begin, std::size_t n,
                float pad, std::array<float, kBlock> & xs, std::array<float, kBlock> & ys)
{
  for (std::size_t i = 0; i < kBlock; ++i) {
    const cv::Point2f & p = points[begin + (i < n ? i : 0)];
    xs[i] = i < n ? p.x : pad;
    ys[i] = i < n ? p.y : pad;
  }
}

// Drops the points (no coordinate beyond `magnitude`) strictly inside the polygon of the extreme
// points in `Directions` evenly spaced directions (Akl-Toussaint): they can be neither corners nor
// on an edge of the hull, and a dense cluster has most of its points there, so the hull sorts far
// fewer points. Any corners taken from the points would do: a point strictly left of every edge of
// a closed chain of them is wound around by the chain, so it lies strictly inside their hull, and
// rounding in the choice of the extremes costs only speed.
template <std::size_t Directions>
void drop_interior_points(std::vector<cv::Point2f> & points, float magnitude)
{
  if (points.empty()) {
    return;
  }
  std::array<float, Directions> along_x, along_y;
  const double turn = 2.0 * std::acos(-1.0);
  for (std::size_t d = 0; d < Directions; ++d) {
    const double angle = turn * static_cast<double>(d) / static_cast<double>(Directions);
    along_x[d] = static_cast<float>(std::cos(angle));
    along_y[d] = static_cast<float>(std::sin(angle));
  }
  // The extreme points of an even sample of at most kExtremeSamples points: far cheaper than
  // over every point, and the polygon of a dense cluster's sample is hardly smaller. Each is found
  // for every position of a block without a branch (vectorised), then over the positions; the
  // tail of the last block is NaN, which never wins.
  const std::size_t stride = (points.size() + kExtremeSamples - 1) / kExtremeSamples;
  std::vector<cv::Point2f> sample;
  sample.reserve(kExtremeSamples);
  for (std::size_t i = 0; i < points.size(); i += stride) {
    sample.push_back(points[i]);
  }
  std::array<std::array<float, kBlock>, Directions> best;
  std::array<std::array<std::int32_t, kBlock>, Directions> best_index{};
  for (auto & positions : best) {
    positions.fill(-std::numeric_limits<float>::infinity());
  }
  std::array<float, kBlock> xs, ys;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t begin = 0; begin < sample.size(); begin += kBlock) {
    load_block(sample, begin, std::min(kBlock, sample.size() - begin), nan, xs, ys);
    const auto first = static_cast<std::int32_t>(begin);
    for (std::size_t d = 0; d < Directions; ++d) {
      for (std::size_t i = 0; i < kBlock; ++i) {
        const float key = along_x[d] * xs[i] + along_y[d] * ys[i];
        const std::int32_t better = -static_cast<std::int32_t>(key > best[d][i]);
        best[d][i] = std::max(best[d][i], key);
        best_index[d][i] =
            (best_index[d][i] & ~better) | ((first + static_cast<std::int32_t>(i)) & better);
      }
    }
  }
  std::array<std::size_t, Directions> extreme;
  for (std::size_t d = 0; d < Directions; ++d) {
    const auto at = std::max_element(best[d].begin(), best[d].end()) - best[d].begin();
    extreme[d] = static_cast<std::size_t>(best_index[d][static_cast<std::size_t>(at)]);
  }
  // The extremes in that order go counter-clockwise around the hull; repeated ones are skipped.
  std::vector<cv::Point2d> corners;
  for (const std::size_t i : extreme) {
    const cv::Point2d corner(sample[i].x, sample[i].y);
    if (corners.empty() || (corner != corners.back() && corner != corners.front())) {
      corners.push_back(corner);
    }
  }
  if (corners.size() < 3) {
    return;
  }
  // Edge functions in float, with every edge tested for every point (no early exit, no branch).
  // Float rounding of an edge function stays far below `margin` for coordinates of this
  // magnitude, so a point counted as inside is strictly inside; points close to an edge are
  // kept and left to the hull.
  const float margin = 64.0f * std::numeric_limits<float>::epsilon() * magnitude * magnitude;
  const std::size_t edge_count = corners.size();
  std::array<float, Directions> from_x, from_y, edge_x, edge_y;
  for (std::size_t k = 0; k < edge_count; ++k) {
    const cv::Point2d & a = corners[k];
    const cv::Point2d & b = corners[(k + 1) % edge_count];
    from_x[k] = static_cast<float>(a.x);
    from_y[k] = static_cast<float>(a.y);
    edge_x[k] = static_cast<float>(b.x - a.x);
    edge_y[k] = static_cast<float>(b.y - a.y);
  }
  std::array<std::int32_t, kBlock> inside;
  std::size_t kept = 0;
  for (std::size_t begin = 0; begin < points.size(); begin += kBlock) {
    const std::size_t n = std::min(kBlock, points.size() - begin);
    load_block(points, begin, n, 0.0f, xs, ys);
    inside.fill(1);
    for (std::size_t k = 0; k < edge_count; ++k) {
      for (std::size_t i = 0; i < kBlock; ++i) {
        inside[i] &= edge_x[k] * (ys[i] - from_y[k]) - edge_y[k] * (xs[i] - from_x[k]) > margin;
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
  float magnitude = 0.0f;
  for (const auto & p : cluster.points) {
    // cv::convexHull sorts its input; a NaN would break the ordering it relies on.
    if (finite_xy(p)) {
      ground.emplace_back(p.x, p.y);
      magnitude = std::max({magnitude, std::fabs(p.x), std::fabs(p.y)});
    }
  }
  Cloud polygon;
  if (ground.empty()) {
    return polygon;
  }
  drop_interior_points<kCoarseDirections>(ground, magnitude);
  drop_interior_points<kFineDirections>(ground, magnitude);
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
