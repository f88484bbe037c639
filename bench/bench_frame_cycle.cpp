// One frame cycle of the node on the demo scene (two obstacles, a person, two bottles, a mask and
// a blood spot in view of two 640x480 RGB-D cameras), stage by stage:
//   detection      detectImagePair: colour conversion, resize, host NPU runtime, decoding
//   clouds/camN    the detection-cloud builder on one camera (a transform worker's job), beside
//                  the PCL chain it replaced (Reference), also over frame sizes and box counts
//   fusion         the obstacle outliner on the pooled detection clouds: split, merge, hulls,
//                  outline
//   cycle          timer_callback: all of the above with the two workers and their join;
//                  counters: the cycle thread's CPU time, hand-over and join latency
// Each runs at the built-in leaf size (0.001 m) and at 0.01 m, the clouds also at the shipped 0.005
// m. The decoding of both batch slots is timed by bench_decode. Then a cycle's cloud work (both
// cameras' clouds, the fusion) on the two recorded Kinect frames with 1 % depth noise, at the
// shipped parameters (params.yaml), the cameras one after the other and on two workers as the
// node runs them, and two of its parts beside the implementations they replaced
// (Reference), copies kept here only for that comparison: the voxel thinning of the box clouds
// (a hash of voxel sums, then a sort of the voxels) and the fusion (the clustering prefilter
// by pcl::VoxelGrid, both centroids computed again for every pair the merge compares).
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pcl/common/point_tests.h>
#include <pcl/filters/filter.h>
#include <pcl/filters/voxel_grid.h>
#include <opencv2/imgproc.hpp>

#include "cv_bridge/cv_bridge.h"

#include "footprint/degradation.hpp"
#include "footprint/frame_data.hpp"
#include "footprint/pipeline_params.hpp"
#include "scene/scene.hpp"
#include "support/reference_clouds.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "veltrax_cv_model/class_table.hpp"
#include "veltrax_cv_model/cluster_merge.hpp"
#include "veltrax_cv_model/depth_filters.hpp"
#include "veltrax_cv_model/footprint.hpp"
#include "veltrax_cv_model/hand_off_worker.hpp"
#include "veltrax_cv_model/pipeline_settings.hpp"
#include "veltrax_cv_model/voxel_grid_guard.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_harness/harness.hpp"

