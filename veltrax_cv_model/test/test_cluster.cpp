#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <pcl/filters/filter.h>
#include <pcl/filters/voxel_grid.h>

#include "support/cloud_builders.hpp"
#include "veltrax_cv_model/cluster.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

using test::kNaN;
using test::make_cloud;

// n points uniformly in a cube of side `size_m` around `centre`.
void add_blob(Cloud & cloud, std::mt19937 & rng, pcl::PointXYZ centre, float size_m, int n)
{
  std::uniform_real_distribution<float> u(-size_m / 2, size_m / 2);
  for (int i = 0; i < n; ++i) {
    cloud.push_back(pcl::PointXYZ(centre.x + u(rng), centre.y + u(rng), centre.z + u(rng)));
  }
}

// --- Pre-filter -------------------------------------------------------------------------------

TEST(ClusterPrefilter, MergesOneMillimetreVoxelsDropsNonFiniteAndNeverPrints)
{
  // Up to 1290^3 voxels fit in 2^31 - 1; beyond, the voxel grid is skipped without the library's
  // warning, and the two points 0.2 mm apart stay apart.
  const auto cube = [](float side) {
    return make_cloud(
        {{0, 0, 0}, {0.5002f, 0.1f, 0.1f}, {0.5004f, 0.1f, 0.1f}, {side, side, side}});
  };
  struct Case
  {
    const char * name;
    Cloud cloud;
    std::vector<float> xs;  // of the result, ascending
  };
  const Case cases[] = {
      {"one voxel merged, NaN dropped",
       make_cloud({{0.0102f, 0.5f, 0.2f}, {kNaN, 0, 0}, {0.0104f, 0.5f, 0.2f}, {1, 0, 0}}, false),
       {0.0103f, 1.0f}},
      {"NaN in a cloud falsely marked dense",
       make_cloud({{0.5f, 0, 0}, {kNaN, 0, 0}}, true),
       {0.5f}},
      {"empty", Cloud(), {}},
      {"only NaN", make_cloud({{kNaN, 0, 0}}, false), {}},
      {"1290 voxels a side: filtered", cube(1.2895f), {0.0f, 0.5003f, 1.2895f}},
      {"1291 voxels a side: passed through", cube(1.2905f), {0.0f, 0.5002f, 0.5004f, 1.2905f}},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const Cloud::Ptr filtered = prefilter_for_clustering(c.cloud);
    EXPECT_EQ(testing::internal::GetCapturedStderr() + testing::internal::GetCapturedStdout(), "");
    std::vector<float> xs;
    for (const auto & p : filtered->points) xs.push_back(p.x);
    std::sort(xs.begin(), xs.end());
    ASSERT_EQ(xs.size(), c.xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) EXPECT_NEAR(xs[i], c.xs[i], 1e-6f);
    EXPECT_EQ(filtered->width, xs.size());
    EXPECT_TRUE(filtered->is_dense);
  }
}

// Seeded random clouds against pcl::VoxelGrid and pcl::removeNaNFromPointCloud, the chain the
// prefilter stands in for: the same voxel means in the same order. The points come in random
// order, so a voxel's points are far apart in the input: detection clouds already thinned at
// 5 mm (a point a voxel), points a few tenths of a millimetre apart (several a voxel), and a
// scattered cloud with non-finite points, some of them falsely marked dense.
TEST(ClusterPrefilter, ThinsAsVoxelGridInItsVoxelOrder)
{
  std::mt19937 rng(23);
  struct Case
  {
    const char * name;
    float spacing_m;  // of the grid the points jitter around
    float jitter_m;
    bool non_finite;
  };
  const Case cases[] = {{"thinned at 5 mm", 0.005f, 0.002f, false},
                        {"several points a voxel", 0.0002f, 0.0001f, false},
                        {"scattered with NaN", 0.003f, 0.001f, true}};
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    std::uniform_int_distribution<int> step(0, 60);
    std::uniform_real_distribution<float> jitter(-c.jitter_m, c.jitter_m);
    Cloud cloud;
    for (int i = 0; i < 20000; ++i) {
      cloud.push_back(
          pcl::PointXYZ(1.0f + c.spacing_m * static_cast<float>(step(rng)) + jitter(rng),
                        -0.2f + c.spacing_m * static_cast<float>(step(rng)) + jitter(rng),
                        c.spacing_m * static_cast<float>(step(rng)) + jitter(rng)));
      if (c.non_finite && i % 97 == 0) {
        cloud.push_back(pcl::PointXYZ(kNaN, 0.0f, std::numeric_limits<float>::infinity()));
      }
    }
    auto input = std::make_shared<Cloud>(cloud);
    input->is_dense = !c.non_finite;
    pcl::VoxelGrid<pcl::PointXYZ> grid;
    grid.setInputCloud(input);
    grid.setLeafSize(kClusterPrefilterLeafM, kClusterPrefilterLeafM, kClusterPrefilterLeafM);
    Cloud voxels, expected;
    grid.filter(voxels);
    pcl::Indices kept;
    pcl::removeNaNFromPointCloud(voxels, expected, kept);

    cloud.is_dense = true;  // a false claim must not matter
    const Cloud::Ptr filtered = prefilter_for_clustering(cloud);
    ASSERT_EQ(filtered->size(), expected.size());
    EXPECT_LT(filtered->size(), 20000u);
    for (std::size_t i = 0; i < expected.size(); ++i) {
      ASSERT_LE((filtered->points[i].getVector3fMap() - expected[i].getVector3fMap())
                    .cwiseAbs()
                    .maxCoeff(),
                1e-6f)
          << "point " << i;
    }
  }
}

