// Cluster extraction, merge and footprints on detection-like clouds in the robot frame: the
// visible faces of two objects and a strip of background behind them, as a depth camera sees
// them through one detection box.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "veltrax_cv_model/cluster.hpp"
#include "veltrax_cv_model/cluster_merge.hpp"
#include "veltrax_cv_model/footprint.hpp"

namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using veltrax_cv_model::Cluster;

// A face roughly perpendicular to x: width along y, height along z, depth noise along x.
void add_face(Cloud & cloud, std::mt19937 & rng, float x, float y0, float width, float height,
              int n)
{
  std::uniform_real_distribution<float> along(0.0f, 1.0f);
  std::normal_distribution<float> depth_noise(0.0f, 0.01f);
  for (int i = 0; i < n; ++i) {
    cloud.push_back(
        pcl::PointXYZ(x + depth_noise(rng), y0 + width * along(rng), height * along(rng)));
  }
}

Cloud detection_cloud(int n)
{
  std::mt19937 rng(static_cast<unsigned>(n));
  Cloud cloud;
  add_face(cloud, rng, 1.5f, -0.3f, 0.5f, 1.0f, n / 2);
  add_face(cloud, rng, 2.4f, 0.1f, 0.4f, 0.5f, n * 3 / 10);
  add_face(cloud, rng, 3.5f, -0.6f, 1.2f, 1.2f, n - n / 2 - n * 3 / 10);
  return cloud;
}

void run_prefilter(benchmark::State & state, const Cloud & cloud)
{
  std::size_t kept = 0;
  for (auto _ : state) {
    kept = veltrax_cv_model::prefilter_for_clustering(cloud)->size();
    benchmark::DoNotOptimize(kept);
  }
  state.counters["kept"] = static_cast<double>(kept);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// This cloud spans 2 m x 1.2 m x 1.2 m: too many 1 mm voxels, so the filter is skipped.
void BM_Prefilter(benchmark::State & state)
{
  run_prefilter(state, detection_cloud(static_cast<int>(state.range(0))));
}

// One object face (0.5 m x 1 m, depth noise of 1 cm): within the voxel grid's index range.
void BM_PrefilterOneFace(benchmark::State & state)
{
  std::mt19937 rng(1);
  Cloud cloud;
  add_face(cloud, rng, 1.5f, -0.3f, 0.5f, 1.0f, static_cast<int>(state.range(0)));
  run_prefilter(state, cloud);
}

void BM_Euclidean(benchmark::State & state)
{
  const Cloud::ConstPtr cloud =
      veltrax_cv_model::prefilter_for_clustering(detection_cloud(static_cast<int>(state.range(0))));
  std::vector<Cloud> clusters;
  for (auto _ : state) {
    const auto lists = veltrax_cv_model::euclidean_cluster_indices(cloud, 0.1, 30, 25000);
    veltrax_cv_model::clouds_from_indices(*cloud, lists, clusters);
  }
  state.counters["clusters"] = static_cast<double>(clusters.size());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_KmeansX(benchmark::State & state)
{
  const Cloud::Ptr cloud =
      veltrax_cv_model::prefilter_for_clustering(detection_cloud(static_cast<int>(state.range(0))));
  std::vector<Cloud> clusters;
  for (auto _ : state) {
    veltrax_cv_model::kmeans_x_clusters(*cloud, clusters);
  }
  state.counters["clusters"] = static_cast<double>(clusters.size());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_GridComponents(benchmark::State & state)
{
  const Cloud::Ptr cloud =
      veltrax_cv_model::prefilter_for_clustering(detection_cloud(static_cast<int>(state.range(0))));
  Cluster cluster(nullptr, 0.01f, 3, 5);  // the node's defaults
  std::vector<Cloud> clusters;
  int count = 0;
  for (auto _ : state) {
    cluster.componentCluster(cloud, count, clusters);
  }
  state.counters["clusters"] = count;
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_MergeHullsOutline(benchmark::State & state)
{
  // 50 object clusters of 400 points, spread over the area in front of the robot.
  std::mt19937 rng(50);
  std::uniform_real_distribution<float> where(-2.0f, 2.0f);
  std::vector<Cloud> clusters(50);
  for (auto & cluster : clusters) {
    add_face(cluster, rng, 2.5f + where(rng), where(rng), 0.4f, 0.8f, 400);
  }
  std::vector<Cloud> merged;
  std::vector<Cloud> polygons;
  Cloud outline;
  for (auto _ : state) {
    veltrax_cv_model::merge_close_clusters(
        clusters,
        [](const Cloud & a, const Cloud & b) {
          return veltrax_cv_model::centroids_closer_than(a, b, 0.3f);
        },
        merged);
    veltrax_cv_model::cluster_convex_hulls(merged, polygons);
    veltrax_cv_model::polygon_to_cloud(polygons, veltrax_cv_model::kOutlineSpacingM, outline);
  }
  state.counters["outline_points"] = static_cast<double>(outline.size());
}

void BM_HullsOutline(benchmark::State & state)
{
  std::mt19937 rng(51);
  std::uniform_real_distribution<float> where(-2.0f, 2.0f);
  std::vector<Cloud> clusters(50);
  for (auto & cluster : clusters) {
    add_face(cluster, rng, 2.5f + where(rng), where(rng), 0.4f, 0.8f, 400);
  }
  std::vector<Cloud> polygons;
  Cloud outline;
  for (auto _ : state) {
    veltrax_cv_model::cluster_convex_hulls(clusters, polygons);
    veltrax_cv_model::polygon_to_cloud(polygons, veltrax_cv_model::kOutlineSpacingM, outline);
  }
  state.counters["outline_points"] = static_cast<double>(outline.size());
}

}  // namespace

BENCHMARK(BM_Prefilter)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrefilterOneFace)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Euclidean)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KmeansX)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GridComponents)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HullsOutline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeHullsOutline)->Unit(benchmark::kMillisecond);