namespace
{

using veltrax_cv_model::CameraIntrinsics;
using veltrax_cv_model::CloudList;
using veltrax_cv_model::DetectionFrame;
using veltrax_cv_model::ImageConstPtr;
using veltrax_cv_model::Yolov5sPredictor;

constexpr int kSceneFrame = 10;

ImageConstPtr to_message(const cv::Mat & image, const std::string & encoding,
                         const std::string & frame_id)
{
  auto msg = std::make_shared<sensor_msgs::msg::Image>();
  msg->header.frame_id = frame_id;
  msg->width = static_cast<uint32_t>(image.cols);
  msg->height = static_cast<uint32_t>(image.rows);
  msg->encoding = encoding;
  msg->step = static_cast<uint32_t>(image.cols * image.elemSize());
  msg->data.assign(image.datastart, image.dataend);
  return msg;
}

Eigen::Matrix4f matrix_of(const veltrax_scene::CameraModel & camera)
{
  return camera.camera_to_base().matrix().cast<float>();
}

CameraIntrinsics intrinsics_of(const veltrax_scene::CameraModel & camera)
{
  return CameraIntrinsics{static_cast<float>(camera.fx), static_cast<float>(camera.fy),
                          static_cast<float>(camera.cx), static_cast<float>(camera.cy)};
}

double thread_cpu_seconds()
{
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Per cycle, in milliseconds, of a time summed over the benchmark's iterations.
benchmark::Counter per_cycle_ms(const benchmark::State & state, double total_s)
{
  return benchmark::Counter(1e3 * total_s / static_cast<double>(state.iterations()));
}

// The node with the demo's model and `leaf_mm`, its own parameters otherwise; the node reads its
// parameters at construction.
struct NodeSession
{
  explicit NodeSession(int leaf_mm)
      : ros({"--log-level", "warn", "-p",
             "rknn_model_path:=" + std::string(VELTRAX_MODELS_DIR) + "/colour_key_640.yaml", "-p",
             "obj_class_num:=8", "-p", "downsample_leaf_size:=" + std::to_string(leaf_mm * 1e-3)},
            "bench"),
        node(std::make_shared<Yolov5sPredictor>())
  {
  }

  veltrax_harness::RosSession ros;
  std::shared_ptr<Yolov5sPredictor> node;
};

// One rendered frame of the demo scene and the node's detections on it; shared by every benchmark.
struct Fixture
{
  Fixture() : scene(veltrax_scene::make_demo_scene())
  {
    const veltrax_scene::Frame frame = veltrax_scene::render_frame(scene, kSceneFrame);
    for (int camera = 0; camera < 2; ++camera) {
      const veltrax_scene::CameraModel & model_camera = scene.cameras[camera];
      color[camera] = to_message(frame.views[camera].color_rgb, "rgb8", model_camera.frame_id);
      depth[camera] = to_message(frame.views[camera].depth_mm, "16UC1", model_camera.frame_id);
      views[camera] = veltrax_cv_model::CameraView{intrinsics_of(model_camera), 0.2f, 3.0f,
                                                   matrix_of(model_camera)};
    }
    NodeSession session(1);
    session.node->detectImagePair(&frames[0], &frames[1], color[0], color[1]);
  }

  veltrax_scene::Scene scene;
  ImageConstPtr color[2];
  ImageConstPtr depth[2];
  veltrax_cv_model::CameraView views[2];
  DetectionFrame frames[2];
};

Fixture & fixture()
{
  static Fixture instance;
  return instance;
}

// The shipped floor settings at the benchmark's leaf.
veltrax_cv_model::DetectionCloudBuilder cloud_builder(const benchmark::State & state)
{
  return veltrax_cv_model::DetectionCloudBuilder(veltrax_cv_model::DetectionCloudSettings{
      static_cast<float>(state.range(0)) * 1e-3f,
      veltrax_cv_model::settings_from_parameters({}).clouds.ground});
}

// One camera's depth frame and detections, resized to another frame size with its intrinsics and
// boxes, and its detections repeated or cut to a count.
struct CameraInput
{
  cv::Mat depth_mm;
  veltrax_cv_model::CameraView view;
  std::vector<veltrax_cv_model::DetectedObject> boxes;

  veltrax_cv_model::DepthImageView depth() const
  {
    return {depth_mm.data, depth_mm.total() * 2, depth_mm.cols,
            depth_mm.rows, depth_mm.step,        "16UC1"};
  }
};

CameraInput camera_input(int camera, cv::Size size = {640, 480}, int boxes = -1)
{
  Fixture & f = fixture();
  const sensor_msgs::msg::Image & depth = *f.depth[camera];
  const cv::Mat original(static_cast<int>(depth.height), static_cast<int>(depth.width), CV_16UC1,
                         const_cast<std::uint8_t *>(depth.data.data()));
  CameraInput input{cv::Mat(), f.views[camera], {}};
  cv::resize(original, input.depth_mm, size, 0.0, 0.0, cv::INTER_NEAREST);
  const float sx = static_cast<float>(size.width) / static_cast<float>(original.cols);
  const float sy = static_cast<float>(size.height) / static_cast<float>(original.rows);
  CameraIntrinsics & k = input.view.intrinsics;
  k = {k.fx * sx, k.fy * sy, (k.cx + 0.5f) * sx - 0.5f, (k.cy + 0.5f) * sy - 0.5f};
  const auto & objects = f.frames[camera].objects;
  const std::size_t count = boxes < 0 ? objects.size() : static_cast<std::size_t>(boxes);
  for (std::size_t i = 0; i < count && !objects.empty(); ++i) {
    veltrax_cv_model::DetectedObject box = objects[i % objects.size()];
    box.left = static_cast<int>(static_cast<float>(box.left) * sx);
    box.right = static_cast<int>(static_cast<float>(box.right) * sx);
    box.top = static_cast<int>(static_cast<float>(box.top) * sy);
    box.bottom = static_cast<int>(static_cast<float>(box.bottom) * sy);
    input.boxes.push_back(box);
  }
  return input;
}

CloudList clouds_of_camera(const veltrax_cv_model::DetectionCloudBuilder & builder, int camera)
{
  const CameraInput input = camera_input(camera);
  CloudList clouds;
  builder.build(input.depth(), input.depth_mm.cols, input.boxes, input.view, clouds);
  return clouds;
}

// The fused builder (`reference` false) or the PCL chain on `input`.
void clouds_benchmark(benchmark::State & state, const CameraInput & input, float leaf_m,
                      bool reference)
{
  const veltrax_cv_model::DetectionCloudBuilder builder(veltrax_cv_model::DetectionCloudSettings{
      leaf_m, veltrax_cv_model::settings_from_parameters({}).clouds.ground});
  CloudList clouds;
  for (auto _ : state) {
    if (reference) {
      clouds = veltrax_cv_model::test::reference_clouds(input.depth(), input.depth_mm.cols,
                                                        input.boxes, input.view, builder.settings())
                   .clouds;
    } else {
      builder.build(input.depth(), input.depth_mm.cols, input.boxes, input.view, clouds);
    }
    benchmark::DoNotOptimize(clouds.data());
  }
  std::size_t points = 0;
  for (const auto & cloud : clouds) points += cloud.size();
  state.counters["clouds"] = static_cast<double>(clouds.size());
  state.counters["points"] = static_cast<double>(points);
}

// The recorded frames as cameras 1 (milk_cartoon) and 2 (five_people), each with the transform
// and boxes of its frame.yaml and the crop range of its camera, 1 % relative depth noise added
// once (seed 1): a noise the builder smooths.
std::array<CameraInput, 2> noisy_recorded_cameras(const veltrax_footprint::PipelineParams & params)
{
  std::array<CameraInput, 2> cameras;
  const char * const names[] = {"milk_cartoon", "five_people"};
  for (int c = 0; c < 2; ++c) {
    const veltrax_footprint::FrameData frame =
        veltrax_footprint::load_frame_dir(std::string(TEST_DATA_DIR) + "/rgbd/" + names[c]);
    cameras[c] = CameraInput{veltrax_footprint::add_relative_depth_noise(frame.depth_mm, 0.01, 1),
                             veltrax_footprint::camera_view(params, c + 1, frame.intrinsics,
                                                            frame.description.camera_to_base),
                             veltrax_footprint::detections_of(frame.description)};
  }
  return cameras;
}

// A cycle's cloud work on the recorded frames: each camera's builder (smoothing, floor model,
// box clouds) as its transform worker runs it, then the outliner on the pooled clouds.
struct RecordedCycle
{
  RecordedCycle()
      : params(veltrax_footprint::load_pipeline_params(SHIPPED_PARAMS_FILE)),
        cameras(noisy_recorded_cameras(params)),
        builder(params.clouds),
        outliner(params.clusters)
  {
  }

  // One camera's clouds; counts the images smoothed.
  CloudList build(std::size_t camera, int & smoothed) const
  {
    const CameraInput & input = cameras[camera];
    CloudList clouds;
    smoothed += builder.build(input.depth(), input.depth_mm.cols, input.boxes, input.view, clouds)
                        .depth_smoothed
                    ? 1
                    : 0;
    return clouds;
  }

  // The fusion of both cameras' clouds; records the points it gets and makes.
  void fuse(std::array<CloudList, 2> & clouds)
  {
    CloudList detection_clouds;
    for (CloudList & camera : clouds) {
      std::move(camera.begin(), camera.end(), std::back_inserter(detection_clouds));
    }
    box_points = 0;
    for (const veltrax_cv_model::Cloud & cloud : detection_clouds) {
      box_points += cloud.size();
    }
    veltrax_cv_model::Cloud outline;
    outliner.outline(detection_clouds, outline);
    outline_points = outline.size();
    benchmark::DoNotOptimize(outline.points.data());
  }

  void count(benchmark::State & state, int smoothed) const
  {
    state.counters["smoothed"] = smoothed;
    state.counters["box_points"] = static_cast<double>(box_points);
    state.counters["outline_points"] = static_cast<double>(outline_points);
  }

  const veltrax_footprint::PipelineParams params;
  const std::array<CameraInput, 2> cameras;
  const veltrax_cv_model::DetectionCloudBuilder builder;
  const veltrax_cv_model::ObstacleOutliner outliner;
  std::size_t box_points{0};
  std::size_t outline_points{0};
};

// The recorded cycle with the cameras one after the other. Counters: each part's share of the
// cycle, how many cameras' images were smoothed, the points of the box clouds the fusion gets and
// of the outline it makes.
void BM_RecordedNoisyCycle(benchmark::State & state)
{
  RecordedCycle cycle;
  using Clock = std::chrono::steady_clock;
  std::array<double, 3> part_s{};  // camera 1, camera 2, fusion
  int smoothed = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    auto lap = [&](std::size_t part) {
      const Clock::time_point now = Clock::now();
      part_s[part] += std::chrono::duration<double>(now - start).count();
      start = now;
    };
    smoothed = 0;
    std::array<CloudList, 2> clouds;
    for (std::size_t c = 0; c < clouds.size(); ++c) {
      clouds[c] = cycle.build(c, smoothed);
      lap(c);
    }
    cycle.fuse(clouds);
    lap(2);
  }
  state.counters["camera1_ms"] = per_cycle_ms(state, part_s[0]);
  state.counters["camera2_ms"] = per_cycle_ms(state, part_s[1]);
  state.counters["fusion_ms"] = per_cycle_ms(state, part_s[2]);
  cycle.count(state, smoothed);
}

// The recorded cycle as the node runs it: each camera on a worker of its own (the node's
// HandOffWorker), the fusion once both have handed back. Counters as above, the cameras' wall
// time from the first hand-over to the last hand-back, and each camera's time on its worker.
void BM_RecordedNoisyCycleOnWorkers(benchmark::State & state)
{
  RecordedCycle cycle;
  struct CameraJob
  {
    std::size_t camera{0};
    CloudList clouds;
    int smoothed{0};
  };
  const auto build = [&cycle](CameraJob & job) {
    job.smoothed = 0;
    job.clouds = cycle.build(job.camera, job.smoothed);
  };
  veltrax_cv_model::HandOffWorker<CameraJob> first(build);
  veltrax_cv_model::HandOffWorker<CameraJob> second(build);
  const std::array<veltrax_cv_model::HandOffWorker<CameraJob> *, 2> workers{&first, &second};
  second.input().camera = 1;
  using Clock = std::chrono::steady_clock;
  std::array<double, 2> on_worker_s{};
  double cameras_s = 0.0;
  double fusion_s = 0.0;
  int smoothed = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    for (auto * worker : workers) {
      worker->hand_over();
    }
    std::array<CloudList, 2> clouds;
    smoothed = 0;
    for (std::size_t c = 0; c < workers.size(); ++c) {
      workers[c]->wait_until_idle();
      const veltrax_cv_model::HandOffTimes & times = workers[c]->times();
      on_worker_s[c] += std::chrono::duration<double>(times.handed_back - times.started).count();
      clouds[c] = std::move(workers[c]->input().clouds);
      smoothed += workers[c]->input().smoothed;
    }
    const Clock::time_point joined = Clock::now();
    cameras_s += std::chrono::duration<double>(joined - start).count();
    cycle.fuse(clouds);
    fusion_s += std::chrono::duration<double>(Clock::now() - joined).count();
  }
  state.counters["camera1_ms"] = per_cycle_ms(state, on_worker_s[0]);
  state.counters["camera2_ms"] = per_cycle_ms(state, on_worker_s[1]);
  state.counters["cameras_ms"] = per_cycle_ms(state, cameras_s);
  state.counters["fusion_ms"] = per_cycle_ms(state, fusion_s);
  cycle.count(state, smoothed);
}

