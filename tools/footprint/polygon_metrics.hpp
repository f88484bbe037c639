// Comparing footprints with a true footprint in the ground plane (base_footprint x, y; metres).
// Overlap is measured by rasterising the polygons on a 5 mm grid (cv::fillConvexPoly with
// sub-pixel corners), which handles the union of several footprints, overlapping or not.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "footprint/frame_data.hpp"

namespace veltrax_footprint
{

/// Cell edge of the rasterised overlap, metres.
inline constexpr float kRasterCellM = 0.005f;

/// Area-weighted overlap of the union of `footprints` with `truth`, and the centroids of both
/// areas. Each polygon is filled as a convex polygon (a footprint is a convex hull); one with
/// fewer than three corners covers no area.
struct Overlap
{
  double iou{0.0};              ///< |union ∩ truth| / |union ∪ truth|; 0 when both are empty
  double intersection_m2{0.0};  ///< |union ∩ truth|
  std::optional<cv::Point2f> footprint_centroid;  ///< none when the footprints cover no cell
  std::optional<cv::Point2f> truth_centroid;
};

Overlap rasterised_overlap(const std::vector<Polygon> & footprints, const Polygon & truth,
                           float cell_m = kRasterCellM);

/// Largest distance from a point of `points` to the convex polygon `hull` among the points
/// outside it, metres; 0 when every point is inside or on it, or `points` is empty. A hull of
/// fewer than three corners counts every point as outside (distance to its nearest corner or
/// segment).
double largest_outside_distance(const std::vector<cv::Point2f> & points, const Polygon & hull);

/// Area of a polygon (shoelace formula, absolute value), square metres.
double polygon_area(const Polygon & polygon);

/// Convex hull of `points`, counter-clockwise (cv::convexHull); empty for no points.
Polygon convex_hull(const std::vector<cv::Point2f> & points);

}  // namespace veltrax_footprint
