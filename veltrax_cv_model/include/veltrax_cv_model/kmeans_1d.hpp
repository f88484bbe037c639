// One-dimensional k-means, used to split a detection cloud into depth bands along the robot's
// forward axis. Plain values in, index lists out: no PCL, no ROS, no logging.
#pragma once

#include <vector>

namespace veltrax_cv_model
{

/// A centroid counts as moved only when the mean of its members differs from it by more than
/// this, in the unit of the values (metres for x coordinates).
inline constexpr double kKmeans1dTolerance = 0.05;

/// Groups `values` into `k` groups by Lloyd iterations on the line.
///
/// Seeding: the values are sorted (a copy) and group g starts at sorted[g * (n / k)] (integer
/// division), so with fewer values than groups every group starts at the smallest value.
/// Assignment: each value joins the nearest centroid by absolute difference; on a tie the lowest
/// group number wins. Update: a group's centroid becomes the mean of its members only when that
/// mean lies more than kKmeans1dTolerance away; a group without members keeps its centroid.
/// Passes repeat until no centroid moves.
///
/// @param values the values to group, in any order; expected finite. A NaN sorts after every
///               number when seeding and never wins a distance comparison, so it cannot make the
///               iteration run forever; which group it lands in is not defined.
/// @param k      the number of groups.
/// @return k index lists; list g holds the positions in `values` of the members of group g, in
///         increasing order. Empty `values` gives k empty lists; k < 1 gives an empty result.
std::vector<std::vector<int>> kmeans_1d(const std::vector<double> & values, int k);

}  // namespace veltrax_cv_model