// --- The replaced implementations, for the comparisons below only ---------------------------

// Voxel thinning as the box clouds had it: sums per voxel in a flat hash (linear probing behind
// a direct-mapped cache of the voxels met lately), then the voxels sorted by index.
struct ReferenceThinning
{
  struct Voxel
  {
    std::uint64_t key;
    float x, y, z;
    std::uint32_t count;
  };
  std::vector<Voxel> voxels;
  std::vector<std::uint64_t> slot_key;
  std::vector<std::uint32_t> slot_voxel;
  std::vector<std::size_t> used_slots;
  std::vector<std::uint64_t> order;
  std::vector<std::uint64_t> buffer;

  static int bit_width(std::uint64_t value)
  {
    int bits = 0;
    for (; value != 0; value >>= 1) {
      ++bits;
    }
    return bits;
  }

  // Stable LSD radix sort by bits [low_bit, low_bit + bits), 11-bit digits.
  void radix_sort(int low_bit, int bits)
  {
    constexpr std::size_t kDigits = 2048;
    buffer.resize(order.size());
    std::array<std::size_t, kDigits> start;
    for (int shift = low_bit; shift < low_bit + bits; shift += 11) {
      start.fill(0);
      for (const std::uint64_t e : order) {
        ++start[(e >> shift) & (kDigits - 1)];
      }
      if (std::find(start.begin(), start.end(), order.size()) != start.end()) {
        continue;
      }
      std::size_t sum = 0;
      for (std::size_t & s : start) {
        sum += std::exchange(s, sum);
      }
      for (const std::uint64_t e : order) {
        buffer[start[(e >> shift) & (kDigits - 1)]++] = e;
      }
      order.swap(buffer);
    }
  }

