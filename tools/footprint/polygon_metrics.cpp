#include "footprint/polygon_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

namespace veltrax_footprint
{
namespace
{

// Sub-pixel bits of cv::fillConvexPoly's corners.
constexpr int kShiftBits = 8;

double segment_distance(const cv::Point2f & p, const cv::Point2f & a, const cv::Point2f & b)
{
  const cv::Point2d ab(b.x - a.x, b.y - a.y);
  const cv::Point2d ap(p.x - a.x, p.y - a.y);
  const double length2 = ab.dot(ab);
  const double t = length2 > 0.0 ? std::clamp(ap.dot(ab) / length2, 0.0, 1.0) : 0.0;
  return std::hypot(ap.x - t * ab.x, ap.y - t * ab.y);
}

// Inside or on a convex polygon of either orientation.
bool inside_convex(const cv::Point2f & p, const Polygon & hull)
{
  bool has_positive = false;
  bool has_negative = false;
  for (std::size_t i = 0; i < hull.size(); ++i) {
    const cv::Point2f & a = hull[i];
    const cv::Point2f & b = hull[(i + 1) % hull.size()];
    const double cross =
        static_cast<double>(b.x - a.x) * (p.y - a.y) - static_cast<double>(b.y - a.y) * (p.x - a.x);
    has_positive = has_positive || cross > 1e-12;
    has_negative = has_negative || cross < -1e-12;
  }
  return !(has_positive && has_negative);
}

struct Raster
{
  cv::Point2f origin;
  float cell_m{kRasterCellM};
  cv::Size size;

  void fill(const Polygon & polygon, cv::Mat & mask) const
  {
    if (polygon.size() < 3 || polygon_area(polygon) <= 0.0) {
      return;
    }
    std::vector<cv::Point> corners;
    const double scale = (1 << kShiftBits) / static_cast<double>(cell_m);
    for (const cv::Point2f & c : polygon) {
      corners.emplace_back(static_cast<int>(std::lround((c.x - origin.x) * scale)),
                           static_cast<int>(std::lround((c.y - origin.y) * scale)));
    }
    cv::fillConvexPoly(mask, corners, cv::Scalar(255), cv::LINE_8, kShiftBits);
  }

  std::optional<cv::Point2f> centroid(const cv::Mat & mask) const
  {
    const cv::Moments m = cv::moments(mask, true);
    if (m.m00 <= 0.0) {
      return std::nullopt;
    }
    return cv::Point2f(origin.x + static_cast<float>(m.m10 / m.m00) * cell_m,
                       origin.y + static_cast<float>(m.m01 / m.m00) * cell_m);
  }
};

}  // namespace

Overlap rasterised_overlap(const std::vector<Polygon> & footprints, const Polygon & truth,
                           float cell_m)
{
  cv::Point2f low(std::numeric_limits<float>::max(), std::numeric_limits<float>::max());
  cv::Point2f high(-low.x, -low.y);
  auto extend = [&](const Polygon & polygon) {
    for (const cv::Point2f & c : polygon) {
      low = cv::Point2f(std::min(low.x, c.x), std::min(low.y, c.y));
      high = cv::Point2f(std::max(high.x, c.x), std::max(high.y, c.y));
    }
  };
  extend(truth);
  for (const Polygon & footprint : footprints) {
    extend(footprint);
  }
  Overlap overlap;
  if (low.x > high.x) {
    return overlap;
  }
  // One cell of margin on each side; the cell's centre is its sample point.
  Raster raster{low - cv::Point2f(cell_m, cell_m), cell_m, {}};
  raster.size = cv::Size(static_cast<int>(std::ceil((high.x - low.x) / cell_m)) + 3,
                         static_cast<int>(std::ceil((high.y - low.y) / cell_m)) + 3);
  cv::Mat footprint_mask(raster.size, CV_8U, cv::Scalar(0));
  cv::Mat truth_mask(raster.size, CV_8U, cv::Scalar(0));
  for (const Polygon & footprint : footprints) {
    raster.fill(footprint, footprint_mask);
  }
  raster.fill(truth, truth_mask);
  cv::Mat both;
  cv::Mat either;
  cv::bitwise_and(footprint_mask, truth_mask, both);
  cv::bitwise_or(footprint_mask, truth_mask, either);
  const int union_cells = cv::countNonZero(either);
  const int shared_cells = cv::countNonZero(both);
  overlap.iou = union_cells > 0 ? static_cast<double>(shared_cells) / union_cells : 0.0;
  overlap.intersection_m2 = static_cast<double>(shared_cells) * cell_m * cell_m;
  overlap.footprint_centroid = raster.centroid(footprint_mask);
  overlap.truth_centroid = raster.centroid(truth_mask);
  return overlap;
}

double largest_outside_distance(const std::vector<cv::Point2f> & points, const Polygon & hull)
{
  double largest = 0.0;
  if (hull.empty()) {
    return points.empty() ? 0.0 : std::numeric_limits<double>::infinity();
  }
  for (const cv::Point2f & p : points) {
    if (hull.size() >= 3 && inside_convex(p, hull)) {
      continue;
    }
    double nearest = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < hull.size(); ++i) {
      nearest = std::min(nearest, segment_distance(p, hull[i], hull[(i + 1) % hull.size()]));
    }
    largest = std::max(largest, nearest);
  }
  return largest;
}

double polygon_area(const Polygon & polygon)
{
  double twice = 0.0;
  for (std::size_t i = 0; i < polygon.size(); ++i) {
    const cv::Point2f & a = polygon[i];
    const cv::Point2f & b = polygon[(i + 1) % polygon.size()];
    twice += static_cast<double>(a.x) * b.y - static_cast<double>(b.x) * a.y;
  }
  return std::abs(twice) / 2.0;
}

Polygon convex_hull(const std::vector<cv::Point2f> & points)
{
  Polygon hull;
  if (!points.empty()) {
    cv::convexHull(points, hull, false, true);
  }
  return hull;
}

}  // namespace veltrax_footprint
