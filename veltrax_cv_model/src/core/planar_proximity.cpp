#include "veltrax_cv_model/planar_proximity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace veltrax_cv_model
{
namespace
{

// Cells per radius; with three, the 3 x 3 cells around a query's own are wholly within reach.
constexpr double kCellsPerRadius = 3.0;
// At most this many cells: a wider spread of points gets coarser cells, never more memory.
constexpr double kMaxCells = 1 << 22;
// Cell membership and the reach test are computed in double from float input; this margin keeps
// a point whose float distance is just below r from falling outside the cells looked at.
constexpr double kReachMargin = 1e-3;

}  // namespace

void PlanarProximity::index(const std::vector<float> & xy, float radius_m)
{
  if (!(std::isfinite(radius_m) && radius_m > 0.0f)) {
    return;
  }
  // The comparison pcl::search::KdTree makes: its radius squared in double, then float.
  radius_squared_ = static_cast<float>(static_cast<double>(radius_m) * radius_m);
  double min_x = std::numeric_limits<double>::infinity(), min_y = min_x;
  double max_x = -min_x, max_y = -min_x;
  const std::size_t count = xy.size() / 2;
  for (std::size_t i = 0; i + 1 < xy.size(); i += 2) {
    min_x = std::min<double>(min_x, xy[i]);
    max_x = std::max<double>(max_x, xy[i]);
    min_y = std::min<double>(min_y, xy[i + 1]);
    max_y = std::max<double>(max_y, xy[i + 1]);
  }
  if (count == 0) {
    return;
  }
  const double radius = radius_m;
  cell_m_ = radius / kCellsPerRadius;
  const double area = (max_x - min_x + 2.0 * radius) * (max_y - min_y + 2.0 * radius);
  if (area / (cell_m_ * cell_m_) > kMaxCells) {
    cell_m_ = std::sqrt(area / kMaxCells);
  }
  x0_ = min_x;
  y0_ = min_y;
  nx_ = static_cast<int>((max_x - min_x) / cell_m_) + 1;
  ny_ = static_cast<int>((max_y - min_y) / cell_m_) + 1;

  // Counting sort of the points by cell.
  const auto cell_of = [&](double x, double y) {
    const int cx = std::clamp(static_cast<int>((x - x0_) / cell_m_), 0, nx_ - 1);
    const int cy = std::clamp(static_cast<int>((y - y0_) / cell_m_), 0, ny_ - 1);
    return static_cast<std::size_t>(cy) * static_cast<std::size_t>(nx_) +
           static_cast<std::size_t>(cx);
  };
  cell_start_.assign(static_cast<std::size_t>(nx_) * static_cast<std::size_t>(ny_) + 1, 0);
  for (std::size_t i = 0; i + 1 < xy.size(); i += 2) {
    ++cell_start_[cell_of(xy[i], xy[i + 1]) + 1];
  }
  for (std::size_t c = 1; c < cell_start_.size(); ++c) {
    cell_start_[c] += cell_start_[c - 1];
  }
  std::vector<std::uint32_t> fill(cell_start_.begin(), cell_start_.end() - 1);
  x_.resize(count);
  y_.resize(count);
  for (std::size_t i = 0; i + 1 < xy.size(); i += 2) {
    const std::uint32_t at = fill[cell_of(xy[i], xy[i + 1])]++;
    x_[at] = xy[i];
    y_[at] = xy[i + 1];
  }

  // Cells whose nearest point to the query's cell may be within reach, nearest first; those
  // whose farthest point is within reach need no distance test.
  const double reach = radius / cell_m_ * (1.0 + kReachMargin);
  span_ = static_cast<int>(std::ceil(reach)) + 1;
  std::vector<std::pair<double, Offset>> candidates;
  for (int dy = -span_; dy <= span_; ++dy) {
    for (int dx = -span_; dx <= span_; ++dx) {
      const double gap_x = std::max(std::abs(dx) - 1, 0);
      const double gap_y = std::max(std::abs(dy) - 1, 0);
      const double gap = std::hypot(gap_x, gap_y);
      if (gap < reach) {
        const double far = std::hypot(std::abs(dx) + 1, std::abs(dy) + 1);
        const bool within = far * (1.0 + kReachMargin) < radius / cell_m_;
        candidates.push_back({gap, Offset{dx, dy, within}});
      }
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const auto & a, const auto & b) { return a.first < b.first; });
  reach_.clear();
  for (const auto & candidate : candidates) {
    reach_.push_back(candidate.second);
  }
}

bool PlanarProximity::any_within(float x, float y) const
{
  if (x_.empty() || !std::isfinite(x) || !std::isfinite(y)) {
    return false;
  }
  const double fx = std::floor((x - x0_) / cell_m_);
  const double fy = std::floor((y - y0_) / cell_m_);
  // A query beyond the grid by more than the reach finds nothing (and its cell might not fit an
  // int).
  if (fx < -span_ || fy < -span_ || fx > nx_ + span_ || fy > ny_ + span_) {
    return false;
  }
  const int cx = static_cast<int>(fx);
  const int cy = static_cast<int>(fy);
  for (const Offset & o : reach_) {
    const int ox = cx + o.dx;
    const int oy = cy + o.dy;
    if (ox < 0 || oy < 0 || ox >= nx_ || oy >= ny_) {
      continue;
    }
    const std::size_t cell =
        static_cast<std::size_t>(oy) * static_cast<std::size_t>(nx_) + static_cast<std::size_t>(ox);
    const std::uint32_t begin = cell_start_[cell];
    const std::uint32_t end = cell_start_[cell + 1];
    if (begin == end) {
      continue;
    }
    if (o.wholly_within) {
      return true;
    }
    for (std::uint32_t i = begin; i < end; ++i) {
      const float dx = x_[i] - x;
      const float dy = y_[i] - y;
      if (dx * dx + dy * dy < radius_squared_) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace veltrax_cv_model