  bool thin(const pcl::PointXYZ * points, std::size_t count, const Eigen::Vector3f & min_pt,
            const Eigen::Vector3f & max_pt, float leaf_size_m,
            veltrax_cv_model::Cloud::VectorType & out)
  {
    if (veltrax_cv_model::voxel_grid_would_overflow(min_pt, max_pt, leaf_size_m)) {
      return false;
    }
    const float inverse_leaf = 1.0f / leaf_size_m;
    std::array<int, 3> low_cell;
    std::array<float, 3> low;
    std::array<std::int64_t, 3> side;
    float largest = 0.0f;
    for (int a = 0; a < 3; ++a) {
      const float scaled_min = min_pt[a] * inverse_leaf;
      const float scaled_max = max_pt[a] * inverse_leaf;
      low_cell[a] = static_cast<int>(std::floor(scaled_min));
      low[a] = static_cast<float>(low_cell[a]);
      side[a] = std::int64_t{static_cast<int>(std::floor(scaled_max))} - low_cell[a] + 1;
      largest = std::max({largest, std::fabs(scaled_min), std::fabs(scaled_max)});
    }
    const bool small_cells = largest < 8388608.0f;
    const auto cell = [&](float c, int a) -> std::int64_t {
      const float scaled = c * inverse_leaf;
      if (small_cells) {
        const int truncated = static_cast<int>(scaled);
        return std::int64_t{truncated - (static_cast<float>(truncated) > scaled) - low_cell[a]};
      }
      return static_cast<int>(std::floor(scaled) - low[a]);
    };
    std::size_t mask = 1023;
    for (; mask < 2 * count; mask = mask * 2 + 1) {
    }
    voxels.clear();
    voxels.reserve(count);
    used_slots.clear();
    used_slots.reserve(count);
    if (slot_key.size() <= mask) {
      slot_key.assign(mask + 1, 0);
      slot_voxel.resize(mask + 1);
    }
    const auto find_or_add = [&](std::uint64_t tagged) {
      std::uint64_t mixed = tagged ^ (tagged >> 33);
      mixed *= 0xFF51AFD7ED558CCDull;
      std::size_t slot = static_cast<std::size_t>(mixed ^ (mixed >> 33)) & mask;
      for (; slot_key[slot] != 0; slot = (slot + 1) & mask) {
        if (slot_key[slot] == tagged) {
          return slot_voxel[slot];
        }
      }
      const auto voxel = static_cast<std::uint32_t>(voxels.size());
      slot_key[slot] = tagged;
      slot_voxel[slot] = voxel;
      used_slots.push_back(slot);
      voxels.emplace_back().key = tagged - 1;
      return voxel;
    };
    std::array<std::uint64_t, 1024> cache_key{};
    std::array<std::uint32_t, 1024> cache_voxel{};
    for (std::size_t i = 0; i < count; ++i) {
      const pcl::PointXYZ & p = points[i];
      const auto tagged = static_cast<std::uint64_t>(cell(p.x, 0) + cell(p.y, 1) * side[0] +
                                                     cell(p.z, 2) * side[0] * side[1]) +
                          1;
      const std::size_t line = tagged & 1023;
      if (cache_key[line] != tagged) {
        cache_key[line] = tagged;
        cache_voxel[line] = find_or_add(tagged);
      }
      Voxel & v = voxels[cache_voxel[line]];
      v.x += p.x;
      v.y += p.y;
      v.z += p.z;
      ++v.count;
    }
    for (const std::size_t slot : used_slots) {
      slot_key[slot] = 0;
    }
    order.resize(voxels.size());
    const int index_bits = bit_width(voxels.size());
    const int key_bits = bit_width(static_cast<std::uint64_t>(side[0] * side[1] * side[2] - 1));
    for (std::size_t v = 0; v < voxels.size(); ++v) {
      order[v] = (voxels[v].key << index_bits) | v;
    }
    radix_sort(index_bits, key_bits);
    out.reserve(out.size() + voxels.size());
    for (const std::uint64_t o : order) {
      const Voxel & sum = voxels[o & ((std::uint64_t{1} << index_bits) - 1)];
      const auto n = static_cast<float>(sum.count);
      out.emplace_back(sum.x / n, sum.y / n, sum.z / n);
    }
    return true;
  }
};

