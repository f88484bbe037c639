// The demo runner end to end (the real node on a short demo scene and on the real frames), and
// the geometry its ground-truth figures rest on.
#include <gtest/gtest.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <pcl/io/pcd_io.h>
#include <pcl/point_types.h>

#include "demo/demo_runner.hpp"
#include "demo/evaluate.hpp"
#include "demo/scoring.hpp"
#include "scene/scene.hpp"
#include "veltrax_harness/topics.hpp"

namespace vd = veltrax_demo;
namespace fs = std::filesystem;

namespace
{

constexpr double kDegree = 3.14159265358979323846 / 180.0;
const vd::Polygon kUnitSquare{{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}};

TEST(FootprintDistance, IsZeroInsideAndEuclideanOutside)
{
  struct Case
  {
    vd::Point2 p;
    double distance;
  };
  for (const Case & c : {Case{{0.5, 0.5}, 0.0}, Case{{1.0, 0.3}, 0.0}, Case{{1.2, 0.5}, 0.2},
                         Case{{0.5, -0.05}, 0.05}, Case{{-0.3, -0.4}, 0.5}}) {
    SCOPED_TRACE(testing::Message() << "(" << c.p.x() << ", " << c.p.y() << ")");
    EXPECT_NEAR(vd::distance_to_polygon(kUnitSquare, c.p), c.distance, 1e-12);
  }
  EXPECT_TRUE(std::isinf(vd::distance_to_polygon({}, {0.0, 0.0})));
}

TEST(FacingBoundary, KeepsEdgesTurnedTowardsACameraAndDropsGrazingOnes)
{
  // Straight in front of the left edge: that edge only, 1 cm apart, corner to corner.
  const std::vector<vd::Point2> left = vd::facing_boundary(kUnitSquare, {{-2.0, 0.5}}, 0.01);
  ASSERT_EQ(left.size(), 100u);
  for (const vd::Point2 & p : left) EXPECT_DOUBLE_EQ(p.x(), 0.0);
  EXPECT_NEAR(left.front().y(), 1.0, 1e-12);

  // Off a corner: the two edges of that corner.
  EXPECT_EQ(vd::facing_boundary(kUnitSquare, {{-2.0, -2.0}}, 0.01).size(), 200u);

  // The bottom edge is seen about 2.5 degrees off grazing from here: only the right edge counts.
  const std::vector<vd::Point2> right = vd::facing_boundary(kUnitSquare, {{5.0, -0.2}}, 0.01);
  ASSERT_EQ(right.size(), 100u);
  for (const vd::Point2 & p : right) EXPECT_DOUBLE_EQ(p.x(), 1.0);

  // Two cameras: the union of what each sees, each edge once.
  EXPECT_EQ(vd::facing_boundary(kUnitSquare, {{-2.0, 0.5}, {-2.0, 0.6}, {0.5, 3.0}}, 0.01).size(),
            200u);
}

TEST(OutlineGeometry, CoverageGroupsAndQuantiles)
{
  const std::vector<bool> covered =
      vd::covered_samples({{0.0, 0.0}, {1.0, 0.0}, {2.0, 0.0}}, {{0.0, 0.04}, {1.06, 0.0}}, 0.05);
  EXPECT_EQ(covered, (std::vector<bool>{true, false, false}));

  // A chain 0.05 m apart is one group however long it is; a 0.15 m gap starts another.
  std::vector<vd::Point2> points;
  for (int i = 0; i < 10; ++i) points.emplace_back(0.05 * i, 0.0);
  points.emplace_back(0.6, 0.0);
  const auto groups = vd::group_points(points, 0.1);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].size(), 10u);
  EXPECT_EQ(groups[1], std::vector<int>{10});

  EXPECT_DOUBLE_EQ(vd::quantile({40.0, 10.0, 30.0, 20.0}, 0.5), 25.0);
  EXPECT_DOUBLE_EQ(vd::quantile({40.0, 10.0, 30.0, 20.0}, 1.0), 40.0);
  EXPECT_DOUBLE_EQ(vd::quantile({}, 0.9), 0.0);
}

