// "Is any of these points within r of (x, y)?" for many queries against one set of points in the
// floor plane: a uniform grid of cells a third of r wide. A non-empty cell that lies wholly within
// reach answers at once, so queries next to a dense object cost a few lookups; only queries near
// the edge of reach look at single points. No ROS, no PCL.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrax_cv_model
{

class PlanarProximity
{
public:
  /// Indexes the finite (x, y) of [points, points + count) (any type with float x and y members,
  /// e.g. pcl::PointXYZ). A radius that is not finite and positive finds nothing.
  template <typename Point>
  PlanarProximity(const Point * points, std::size_t count, float radius_m)
  {
    std::vector<float> xy;
    xy.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
      if (std::isfinite(points[i].x) && std::isfinite(points[i].y)) {
        xy.push_back(points[i].x);
        xy.push_back(points[i].y);
      }
    }
    index(xy, radius_m);
  }

  /// True when an indexed point lies at a squared horizontal distance below r * r, in float as
  /// pcl::search::KdTree::radiusSearch compares them (dx * dx + dy * dy < float(r * r)).
  bool any_within(float x, float y) const;

private:
  /// Indexes the pairs of `xy` (x0, y0, x1, y1, ...), all finite.
  void index(const std::vector<float> & xy, float radius_m);

  struct Offset
  {
    int dx, dy;
    bool wholly_within;  ///< every point of that cell is within reach of every point of this one
  };

  float radius_squared_{0.0f};
  double cell_m_{1.0};
  double x0_{0.0}, y0_{0.0};  ///< lower corner of cell (0, 0)
  int nx_{0}, ny_{0};
  int span_{0};                            ///< cells looked at on each side of a query's own
  std::vector<std::uint32_t> cell_start_;  ///< cell c holds points cell_start_[c] .. [c + 1] - 1
  std::vector<float> x_, y_;               ///< the points, grouped by cell
  std::vector<Offset> reach_;  ///< cells that may hold a point within reach, nearest first
};

}  // namespace veltrax_cv_model