// --- Euclidean --------------------------------------------------------------------------------

TEST(ClusterEuclidean, SeparatesBlobsLargestFirstWithinSizeLimits)
{
  std::mt19937 rng(11);
  Cloud cloud;
  add_blob(cloud, rng, {1.0f, 0.0f, 0.2f}, 0.05f, 30);  // indices 0..29
  add_blob(cloud, rng, {2.0f, 0.5f, 0.2f}, 0.05f, 50);  // indices 30..79
  const Cloud::ConstPtr ptr = std::make_shared<const Cloud>(cloud);

  struct Case
  {
    const char * name;
    int min_size;
    int max_size;
    std::vector<std::size_t> sizes;
  };
  const Case cases[] = {{"both", 10, 25000, {50, 30}},
                        {"max drops the larger", 10, 40, {30}},
                        {"min above the cloud size", 81, 25000, {}},
                        {"negative max fits nothing", 1, -1, {}}};
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    const auto lists = euclidean_cluster_indices(ptr, 0.1, c.min_size, c.max_size);
    std::vector<Cloud> clusters;
    clouds_from_indices(cloud, lists, clusters);
    ASSERT_EQ(clusters.size(), c.sizes.size());
    for (std::size_t k = 0; k < clusters.size(); ++k) {
      EXPECT_EQ(clusters[k].size(), c.sizes[k]);
      EXPECT_EQ(clusters[k].width, c.sizes[k]);
      EXPECT_EQ(clusters[k].height, 1u);
      // A cluster lies within its blob.
      const float x0 = c.sizes[k] == 50 ? 2.0f : 1.0f;
      for (const auto & p : clusters[k].points) {
        EXPECT_NEAR(p.x, x0, 0.03f);
      }
    }
  }
  EXPECT_TRUE(euclidean_cluster_indices(ptr, 0.0, 1, 100).empty());
  EXPECT_TRUE(euclidean_cluster_indices(nullptr, 0.1, 1, 100).empty());
}

TEST(ClusterFromIndices, KeepsListOrderAndSkipsIndicesOutsideTheCloud)
{
  const Cloud cloud = make_cloud({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}});
  const Cloud out = cloud_from_indices(cloud, {2, -1, 0, 3, 2});
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out.points[0].x, 2.0f);
  EXPECT_EQ(out.points[1].x, 0.0f);
  EXPECT_EQ(out.points[2].x, 2.0f);
  EXPECT_EQ(out.width, 3u);
  EXPECT_EQ(out.height, 1u);
  EXPECT_TRUE(out.is_dense);
}

// --- k-means bands ----------------------------------------------------------------------------

TEST(ClusterKmeans, BandsAlongXComeNearestFirstAndEmptyBandsStay)
{
  // Three interleaved bands, 0.2 m deep and 1 m wide.
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> in_band(0.0f, 0.2f);
  std::uniform_real_distribution<float> lateral(-0.5f, 0.5f);
  Cloud bands;
  const float band_x[] = {1.6f, 2.5f, 0.8f};
  for (int i = 0; i < 60; ++i) {
    bands.push_back(pcl::PointXYZ(band_x[i % 3] + in_band(rng), lateral(rng), 0.1f));
  }
  std::vector<Cloud> clusters{Cloud()};  // stale entry: must be cleared
  kmeans_x_clusters(bands, clusters);
  ASSERT_EQ(clusters.size(), 3u);
  for (int g = 0; g < 3; ++g) {
    SCOPED_TRACE(g);
    EXPECT_EQ(clusters[g].size(), 20u);
    for (const auto & p : clusters[g].points) EXPECT_NEAR(p.x, band_x[(g + 2) % 3] + 0.1f, 0.1f);
  }

  // One shared x: one cloud with every point, in cloud order, and two empty ones.
  Cloud shared;
  for (int i = 0; i < 6; ++i) shared.push_back(pcl::PointXYZ(1.25f, 0.1f * i, 0.0f));
  kmeans_x_clusters(shared, clusters);
  ASSERT_EQ(clusters.size(), 3u);
  ASSERT_EQ(clusters[0].size(), 6u);
  EXPECT_FLOAT_EQ(clusters[0].points[5].y, 0.5f);
  EXPECT_TRUE(clusters[1].empty() && clusters[2].empty());
}

