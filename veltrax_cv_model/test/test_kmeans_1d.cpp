#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "veltrax_cv_model/kmeans_1d.hpp"

namespace veltrax_cv_model
{
namespace
{

using Groups = std::vector<std::vector<int>>;

struct Case
{
  std::string name;
  std::vector<double> values;
  int k;
  Groups expected;
};

TEST(Kmeans1d, GroupsMatchHandComputedRuns)
{
  const std::vector<Case> cases = {
      {"seeds at 0, 1, 2 already converged", {0, 0, 1, 1, 2, 2}, 3, {{0, 1}, {2, 3}, {4, 5}}},
      {"lists hold input positions, not sorted ranks", {2, 0, 1}, 3, {{1}, {2}, {0}}},
      {"all equal: first group wins every tie",
       {0.7, 0.7, 0.7, 0.7, 0.7, 0.7},
       3,
       {{0, 1, 2, 3, 4, 5}, {}, {}}},
      // Stride 0 seeds every group at the smallest value; group 0 takes all, moves to the mean,
      // and group 1 picks up the value it left behind. Group 2 never gets a member.
      {"fewer values than groups", {5, 1}, 3, {{0}, {1}, {}}},
      // Group 0's mean (0.395) is only 0.035 from its seed 0.36, so the centroid stays at 0.36
      // and 0.61 goes to group 1 (0.2233 away) rather than to the true mean (0.215 away). An
      // implementation that always moves the centroid gives {2, 3, 4}, {0, 1}.
      {"means within tolerance do not move",
       {1.04, 0.85, 0.43, 0.36, 0.61},
       2,
       {{2, 3}, {0, 1, 4}}},
      {"one group", {3, 1, 2}, 1, {{0, 1, 2}}},
      {"empty input gives k empty lists", {}, 3, {{}, {}, {}}},
      {"k = 0 gives nothing", {1, 2}, 0, {}},
      {"negative k gives nothing", {1, 2}, -2, {}},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kmeans_1d(c.values, c.k), c.expected);
  }
}

// A NaN or an infinity must neither stall the passes nor lose or duplicate a value.
TEST(Kmeans1d, ResultIsAPartitionEvenWithNonFiniteValues)
{
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> x(-2.0, 6.0);
  std::vector<double> values(500);
  for (auto & v : values) v = x(rng);
  values[13] = std::numeric_limits<double>::quiet_NaN();
  values[200] = std::numeric_limits<double>::infinity();
  const Groups groups = kmeans_1d(values, 3);
  ASSERT_EQ(groups.size(), 3u);
  std::vector<int> seen;
  for (const auto & g : groups) {
    EXPECT_TRUE(std::is_sorted(g.begin(), g.end()));
    seen.insert(seen.end(), g.begin(), g.end());
  }
  std::sort(seen.begin(), seen.end());
  std::vector<int> all(values.size());
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(seen, all);
}

}  // namespace
}  // namespace veltrax_cv_model