// The clustering prefilter as it was: pcl::VoxelGrid at the 1 mm leaf over a copy of the cloud,
// then pcl::removeNaNFromPointCloud.
veltrax_cv_model::Cloud::Ptr reference_prefilter(const veltrax_cv_model::Cloud & cloud)
{
  using veltrax_cv_model::Cloud;
  auto finite = std::make_shared<Cloud>();
  Eigen::Vector3f low = Eigen::Vector3f::Constant(std::numeric_limits<float>::max());
  Eigen::Vector3f high = -low;
  std::size_t finite_count = 0;
  for (const pcl::PointXYZ & p : cloud.points) {
    if (pcl::isXYZFinite(p)) {
      ++finite_count;
      low = low.cwiseMin(p.getVector3fMap());
      high = high.cwiseMax(p.getVector3fMap());
    }
  }
  if (finite_count == 0) {
    return finite;
  }
  auto input = std::make_shared<Cloud>(cloud);
  input->is_dense = finite_count == cloud.size();
  Cloud voxels;
  if (veltrax_cv_model::voxel_grid_would_overflow(low, high,
                                                  veltrax_cv_model::kClusterPrefilterLeafM)) {
    voxels = *input;
  } else {
    pcl::VoxelGrid<pcl::PointXYZ> grid;
    grid.setInputCloud(input);
    grid.setLeafSize(veltrax_cv_model::kClusterPrefilterLeafM,
                     veltrax_cv_model::kClusterPrefilterLeafM,
                     veltrax_cv_model::kClusterPrefilterLeafM);
    grid.filter(voxels);
  }
  pcl::Indices kept;
  pcl::removeNaNFromPointCloud(voxels, *finite, kept);
  finite->width = static_cast<std::uint32_t>(finite->size());
  finite->height = 1;
  finite->is_dense = true;
  return finite;
}

