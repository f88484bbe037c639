// Footprints of object clusters: convex polygons in the ground plane of the robot frame
// (base_footprint: x forward, y left, z up; metres) and the evenly spaced outline points that
// the node publishes for them. No ROS, no logging.
#pragma once

#include <cstddef>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace veltrax_cv_model
{

/// A cluster needs at least this many points to be replaced by its convex hull.
inline constexpr std::size_t kHullMinPoints = 5;
/// Spacing of the published outline points, metres.
inline constexpr float kOutlineSpacingM = 0.05f;
/// Edges needing more samples than this (kilometres long at 5 cm) contribute no outline points,
/// so one absurd corner cannot exhaust memory.
inline constexpr int kMaxSamplesPerEdge = 1 << 20;
/// Edges steeper than this (|dy| > kSteepEdgeSlope * dx) are sampled along y: the 32-bit slope
/// angle cannot resolve them (at slope 1e7 its cosine already comes out negative), and the
/// sideways drift this ignores is below 1/4096 of the edge length.
inline constexpr float kSteepEdgeSlope = 4096.0f;

/// The footprint polygon of one cluster. With kHullMinPoints points or more: the convex hull of
/// the finite points' (x, y) as corners (x, y, 0), counter-clockwise in the order cv::convexHull
/// returns them (one or two corners for coincident or collinear points; none when no point is
/// finite). With fewer points: a copy of the cluster, z values included. Default header.
pcl::PointCloud<pcl::PointXYZ> footprint_polygon(const pcl::PointCloud<pcl::PointXYZ> & cluster);

/// Clears `polygons` and appends footprint_polygon() of each cluster: same order, same count.
void cluster_convex_hulls(const std::vector<pcl::PointCloud<pcl::PointXYZ>> & clusters,
                          std::vector<pcl::PointCloud<pcl::PointXYZ>> & polygons);

/// Replaces the points of `outline` with points spaced `spacing_m` apart along every edge of
/// every polygon, in polygon order and corner order, with z = 0; its header is left alone.
///
/// Each polygon is closed (its last corner connects to its first). An edge is sampled from its
/// end with the smaller x: with A that end, dx = B.x - A.x, angle = atan(dy / dx) in float, it
/// yields m = ceil((dx / cos) / spacing) points A + k * spacing * (cos, sin), k = 0 .. m - 1, so
/// the far end is left to the next edge. Edges steeper than kSteepEdgeSlope (vertical ones
/// included) yield the same spacing along y from their end with the smaller y. A polygon of one
/// corner, an edge from a corner to itself, an edge with a non-finite end and an edge over
/// kMaxSamplesPerEdge yield nothing; a polygon of two corners yields its segment twice.
///
/// Width = number of points, height 1; width and height 0 when no point results (also for a
/// spacing that is not positive and finite). No output point is ever NaN or infinite.
void polygon_to_cloud(const std::vector<pcl::PointCloud<pcl::PointXYZ>> & polygons, float spacing_m,
                      pcl::PointCloud<pcl::PointXYZ> & outline);

}  // namespace veltrax_cv_model