// --- Grid components --------------------------------------------------------------------------

// ASCII-art layouts: a row is a step along x (forward), a column a step along y. In a layout,
// '#' is a cell holding kPerCell points, a digit a cell holding that many, '.' an empty cell.
// The expected picture shows each clustered cell as its cluster's letter ('A' = first output
// cloud) and every other cell as '.'.
constexpr float kStep = 0.25f;  // exact in binary, so cell borders fall where the art says
constexpr int kPerCell = 3;

Cloud cloud_from_art(const std::vector<std::string> & art)
{
  Cloud cloud;
  for (std::size_t r = 0; r < art.size(); ++r) {
    for (std::size_t c = 0; c < art[r].size(); ++c) {
      const char ch = art[r][c];
      const int n = ch == '#' ? kPerCell : (ch >= '1' && ch <= '9' ? ch - '0' : 0);
      for (int i = 0; i < n; ++i) {
        cloud.push_back(pcl::PointXYZ(kStep * r, kStep * c, 0.05f * i));
      }
    }
  }
  return cloud;
}

std::vector<std::string> art_from_clusters(const std::vector<Cloud> & clusters,
                                           const std::vector<std::string> & layout)
{
  std::vector<std::string> art;
  for (const auto & row : layout) {
    art.emplace_back(row.size(), '.');
  }
  for (std::size_t k = 0; k < clusters.size(); ++k) {
    for (const auto & p : clusters[k].points) {
      auto & cell = art.at(static_cast<std::size_t>(std::lround(p.x / kStep)))
                        .at(static_cast<std::size_t>(std::lround(p.y / kStep)));
      const char letter = static_cast<char>('A' + k);
      cell = cell == '.' || cell == letter ? letter : '?';  // '?': a cell split between two
    }
  }
  return art;
}

struct GridCase
{
  const char * name;
  int kernel;
  int threshold;                  // points a cell needs
  std::vector<std::string> rows;  // "layout  expected": the two pictures side by side
};

TEST(ClusterGrid, ComponentsMatchTheDrawnLayouts)
{
  // clang-format off
  const std::vector<GridCase> cases = {
    {"two blobs", 1, 3, {"##....  AA....",
                         "##..##  AA..BB",
                         "....##  ....BB"}},
    {"diagonal contact is one component", 1, 3, {"#...  A...",
                                                 ".#..  .A..",
                                                 "..##  ..AA"}},
    {"one empty column splits without closing", 1, 3, {"##.##  AA.BB",
                                                       "##.##  AA.BB"}},
    {"a 3-cell kernel bridges one empty column", 3, 3, {"##.##  AA.AA",
                                                        "##.##  AA.AA"}},
    {"and two", 3, 3, {"#..#  A..A",
                       "#..#  A..A"}},
    {"but not three", 3, 3, {"#...#  A...B",
                             "#...#  A...B"}},
    {"sparse cells: dropped alone, kept where the closing fills them", 3, 3, {"#1#...  AAA...",
                                                                              "......  ......",
                                                                              "....2.  ......"}},
    // Regression: OpenCV's MORPH_CLOSE with an even kernel erodes with the dilation's anchor,
    // shifting the closed grid by a cell, so these lone cells came back empty, their points lost.
    {"even kernel keeps every occupied cell", 2, 3, {"#..  A..",
                                                     "...  ...",
                                                     "..#  ..B"}},
    {"kernel wider than the grid", 99, 3, {"#.#  A.A",
                                           "...  ...",
                                           "#.#  A.A"}},
    // The closing does not lean on the grid's edge: the sparse corner cell stays out.
    {"no closing through the grid's edge", 3, 3, {"#1  A.",
                                                 ".#  .A"}},
    {"threshold 1", 1, 1, {"3.2.1  A.B.C"}},
    {"threshold 2", 1, 2, {"3.2.1  A.B.."}},
    {"threshold 4", 1, 4, {"3.2.1  ....."}},
    {"threshold 0 counts as 1", 1, 0, {"3.2.1  A.B.C"}},
  };
  // clang-format on
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> layout;
    std::vector<std::string> expected;
    for (const auto & row : c.rows) {
      const auto gap = row.find("  ");
      layout.push_back(row.substr(0, gap));
      expected.push_back(row.substr(gap + 2));
    }
    Cluster cluster(nullptr, kStep, c.kernel, c.threshold);
    std::vector<Cloud> clusters;
    int count = -1;
    cluster.componentCluster(std::make_shared<Cloud>(cloud_from_art(layout)), count, clusters);
    EXPECT_EQ(count, static_cast<int>(clusters.size()));
    EXPECT_EQ(art_from_clusters(clusters, layout), expected);
    for (const auto & cloud : clusters) {
      EXPECT_EQ(cloud.width, cloud.size());
      EXPECT_EQ(cloud.height, 1u);
      EXPECT_TRUE(cloud.is_dense);
    }
  }
}