veltrax_scene::Scene demo_scene(int frames)
{
  veltrax_scene::DemoOptions options;
  options.frames = frames;
  return veltrax_scene::make_demo_scene(options);
}

std::size_t object_index(const veltrax_scene::Scene & scene, const std::string & name)
{
  for (std::size_t i = 0; i < scene.objects.size(); ++i) {
    if (scene.objects[i].name == name) return i;
  }
  ADD_FAILURE() << "no object " << name;
  return 0;
}

TEST(SeesWhole, DropsObjectsCutAtTheImageSideOrBeyondTheCropRange)
{
  const veltrax_scene::Scene scene = demo_scene(1);
  std::array<vd::CameraView, 2> views;
  for (std::size_t c = 0; c < 2; ++c) views[c].model = scene.cameras[c];
  // Camera 1 sees the person's lower part only (cut at the top: still whole from above) and
  // obstacle_2 cut by the left image border; camera 2 sees obstacle_2 whole.
  EXPECT_TRUE(vd::sees_whole(scene, views[0], 0, 0, object_index(scene, "person")));
  EXPECT_FALSE(vd::sees_whole(scene, views[0], 0, 0, object_index(scene, "obstacle_2")));
  EXPECT_TRUE(vd::sees_whole(scene, views[1], 0, 1, object_index(scene, "obstacle_2")));
  views[0].z_max_m = 1.5;
  EXPECT_FALSE(vd::sees_whole(scene, views[0], 0, 0, object_index(scene, "person")));
  EXPECT_TRUE(vd::sees_whole(scene, views[0], 0, 0, object_index(scene, "bottle_1")));
}

// The footprints of the outlined classes at `frame`, sampled every 5 cm: a perfect outline.
std::vector<vd::Point2> true_outline(const veltrax_scene::Scene & scene, int frame)
{
  std::vector<vd::Point2> outline;
  for (const veltrax_scene::ObjectTruth & truth : veltrax_scene::ground_truth(scene, frame)) {
    if (!vd::is_outlined_class(truth.class_id)) continue;
    for (std::size_t i = 0; i < truth.footprint.size(); ++i) {
      const vd::Point2 a = truth.footprint[i];
      const vd::Point2 b = truth.footprint[(i + 1) % truth.footprint.size()];
      for (double t = 0.0; t < 1.0; t += 0.05 / std::max((b - a).norm(), 0.05)) {
        outline.push_back(a + t * (b - a));
      }
    }
  }
  return outline;
}

TEST(ScoreFrame, TrueOutlinesScoreFullAndShiftedOnesFar)
{
  const veltrax_scene::Scene scene = demo_scene(1);
  std::array<vd::CameraView, 2> views;
  for (std::size_t c = 0; c < 2; ++c) views[c].model = scene.cameras[c];
  std::vector<vd::Point2> outline = true_outline(scene, 0);
  const vd::FrameScore exact = vd::score_frame(scene, views, 0, outline);
  EXPECT_EQ(exact.far_points, 0);
  ASSERT_GE(exact.objects.size(), 5u);
  for (const vd::ObjectScore & object : exact.objects) {
    SCOPED_TRACE(scene.objects[object.object].name);
    EXPECT_FALSE(object.samples.empty());
    EXPECT_DOUBLE_EQ(object.share, 1.0);
    EXPECT_TRUE(object.found);
  }

  // 0.3 m to the side the boundaries are no longer covered and most points are far from every
  // footprint.
  for (vd::Point2 & p : outline) p.y() += 0.3;
  const vd::FrameScore shifted = vd::score_frame(scene, views, 0, outline);
  for (const vd::ObjectScore & object : shifted.objects) EXPECT_LT(object.share, 0.5);
  EXPECT_GT(shifted.far_points, static_cast<int>(outline.size() / 2));
}