// ObstacleOutliner::outline with the grid method as it was: the prefilter above, and the merge
// computing both centroids again for every pair it compares.
void reference_outline(const veltrax_cv_model::ObstacleOutliner & outliner,
                       const CloudList & detection_clouds, veltrax_cv_model::Cloud & outline)
{
  const veltrax_cv_model::ClusterSettings & settings = outliner.settings();
  CloudList clusters;
  for (const veltrax_cv_model::Cloud & cloud : detection_clouds) {
    if (!(veltrax_cv_model::x_extent(cloud) > settings.merge_dis_m)) {
      clusters.push_back(cloud);
      continue;
    }
    veltrax_cv_model::Cluster grid(nullptr, settings.grid_step_m, settings.grid_kernel_size,
                                   settings.grid_th);
    CloudList parts;
    int count = 0;
    grid.componentCluster(reference_prefilter(cloud), count, parts);
    CloudList merged;
    veltrax_cv_model::merge_close_clusters(
        parts,
        [&](const veltrax_cv_model::Cloud & seed, const veltrax_cv_model::Cloud & candidate) {
          return outliner.distance(seed, candidate);
        },
        merged);
    std::move(merged.begin(), merged.end(), std::back_inserter(clusters));
  }
  CloudList polygons;
  veltrax_cv_model::cluster_convex_hulls(clusters, polygons);
  veltrax_cv_model::polygon_to_cloud(polygons, veltrax_cv_model::kOutlineSpacingM, outline);
}

// --- The recorded cycle's parts beside the implementations they replaced ---------------------

// Each outlined box of both recorded frames as its cloud's thinning gets it: the points of its
// valid pixels up to the far crop end (camera optical frame) and their bounds, from the depth
// the builder uses (smoothed, flying pixels cleared).
struct BoxPoints
{
  veltrax_cv_model::Cloud::VectorType points;
  Eigen::Vector3f low;
  Eigen::Vector3f high;
};

std::vector<BoxPoints> recorded_box_points(const veltrax_footprint::PipelineParams & params)
{
  const veltrax_cv_model::DetectionCloudBuilder builder(params.clouds);
  std::vector<BoxPoints> boxes;
  for (const CameraInput & input : noisy_recorded_cameras(params)) {
    std::vector<std::uint16_t> smoothed;
    std::vector<std::uint16_t> cleared;
    veltrax_cv_model::CloudBuildReport report;
    const veltrax_cv_model::DepthImageView depth = builder.noise_smoothed(
        input.depth(), input.depth_mm.cols, input.view.intrinsics, smoothed, report);
    const CameraIntrinsics & k = input.view.intrinsics;
    for (const veltrax_cv_model::DetectedObject & box : input.boxes) {
      const veltrax_cv_model::ClassInfo * info = veltrax_cv_model::class_info(box.class_id);
      if (info == nullptr || !info->outlined) {
        continue;
      }
      const veltrax_cv_model::PixelRect rect{box.left, box.right, box.top, box.bottom};
      veltrax_cv_model::copy_depth(depth, input.depth_mm.cols, cleared);
      veltrax_cv_model::clear_flying_pixels(depth, input.depth_mm.cols, rect, k, cleared);
      BoxPoints out{{},
                    Eigen::Vector3f::Constant(std::numeric_limits<float>::max()),
                    Eigen::Vector3f::Constant(-std::numeric_limits<float>::max())};
      for (int v = rect.top; v < rect.bottom; ++v) {
        for (int u = rect.left; u < rect.right; ++u) {
          const float z =
              1e-3f * static_cast<float>(cleared[static_cast<std::size_t>(v) *
                                                     static_cast<std::size_t>(input.depth_mm.cols) +
                                                 static_cast<std::size_t>(u)]);
          if (z > 0.0f && z <= input.view.z_max_m) {
            const pcl::PointXYZ p((static_cast<float>(u) - k.cx) * z / k.fx,
                                  (static_cast<float>(v) - k.cy) * z / k.fy, z);
            out.points.push_back(p);
            out.low = out.low.cwiseMin(p.getVector3fMap());
            out.high = out.high.cwiseMax(p.getVector3fMap());
          }
        }
      }
      boxes.push_back(std::move(out));
    }
  }
  return boxes;
}

