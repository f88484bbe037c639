// One-dimensional k-means over the x coordinates of a detection cloud.
#include "veltrax_cv_model/kmeans_1d.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace veltrax_cv_model
{
namespace
{

// Every pass that moves a centroid lowers the within-group sum of squares by at least
// n_g * 0.05^2 (the members' mean is the best centre, and reassignment to the nearest centroid
// never raises the sum), so the loop ends on its own. On detection clouds, whose x values span a
// few metres, it settles within a handful of passes; the cap only bounds the work for inputs no
// detection cloud produces (non-finite or astronomically spread values).
constexpr int kMaxPasses = 100;

// Orders NaN after every number so that std::sort always sees a strict weak ordering.
bool less_nan_last(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

}  // namespace

std::vector<std::vector<int>> kmeans_1d(const std::vector<double> & values, int k)
{
  if (k < 1) {
    return {};
  }
  const auto groups = static_cast<std::size_t>(k);
  std::vector<std::vector<int>> members(groups);
  if (values.empty()) {
    return members;
  }

  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end(), less_nan_last);
  const std::size_t stride = sorted.size() / groups;
  std::vector<double> centroids(groups);
  for (std::size_t g = 0; g < groups; ++g) {
    centroids[g] = sorted[g * stride];
  }

  std::vector<double> sums(groups);
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    for (auto & list : members) {
      list.clear();
    }
    std::fill(sums.begin(), sums.end(), 0.0);
    for (std::size_t i = 0; i < values.size(); ++i) {
      const double v = values[i];
      std::size_t best = 0;
      double best_distance = std::fabs(v - centroids[0]);
      for (std::size_t g = 1; g < groups; ++g) {
        const double d = std::fabs(v - centroids[g]);
        if (d < best_distance) {
          best = g;
          best_distance = d;
        }
      }
      members[best].push_back(static_cast<int>(i));
      sums[best] += v;
    }

    bool changed = false;
    for (std::size_t g = 0; g < groups; ++g) {
      if (members[g].empty()) {
        continue;
      }
      const double mean = sums[g] / static_cast<double>(members[g].size());
      if (std::fabs(mean - centroids[g]) > kKmeans1dTolerance) {
        centroids[g] = mean;
        changed = true;
      }
    }
    if (!changed) {
      break;
    }
  }
  return members;
}

}  // namespace veltrax_cv_model
