#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "support/cloud_builders.hpp"
#include "veltrax_cv_model/cluster_merge.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

using test::kNaN;
using test::make_cloud;

// A cluster of two points whose centroid is (x, y, 0); `tag` in z of the first point and -tag in
// the second identifies it in merged output.
Cloud cluster_at(float x, float y, float tag) { return make_cloud({{x, y, tag}, {x, y, -tag}}); }

TEST(ClusterMergeExtent, CountsOnlyFinitePointsAndIsInfiniteWithoutAny)
{
  // The NaN in y of a cloud not marked dense drops its whole point, x included.
  const Cloud sparse = make_cloud(
      {{0.25f, -1.0f, 0.5f}, {kNaN, 9.0f, 9.0f}, {0.75f, 2.0f, 0.0f}, {9.0f, kNaN, 0.0f}}, false);
  // 0.25 and 0.75 are exact: the extent equals a 0.5 threshold exactly, and "greater than"
  // must not split it.
  EXPECT_EQ(x_extent(sparse), 0.5f);
  EXPECT_FALSE(x_extent(sparse) > 0.5f);

  // An infinite point in a cloud not marked dense is ignored like a NaN; a NaN is skipped even
  // in a cloud wrongly marked dense.
  const Cloud with_inf =
      make_cloud({{0.1f, 0, 0}, {std::numeric_limits<float>::infinity(), 0, 0}}, false);
  EXPECT_EQ(x_extent(with_inf), 0.0f);
  EXPECT_FLOAT_EQ(x_extent(make_cloud({{0.1f, 0, 0}, {kNaN, 0, 0}, {0.3f, 0, 0}}, true)), 0.2f);
  EXPECT_TRUE(std::isinf(x_extent(Cloud())));
}

TEST(ClusterMergeCentroid, MeanOfFinitePointsAndNoneForEmptyClouds)
{
  const Cloud cloud =
      make_cloud({{1.0f, 0.0f, 0.0f}, {kNaN, kNaN, kNaN}, {3.0f, 2.0f, -1.0f}}, false);
  const auto c = cloud_centroid(cloud);
  ASSERT_TRUE(c.has_value());
  EXPECT_FLOAT_EQ(c->x(), 2.0f);
  EXPECT_FLOAT_EQ(c->y(), 1.0f);
  EXPECT_FLOAT_EQ(c->z(), -0.5f);
  EXPECT_FALSE(cloud_centroid(Cloud()).has_value());
  EXPECT_FALSE(cloud_centroid(make_cloud({{kNaN, 0, 0}}, false)).has_value());
}

TEST(ClusterMergeDistance, UsesAllThreeAxesAndIsNaNWithoutACentroid)
{
  const Cloud a = make_cloud({{0, 0, 0}});
  const Cloud b = make_cloud({{1, 2, 2}});
  EXPECT_FLOAT_EQ(centroid_distance(a, b), 3.0f);
  EXPECT_TRUE(std::isnan(centroid_distance(a, Cloud())));
  EXPECT_TRUE(std::isnan(centroid_distance(Cloud(), Cloud())));

  const struct
  {
    float d;
    float threshold;
    bool close;
  } rules[] = {{0.29f, 0.3f, true},
               {0.3f, 0.3f, false},
               {0.31f, 0.3f, false},
               {kNaN, 0.3f, false},
               {0.1f, kNaN, false}};
  for (const auto & r : rules) {
    SCOPED_TRACE(r.d);
    EXPECT_EQ(is_closer_than(r.d, r.threshold), r.close);
  }
  // Exactly at the threshold (a 3-4-5 triangle, exact in float) stays separate.
  const Cloud origin = make_cloud({{0, 0, 0}});
  const Cloud corner = make_cloud({{0.375f, 0.5f, 0}});
  EXPECT_FALSE(centroids_closer_than(origin, corner, 0.625f));
  EXPECT_TRUE(centroids_closer_than(origin, corner, 0.626f));
}

struct MergeCase
{
  const char * name;
  std::vector<Cloud> clusters;
  float threshold;
  // Per output cloud, the tags of the input clusters it holds, in order.
  std::vector<std::vector<float>> tags;
};

std::vector<std::vector<float>> tags_of(const std::vector<Cloud> & merged)
{
  std::vector<std::vector<float>> out;
  for (const auto & cloud : merged) {
    out.emplace_back();
    for (std::size_t i = 0; i < cloud.size(); i += 2) {
      out.back().push_back(cloud.points[i].z);
    }
  }
  return out;
}

TEST(ClusterMerge, SeedOnlyMergeMatchesExpectedGroups)
{
  const std::vector<MergeCase> cases = {
      // A-B and B-C are 0.4 apart, A-C 0.8: B joins A, C is only ever compared with A.
      {"chain A-B-C",
       {cluster_at(0, 0, 1), cluster_at(0.4f, 0, 2), cluster_at(0.8f, 0, 3)},
       0.5f,
       {{1, 2}, {3}}},
      {"exactly at the threshold stays separate",
       {cluster_at(0, 0, 1), cluster_at(0.5f, 0, 2)},
       0.5f,
       {{1}, {2}}},
      {"later seed gathers what the first left",
       {cluster_at(0, 0, 1), cluster_at(2, 0, 2), cluster_at(0.1f, 0, 3), cluster_at(2, 0.1f, 4)},
       0.5f,
       {{1, 3}, {2, 4}}},
      {"empty clusters stay separate and empty",
       {cluster_at(0, 0, 1), Cloud(), Cloud(), cluster_at(0, 0, 2)},
       0.5f,
       {{1, 2}, {}, {}}},
      {"single cluster", {cluster_at(1, 1, 1)}, 0.5f, {{1}}},
      {"no clusters", {}, 0.5f, {}},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Cloud> merged{Cloud()};  // stale entry: must be cleared
    merge_close_clusters(
        c.clusters,
        [&c](const Cloud & a, const Cloud & b) { return centroids_closer_than(a, b, c.threshold); },
        merged);
    EXPECT_EQ(tags_of(merged), c.tags);
    for (const auto & cloud : merged) {
      EXPECT_EQ(cloud.width * cloud.height, cloud.size());
    }
  }
}

TEST(ClusterMerge, AsksOncePerComparisonInOrderAgainstTheSeedItself)
{
  const std::vector<Cloud> clusters = {cluster_at(0, 0, 1), cluster_at(0.4f, 0, 2),
                                       cluster_at(0.8f, 0, 3), cluster_at(5, 0, 4)};
  std::vector<std::pair<float, float>> asked;  // (seed tag, candidate tag)
  std::vector<Cloud> merged;
  merge_close_clusters(
      clusters,
      [&asked](const Cloud & seed, const Cloud & candidate) {
        asked.emplace_back(seed.points[0].z, candidate.points[0].z);
        EXPECT_EQ(seed.size(), 2u);  // never the growing merged cloud
        return centroids_closer_than(seed, candidate, 0.5f);
      },
      merged);
  const std::vector<std::pair<float, float>> expected = {{1, 2}, {1, 3}, {1, 4}, {3, 4}};
  EXPECT_EQ(asked, expected);
  EXPECT_EQ(merged.size(), 3u);
}

}  // namespace
}  // namespace veltrax_cv_model