// Voxel thinning of every recorded box at the shipped leaf (thin_in_voxel_order, or the hash it
// replaced). Counters: the points thinned and the centroids made.
void BM_RecordedBoxThinning(benchmark::State & state)
{
  const veltrax_footprint::PipelineParams params =
      veltrax_footprint::load_pipeline_params(SHIPPED_PARAMS_FILE);
  const std::vector<BoxPoints> boxes = recorded_box_points(params);
  const bool reference = state.range(0) != 0;
  veltrax_cv_model::VoxelScratch scratch;
  ReferenceThinning reference_scratch;
  veltrax_cv_model::Cloud::VectorType centroids;
  std::size_t points = 0;
  std::size_t made = 0;
  for (auto _ : state) {
    points = made = 0;
    for (const BoxPoints & box : boxes) {
      centroids.clear();
      if (reference) {
        reference_scratch.thin(box.points.data(), box.points.size(), box.low, box.high,
                               params.clouds.leaf_size_m, centroids);
      } else {
        veltrax_cv_model::thin_in_voxel_order(box.points.data(), box.points.size(), box.low,
                                              box.high, params.clouds.leaf_size_m, scratch,
                                              centroids);
      }
      points += box.points.size();
      made += centroids.size();
      benchmark::DoNotOptimize(centroids.data());
    }
  }
  state.counters["points"] = static_cast<double>(points);
  state.counters["centroids"] = static_cast<double>(made);
}

// The fusion of the recorded cycle (ObstacleOutliner::outline, or the chain it replaced) on the
// box clouds of both recorded frames. Counter: the outline's points.
void BM_RecordedFusion(benchmark::State & state)
{
  const veltrax_footprint::PipelineParams params =
      veltrax_footprint::load_pipeline_params(SHIPPED_PARAMS_FILE);
  const veltrax_cv_model::DetectionCloudBuilder builder(params.clouds);
  CloudList detection_clouds;
  for (const CameraInput & input : noisy_recorded_cameras(params)) {
    CloudList clouds;
    builder.build(input.depth(), input.depth_mm.cols, input.boxes, input.view, clouds);
    std::move(clouds.begin(), clouds.end(), std::back_inserter(detection_clouds));
  }
  const veltrax_cv_model::ObstacleOutliner outliner(params.clusters);
  const bool reference = state.range(0) != 0;
  veltrax_cv_model::Cloud outline;
  for (auto _ : state) {
    if (reference) {
      reference_outline(outliner, detection_clouds, outline);
    } else {
      outliner.outline(detection_clouds, outline);
    }
    benchmark::DoNotOptimize(outline.points.data());
  }
  state.counters["outline_points"] = static_cast<double>(outline.size());
}

void BM_CloudsOfCamera(benchmark::State & state)
{
  clouds_benchmark(state, camera_input(static_cast<int>(state.range(1))),
                   static_cast<float>(state.range(0)) * 1e-3f, false);
}

void BM_CloudsOfCameraReference(benchmark::State & state)
{
  clouds_benchmark(state, camera_input(static_cast<int>(state.range(1))),
                   static_cast<float>(state.range(0)) * 1e-3f, true);
}