TEST(MatchReport, TakesTheNearestObjectOfTheReportedClass)
{
  const std::vector<veltrax_scene::ObjectTruth> truth =
      veltrax_scene::ground_truth(demo_scene(1), 0);
  const std::size_t mask = object_index(demo_scene(1), "mask");
  // Reported as a bottle right at the mask: matched to the nearest bottle, far away.
  const vd::Point2 at_mask = truth[mask].footprint.front();
  const vd::ReportMatch as_bottle = vd::match_report(truth, 4, at_mask);
  ASSERT_GE(as_bottle.object, 0);
  EXPECT_EQ(truth[static_cast<std::size_t>(as_bottle.object)].class_id, 4);
  EXPECT_GT(as_bottle.error_m, 0.1);
  const vd::ReportMatch as_mask = vd::match_report(truth, 1, at_mask);
  EXPECT_EQ(as_mask.object, static_cast<int>(mask));
  EXPECT_NEAR(as_mask.error_m, 0.0, 1e-9);
  EXPECT_EQ(vd::match_report(truth, 7, at_mask).object, -1);
}

TEST(Evaluate, ScoresEachFramesFirstOutlineAndLabelsReportsByKeyColour)
{
  // Two frames 100 ms apart; outlines arrive 150 ms after their frame: frame 0 exact, frame 0
  // again (the timer ticked twice on it), one of no published frame, frame 1 shifted 0.3 m.
  vd::Source source;
  source.mode = "scene";
  source.scene = demo_scene(2);
  vd::DriveResult run;
  run.published = 2;
  run.frame_stamps_s = {100.0, 100.1};
  const vd::Clock::time_point t0{};
  run.published_at = {t0, t0 + std::chrono::milliseconds(100)};
  for (std::size_t c = 0; c < 2; ++c) run.views[c].model = source.scene->cameras[c];
  const auto cloud_of = [](const std::vector<vd::Point2> & points, double dy) {
    pcl::PointCloud<pcl::PointXYZ> cloud;
    for (const vd::Point2 & p : points) cloud.emplace_back(p.x(), p.y() + dy, 0.0f);
    return cloud;
  };
  const std::vector<vd::Point2> exact = true_outline(*source.scene, 0);
  const std::vector<vd::Point2> next = true_outline(*source.scene, 1);
  run.outlines = {{100.0, t0 + std::chrono::milliseconds(150), cloud_of(exact, 0.0)},
                  {100.0, t0 + std::chrono::milliseconds(200), cloud_of(exact, 0.0)},
                  {99.0, t0 + std::chrono::milliseconds(220), cloud_of(exact, 0.0)},
                  {100.1, t0 + std::chrono::milliseconds(250), cloud_of(next, 0.3)}};
  // A crop painted in the bottle's key colour at a bottle's corner, and a person far off.
  const veltrax_scene::ObjectTruth bottle =
      veltrax_scene::ground_truth(*source.scene, 0)[object_index(*source.scene, "bottle_1")];
  const host_rknn::KeyColour key = host_rknn::key_colours()[4];
  const cv::Mat crop(8, 8, CV_8UC3, cv::Scalar(key.b, key.g, key.r));
  run.reports = {{veltrax_harness::topics::kTrashes, 100.0, bottle.footprint[0].x(),
                  bottle.footprint[0].y(), crop},
                 {veltrax_harness::topics::kPersons, 100.1, 9.0, 0.0, cv::Mat()}};

  const vd::Evaluation evaluation = vd::evaluate(source, run);
  const vd::RunSummary & s = evaluation.summary;
  EXPECT_EQ(s.cycles, 4);
  EXPECT_EQ(s.frames_processed, 2);
  ASSERT_EQ(evaluation.outlines.size(), 4u);
  EXPECT_EQ(evaluation.outlines[1].repeat, 1);
  EXPECT_FALSE(evaluation.outlines[1].score.has_value());
  EXPECT_EQ(evaluation.outlines[2].frame, -1);
  ASSERT_EQ(s.frames.size(), 2u);
  EXPECT_EQ(s.frames[0].far_points, 0);
  EXPECT_GT(s.frames[1].far_points, s.frames[1].outline_points / 2);
  EXPECT_EQ(s.far_points, s.frames[1].far_points);
  EXPECT_EQ(s.outline_points, static_cast<int>(exact.size() + next.size()));
  EXPECT_NEAR(s.frames[0].cycle_ms, 150.0, 1e-9);
  EXPECT_NEAR(s.frames[1].cycle_ms, 150.0, 1e-9);
  EXPECT_NEAR(s.outline_interval_p50_ms, 30.0, 1e-9);  // of 50, 20 and 30 ms

  ASSERT_EQ(s.reports.size(), 2u);
  EXPECT_EQ(s.reports[0].label, "bottle");
  EXPECT_EQ(s.reports[0].object, "bottle_1");
  EXPECT_NEAR(s.reports[0].error_m, 0.0, 1e-9);
  EXPECT_EQ(s.reports[0].crop, "reports/0000_f0000_trash.png");
  EXPECT_EQ(s.reports[1].label, "person");
  EXPECT_EQ(s.reports[1].frame, 1);
  EXPECT_EQ(s.trash_records, 1);
  EXPECT_EQ(s.person_records, 1);
}