TEST(ClusterGrid, PointsKeepCloudOrderWithinAComponent)
{
  const Cloud cloud = make_cloud({{0.0f, 0.0f, 0.3f}, {0.0f, 0.25f, 0.1f}, {0.0f, 0.0f, 0.2f}});
  Cluster cluster(nullptr, kStep, 1, 1);
  std::vector<Cloud> clusters;
  int count = 0;
  cluster.componentCluster(std::make_shared<Cloud>(cloud), count, clusters);
  ASSERT_EQ(count, 1);
  ASSERT_EQ(clusters[0].size(), 3u);
  EXPECT_FLOAT_EQ(clusters[0].points[0].z, 0.3f);
  EXPECT_FLOAT_EQ(clusters[0].points[1].z, 0.1f);
  EXPECT_FLOAT_EQ(clusters[0].points[2].z, 0.2f);
}

TEST(ClusterGrid, FarPointsCoarsenTheGridInsteadOfGrowingIt)
{
  // At a 1 cm step these clouds would need 10^4 and 10^40 cells a side; the grid keeps to
  // kMaxGridSide by coarsening its step, so far points stay apart rather than piling up at the
  // grid's end, and memory stays bounded.
  struct Case
  {
    const char * name;
    std::vector<pcl::PointXYZ> far;
    std::vector<std::size_t> sizes;
  };
  const Case cases[] = {{"50 m apart", {{50, 0, 0}, {100, 0, 0}}, {200, 1, 1}},
                        {"at the float limit", {{3.0e38f, -3.0e38f, 0}, {kNaN, 1, 0}}, {200, 1}}};
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 rng(3);
    Cloud cloud;
    add_blob(cloud, rng, {1.0f, 0.0f, 0.2f}, 0.2f, 200);
    for (const auto & p : c.far) cloud.push_back(p);
    cloud.is_dense = false;
    Cluster cluster(nullptr, 0.01f, 3, 1);
    std::vector<Cloud> clusters;
    int count = 0;
    cluster.componentCluster(std::make_shared<Cloud>(cloud), count, clusters);
    std::vector<std::size_t> sizes;
    for (const auto & k : clusters) sizes.push_back(k.size());
    EXPECT_EQ(sizes, c.sizes);
    EXPECT_EQ(clusters.at(1).points[0].x, c.far.front().x);  // nearest first
  }
}

TEST(ClusterGrid, DegenerateInputsGiveNoClusters)
{
  const auto one_point = std::make_shared<Cloud>(make_cloud({{1.0f, 2.0f, 0.0f}}));
  const struct
  {
    const char * name;
    float step;
    std::shared_ptr<Cloud> cloud;
    int expected;
  } cases[] = {{"null cloud", 0.01f, nullptr, 0},
               {"empty cloud", 0.01f, std::make_shared<Cloud>(), 0},
               {"only NaN", 0.01f, std::make_shared<Cloud>(make_cloud({{kNaN, 0, 0}}, false)), 0},
               {"zero step", 0.0f, one_point, 0},
               {"negative step", -0.1f, one_point, 0},
               {"NaN step", kNaN, one_point, 0},
               {"one point", 0.01f, one_point, 1}};
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    Cluster cluster(nullptr, c.step, 3, 1);
    std::vector<Cloud> clusters(2);  // stale entries: must be cleared
    int count = -1;
    cluster.componentCluster(c.cloud, count, clusters);
    EXPECT_EQ(count, c.expected);
    EXPECT_EQ(clusters.size(), static_cast<std::size_t>(c.expected));
  }
}

}  // namespace
}  // namespace veltrax_cv_model