// Camera 1 at the built-in 1 mm leaf, its depth frame resized and its detections repeated.
void BM_CloudsScaling(benchmark::State & state)
{
  const cv::Size size(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  clouds_benchmark(state, camera_input(0, size, static_cast<int>(state.range(2))), 0.001f,
                   state.range(3) != 0);
}

void BM_Detection(benchmark::State & state)
{
  Fixture & f = fixture();
  NodeSession session(1);
  for (auto _ : state) {
    DetectionFrame frame1;
    DetectionFrame frame2;
    session.node->detectImagePair(&frame1, &frame2, f.color[0], f.color[1]);
    benchmark::DoNotOptimize(frame1.objects.data());
  }
  state.counters["objects"] =
      static_cast<double>(f.frames[0].objects.size() + f.frames[1].objects.size());
}

// The colour frames' way through one cycle before the detector runs. Copied (0): as the cycle used
// to, a BGR copy converted to RGB for the detector and a message copy each into the detections,
// the transform worker's input and the worker itself, and camera 1's into the web worker's
// input. Shared (1): as now, the detector reads the message in place (rgb8) and every record
// holds the same message.
void BM_ColourFramesPerCycle(benchmark::State & state)
{
  Fixture & f = fixture();
  const bool shared = state.range(0) != 0;
  for (auto _ : state) {
    for (int c = 0; c < 2; ++c) {
      if (shared) {
        const cv_bridge::CvImageConstPtr rgb = cv_bridge::toCvShare(f.color[c], "rgb8");
        DetectionFrame frame;
        frame.image = f.color[c];
        const DetectionFrame worker_input = frame;
        const DetectionFrame web_input = frame;
        benchmark::DoNotOptimize(rgb->image.data);
        benchmark::DoNotOptimize(worker_input.image.get());
        benchmark::DoNotOptimize(web_input.image.get());
        continue;
      }
      const cv_bridge::CvImagePtr bgr = cv_bridge::toCvCopy(f.color[c], "bgr8");
      cv::Mat rgb;
      cv::cvtColor(bgr->image, rgb, cv::COLOR_BGR2RGB);
      const sensor_msgs::msg::Image in_frame = *f.color[c];
      // Never modified, but the copy is what this case times.
      // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
      const sensor_msgs::msg::Image worker_input = in_frame;
      const sensor_msgs::msg::Image in_worker = worker_input;
      benchmark::DoNotOptimize(rgb.data);
      benchmark::DoNotOptimize(in_worker.data.data());
      if (c == 0) {
        const sensor_msgs::msg::Image web_input = in_frame;
        benchmark::DoNotOptimize(web_input.data.data());
      }
    }
  }
}

void BM_Fusion(benchmark::State & state)
{
  const veltrax_cv_model::DetectionCloudBuilder builder = cloud_builder(state);
  CloudList detection_clouds;
  for (int camera = 0; camera < 2; ++camera) {
    CloudList clouds = clouds_of_camera(builder, camera);
    detection_clouds.insert(detection_clouds.end(), clouds.begin(), clouds.end());
  }
  const veltrax_cv_model::ObstacleOutliner outliner{veltrax_cv_model::ClusterSettings{}};
  for (auto _ : state) {
    veltrax_cv_model::Cloud outline;
    outliner.outline(detection_clouds, outline);
    benchmark::DoNotOptimize(outline.points.data());
  }
}

// The node's whole cycle as its timer runs it, fed through its topics.
void BM_WholeCycle(benchmark::State & state)
{
  Fixture & f = fixture();
  NodeSession session(static_cast<int>(state.range(0)));
  Yolov5sPredictor & node = *session.node;
  node.cancel_frame_timer();
  veltrax_harness::Probe probe;
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(session.node);
  executor.add_node(probe.node);
  tf2_msgs::msg::TFMessage transforms;
  for (const veltrax_scene::CameraModel & camera : f.scene.cameras) {
    transforms.transforms.push_back(veltrax_harness::transform(
        camera.camera_to_base(), "base_footprint", camera.frame_id, node.now()));
  }
  probe.wait_for_node();
  probe.tf_static->publish(transforms);
  for (const veltrax_scene::CameraModel & camera : f.scene.cameras) {
    veltrax_harness::spin_until(executor, [&] { return node.knows_transform_of(camera.frame_id); });
  }
  double main_cpu_s = 0.0, hand_over_s = 0.0, join_s = 0.0;
  for (auto _ : state) {
    // Fresh stamps every cycle: the node ignores images older than 10 s.
    state.PauseTiming();
    for (int c = 0; c < 2; ++c) {
      const veltrax_scene::CameraModel & camera = f.scene.cameras[c];
      sensor_msgs::msg::Image color = *f.color[c];
      sensor_msgs::msg::Image depth = *f.depth[c];
      color.header.stamp = depth.header.stamp = node.now();
      probe.publish_camera(c + 1,
                           veltrax_harness::camera_info(camera.fx, camera.fy, camera.cx, camera.cy),
                           color, depth);
    }
    executor.spin_some();
    state.ResumeTiming();
    const double cpu_before = thread_cpu_seconds();
    node.timer_callback();
    main_cpu_s += thread_cpu_seconds() - cpu_before;
    const veltrax_cv_model::HandOffLatency latency = node.last_hand_off_latency();
    hand_over_s += std::chrono::duration<double>(latency.hand_over).count();
    join_s += std::chrono::duration<double>(latency.join).count();
  }
  // The frame cycle thread's own CPU time and the hand-off waits.
  state.counters["main_cpu_ms"] = per_cycle_ms(state, main_cpu_s);
  state.counters["hand_over_ms"] = per_cycle_ms(state, hand_over_s);
  state.counters["join_ms"] = per_cycle_ms(state, join_s);
}

BENCHMARK(BM_Detection)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CloudsOfCamera)
    ->ArgNames({"leaf_mm", "camera"})
    ->ArgsProduct({{1, 5, 10}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloudsOfCameraReference)
    ->ArgNames({"leaf_mm", "camera"})
    ->ArgsProduct({{1, 5, 10}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloudsScaling)
    ->ArgNames({"width", "height", "boxes", "reference"})
    ->Args({320, 240, 4, 0})
    ->Args({640, 480, 4, 0})
    ->Args({1280, 720, 4, 0})
    ->Args({640, 480, 1, 0})
    ->Args({640, 480, 16, 0})
    ->Args({320, 240, 4, 1})
    ->Args({640, 480, 4, 1})
    ->Args({1280, 720, 4, 1})
    ->Args({640, 480, 1, 1})
    ->Args({640, 480, 16, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColourFramesPerCycle)
    ->ArgName("shared")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fusion)->ArgName("leaf_mm")->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordedNoisyCycle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RecordedNoisyCycleOnWorkers)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RecordedBoxThinning)
    ->ArgName("reference")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordedFusion)->ArgName("reference")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeCycle)
    ->ArgName("leaf_mm")
    ->Arg(1)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