fs::path fresh_dir(const std::string & name)
{
  const fs::path dir =
      fs::temp_directory_path() / ("veltrax_demo_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  return dir;
}

// A fast, quiet run of `frames` frames into a fresh output directory. Each frame waits for the
// previous one's outline; the bound on that wait only matters when an outline never comes, so
// it is far above a cycle's time in every build (a loaded machine runs a sanitizer build's
// cycle on the real frames in seconds).
vd::RunOptions fast_run(const std::string & dir, int frames)
{
  vd::RunOptions options;
  options.workspace_dir = VELTRAX_WORKSPACE_DIR;
  options.out_dir = fresh_dir(dir).string();
  options.frames = frames;
  options.fast = true;
  options.progress = false;
  options.timeout_s = 120.0;
  return options;
}

std::size_t line_count(const fs::path & path)
{
  std::ifstream in(path);
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

// The costmap example's height band and range must keep every outline point of the demo's
// drive for a robot pitched up to 2 degrees: in Nav2's obstacle layer the points are checked in
// odom (height band, source and layer-wide) and by distance from the cloud's frame origin; the
// voxel layer checks the same band and its obstacle_range.
void expect_costmap_example_keeps_every_point(const fs::path & clouds_dir)
{
  const YAML::Node example = YAML::LoadFile(std::string(VELTRAX_WORKSPACE_DIR) +
                                            "/veltrax_cv_model/config/nav2_costmap_example.yaml");
  struct Band
  {
    std::string name;
    double min_height_m, max_height_m, min_range_m, max_range_m;
  };
  std::vector<Band> bands;
  for (const auto & [costmap, layer_name, range_key] :
       {std::tuple{"local_costmap", "obstacle_layer", "obstacle_max_range"},
        std::tuple{"local_costmap_voxel_alternative", "stvl_layer", "obstacle_range"}}) {
    const YAML::Node layer = example[costmap]["local_costmap"]["ros__parameters"][layer_name];
    const YAML::Node source = layer[layer["observation_sources"].as<std::string>()];
    ASSERT_TRUE(source.IsMap()) << layer_name;
    EXPECT_EQ(source["topic"].as<std::string>(), "/perception/yolov5/obstacle_pointcloud");
    EXPECT_TRUE(source["marking"].as<bool>());
    EXPECT_FALSE(source["clearing"].as<bool>()) << "an outline holds no free space to clear";
    const double layer_min = layer["min_obstacle_height"].as<double>(-1e9);
    const double layer_max = layer["max_obstacle_height"].as<double>(2.0);
    bands.push_back({layer_name, std::max(layer_min, source["min_obstacle_height"].as<double>(0.0)),
                     std::min(layer_max, source["max_obstacle_height"].as<double>(2.0)),
                     source["obstacle_min_range"].as<double>(0.0), source[range_key].as<double>()});
  }

  std::size_t points = 0;
  for (const fs::directory_entry & file : fs::directory_iterator(clouds_dir)) {
    if (file.path().string().find("_outline.pcd") == std::string::npos) continue;
    pcl::PointCloud<pcl::PointXYZ> outline;
    ASSERT_EQ(pcl::io::loadPCDFile(file.path().string(), outline), 0) << file.path();
    for (const pcl::PointXYZ & p : outline) {
      ++points;
      // base_footprint -> odom of a robot pitched by +-2 degrees, wherever it stands and
      // whichever way it heads: the height in odom changes, the distance to the cloud's origin
      // does not.
      const double range = std::hypot(p.x, p.y, p.z);
      for (const double pitch : {-2.0 * kDegree, 2.0 * kDegree}) {
        const double height = -std::sin(pitch) * p.x + std::cos(pitch) * p.z;
        for (const Band & band : bands) {
          SCOPED_TRACE(testing::Message() << band.name << ", pitch " << pitch / kDegree
                                          << ", point (" << p.x << ", " << p.y << ")");
          EXPECT_GE(height, band.min_height_m);
          EXPECT_LE(height, band.max_height_m);
          EXPECT_GE(range, band.min_range_m);
          EXPECT_LT(range, band.max_range_m);
        }
      }
    }
  }
  EXPECT_GT(points, 0u);
}

// A 5-frame run of the demo scene with `model` (empty: the colour-key model), checked against
// the ground truth; `summary` is filled for further checks.
void expect_every_object_found(const std::string & model, const std::string & compare_model,
                               const std::string & dir, vd::RunSummary & summary)
{
  constexpr int kFrames = 5;
  vd::RunOptions options = fast_run(dir, kFrames);
  options.model_file = model;
  options.compare_model = compare_model;
  summary = vd::run_demo(options);

  EXPECT_EQ(summary.frames_published, kFrames);
  EXPECT_EQ(summary.frames_processed, kFrames);
  EXPECT_GT(summary.outline_points, 0);
  EXPECT_EQ(summary.far_points, 0) << "outline points farther than 0.1 m from every footprint";

  // Which objects must show up follows from the ground truth, not from the runner's figures:
  // camera 1 reports what it sees of the trash classes (and the person within person_dis_th,
  // which the demo's person is), both cameras outline the outlined classes.
  veltrax_scene::DemoOptions scene_options;
  scene_options.frames = kFrames;
  const veltrax_scene::Scene scene = veltrax_scene::make_demo_scene(scene_options);
  vd::CameraView camera1;
  camera1.model = scene.cameras[0];
  ASSERT_EQ(summary.objects.size(), scene.objects.size());
  int outlined = 0;
  for (std::size_t i = 0; i < scene.objects.size(); ++i) {
    const vd::ObjectResult & object = summary.objects[i];
    SCOPED_TRACE(object.name);
    const int class_id = scene.objects[i].class_id;
    if (vd::is_outlined_class(class_id) && object.frames_in_view > 0) {
      ++outlined;
      EXPECT_EQ(object.frames_found, object.frames_in_view);
      if (class_id == 3 || class_id == 6) {
        EXPECT_GE(object.share_min, 0.9) << "camera-facing boundary within 0.05 m";
      }
    }
    if ((vd::is_trash_class(class_id) || class_id == 6) &&
        vd::sees_whole(scene, camera1, 0, 0, i)) {
      EXPECT_GE(object.reports, 1);
      EXPECT_LE(object.report_error_max_m, 0.1);
    }
  }
  EXPECT_GE(outlined, 5) << "both obstacles, the person, both bottles";

  const fs::path out(options.out_dir);
  // summary.json is JSON (a subset of YAML) holding the same figures.
  const YAML::Node json = YAML::LoadFile((out / "summary.json").string());
  EXPECT_EQ(json["frames_processed"].as<int>(), summary.frames_processed);
  EXPECT_EQ(json["far_outline_points"].as<int>(), summary.far_points);
  EXPECT_EQ(json["objects"].size(), summary.objects.size());
  EXPECT_EQ(json["frames"].size(), static_cast<std::size_t>(summary.frames_processed));
  EXPECT_EQ(json["reports"]["per_class"]["bottle"].as<int>(),
            summary.reports_per_class.at("bottle"));
  EXPECT_EQ(line_count(out / "reports.jsonl"),
            static_cast<std::size_t>(summary.trash_records + summary.person_records));
  for (const char * file :
       {"summary.png", "summary.json", "node.log", "topdown/0004.png", "overlays/0004_cam1.png",
        "overlays/0004_cam2.png", "clouds/0004_outline.pcd"}) {
    EXPECT_TRUE(fs::exists(out / file)) << file;
  }
  expect_costmap_example_keeps_every_point(out / "clouds");
}

TEST(DemoRun, FindsEveryObjectInViewAndOutlinesNothingElse)
{
  vd::RunSummary summary;
  expect_every_object_found("", "", "scene", summary);
}

TEST(DemoRun, OnnxKeyDetectorFindsWhatTheColourKeyModelFinds)
{
  // The onnx backend's network runs in OpenCV's dnn, which a ThreadSanitizer build does not
  // instrument and where it takes longer than the test's limit.
  if (VELTRAX_THREAD_SANITIZER) {
    GTEST_SKIP() << "onnx network under ThreadSanitizer";
  }
  vd::RunSummary summary;
  expect_every_object_found(ONNX_MODELS_DIR "/key_detector_640.yaml",
                            VELTRAX_WORKSPACE_DIR "/host/rknn/models/colour_key_640.yaml", "onnx",
                            summary);
  ASSERT_TRUE(summary.comparison.has_value());
  EXPECT_EQ(summary.comparison->matches.size(), 5u * 10u);  // six objects in camera 1, four in 2
  EXPECT_EQ(summary.comparison->found_within_limit, 50);
}

TEST(DemoRun, RealFramesReportBothBottlesWhereTheyStand)
{
  vd::RunOptions options = fast_run("real", 2);
  options.real_dir = std::string(VELTRAX_WORKSPACE_DIR) + "/veltrax_cv_model/test/data/rgbd";
  const vd::RunSummary summary = vd::run_demo(options);

  EXPECT_FALSE(summary.ground_truth);
  EXPECT_EQ(summary.frames_processed, 2);
  // Camera 2's people are never reported; camera 1's carton is an obstacle, not trash.
  EXPECT_EQ(summary.person_records, 0);
  ASSERT_GE(summary.trash_records, 2);
  bool left = false;
  bool right = false;
  for (const vd::ReportRecord & report : summary.reports) {
    EXPECT_EQ(report.label, "bottle");
    // Both bottles stand 0.5 to 0.7 m ahead of camera 1, the detergent left, the bleach right.
    EXPECT_GT(report.x_m, 0.4);
    EXPECT_LT(report.x_m, 0.8);
    left = left || report.y_m > 0.1;
    right = right || report.y_m < -0.1;
  }
  EXPECT_TRUE(left && right);
  // Three items before camera 1 and some of the people before camera 2 (within its 3 m crop).
  EXPECT_GE(summary.clusters.size(), 4u);
}

TEST(DemoRun, EndsWithAnErrorWhenTheModelCannotBeLoaded)
{
  // The runner gives up right after it started the node's executor; stopping that must not hang.
  vd::RunOptions options = fast_run("no_model", 1);
  options.model_file = options.out_dir + "/missing.yaml";
  EXPECT_THROW(vd::run_demo(options), std::runtime_error);
}

}  // namespace
