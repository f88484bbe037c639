// The evaluate stage: figures of a demo run.
#include "demo/evaluate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

#include "veltrax_harness/topics.hpp"

namespace veltrax_demo
{

namespace
{

constexpr int kKeyTolerance = 4;  // the colour-key model's tolerance
constexpr int kPersonClass = 6;

double milliseconds(Clock::duration duration)
{
  return std::chrono::duration<double, std::milli>(duration).count();
}

std::vector<Point2> points_of(const pcl::PointCloud<pcl::PointXYZ> & cloud)
{
  std::vector<Point2> points;
  points.reserve(cloud.size());
  for (const pcl::PointXYZ & p : cloud) {
    points.emplace_back(p.x, p.y);
  }
  return points;
}

ClusterRecord cluster_of(const std::vector<Point2> & points, const std::vector<int> & group)
{
  ClusterRecord cluster;
  cluster.x_min_m = cluster.y_min_m = std::numeric_limits<double>::infinity();
  cluster.x_max_m = cluster.y_max_m = -std::numeric_limits<double>::infinity();
  for (int index : group) {
    const Point2 & p = points[static_cast<std::size_t>(index)];
    cluster.x_m += p.x();
    cluster.y_m += p.y();
    cluster.x_min_m = std::min(cluster.x_min_m, p.x());
    cluster.x_max_m = std::max(cluster.x_max_m, p.x());
    cluster.y_min_m = std::min(cluster.y_min_m, p.y());
    cluster.y_max_m = std::max(cluster.y_max_m, p.y());
  }
  cluster.points = static_cast<int>(group.size());
  cluster.x_m /= cluster.points;
  cluster.y_m /= cluster.points;
  return cluster;
}

// The frame whose stamp lies within kStampMatch_s of `stamp_s`; -1 when none does.
int frame_of(const std::vector<double> & frame_stamps_s, double stamp_s)
{
  for (std::size_t k = 0; k < frame_stamps_s.size(); ++k) {
    if (std::abs(frame_stamps_s[k] - stamp_s) < kStampMatch_s) {
      return static_cast<int>(k);
    }
  }
  return -1;
}

// Class of a crop of the demo scene: the key colour most of its pixels carry (-1: none).
int key_colour_class(const cv::Mat & bgr)
{
  std::array<int, host_rknn::kKeyColourCount> counts{};
  for (int row = 0; row < bgr.rows; ++row) {
    const cv::Vec3b * px = bgr.ptr<cv::Vec3b>(row);
    for (int col = 0; col < bgr.cols; ++col) {
      for (std::size_t k = 0; k < counts.size(); ++k) {
        const host_rknn::KeyColour key = host_rknn::key_colours()[k];
        if (std::abs(px[col][2] - key.r) <= kKeyTolerance &&
            std::abs(px[col][1] - key.g) <= kKeyTolerance &&
            std::abs(px[col][0] - key.b) <= kKeyTolerance) {
          ++counts[k];
          break;
        }
      }
    }
  }
  const auto best = std::max_element(counts.begin(), counts.end());
  return *best > 0 ? static_cast<int>(best - counts.begin()) : -1;
}

// Class of a crop of the real frames: the trash class of the scripted camera 1 box nearest in
// size (`image_height` rows of the camera image); -1 when the script holds none.
int scripted_class(const host_rknn::ModelSpec & script, const cv::Mat & crop, int image_height)
{
  const double row_scale = image_height / 640.0;
  int best_class = -1;
  double best = std::numeric_limits<double>::infinity();
  for (const host_rknn::Detection & d : script.runs.front().slot1) {
    const double difference = std::abs(static_cast<double>(d.x2 - d.x1) - crop.cols) +
                              std::abs((d.y2 - d.y1) * row_scale - crop.rows);
    if (is_trash_class(d.class_id) && difference < best) {
      best = difference;
      best_class = d.class_id;
    }
  }
  return best_class;
}

// Report records, each matched to the nearest object of its label when there is ground truth.
void evaluate_reports(const Source & source, const DriveResult & run, RunSummary & summary)
{
  int index = 0;
  for (const ReceivedReport & report : run.reports) {
    const bool person = report.topic == veltrax_harness::topics::kPersons;
    ReportRecord record;
    record.topic = report.topic;
    record.frame = frame_of(run.frame_stamps_s, report.stamp_s);
    record.stamp_s = report.stamp_s;
    record.x_m = report.x_m;
    record.y_m = report.y_m;
    int class_id = kPersonClass;
    if (!person) {
      class_id = source.script
                     ? scripted_class(*source.script, report.crop_bgr, source.cameras[0].height)
                     : key_colour_class(report.crop_bgr);
    }
    record.label = class_id >= 0 ? veltrax_scene::class_label(class_id) : "unknown";
    char name[64];
    std::snprintf(name, sizeof(name), "reports/%04d_f%04d_%s.png", index++,
                  std::max(record.frame, 0), person ? "person" : "trash");
    record.crop = name;
    if (source.scene && record.frame >= 0) {
      const std::vector<veltrax_scene::ObjectTruth> truth =
          veltrax_scene::ground_truth(*source.scene, record.frame);
      const ReportMatch match = match_report(truth, class_id, {record.x_m, record.y_m});
      if (match.object >= 0) {
        ObjectResult & object = summary.objects[static_cast<std::size_t>(match.object)];
        record.object = object.name;
        record.error_m = match.error_m;
        ++object.reports;
        object.report_error_max_m = std::max(object.report_error_max_m, match.error_m);
      }
    }
    ++summary.reports_per_class[record.label];
    ++(person ? summary.person_records : summary.trash_records);
    summary.reports.push_back(record);
  }
  if (source.script) {
    for (const auto * slot :
         {&source.script->runs.front().slot1, &source.script->runs.front().slot2}) {
      for (const host_rknn::Detection & d : *slot) {
        ++summary.scripted_per_class[veltrax_scene::class_label(d.class_id)];
      }
    }
  }
}

}  // namespace

Point2 to_world(const veltrax_scene::Scene & scene, int frame, const Point2 & p)
{
  const Eigen::Vector3d w = scene.robot_poses.at(static_cast<std::size_t>(frame)).base_to_world() *
                            Eigen::Vector3d(p.x(), p.y(), 0.0);
  return w.head<2>();
}

Evaluation evaluate(const Source & source, const DriveResult & run)
{
  Evaluation evaluation;
  RunSummary & summary = evaluation.summary;
  summary.mode = source.mode;
  summary.ground_truth = source.scene.has_value();
  summary.frames_published = run.published;
  summary.cycles = static_cast<int>(run.outlines.size());
  summary.node_error_lines = run.node_error_lines;
  std::vector<std::vector<double>> shares;
  if (source.scene) {
    for (const veltrax_scene::SceneObject & object : source.scene->objects) {
      ObjectResult result;
      result.name = object.name;
      result.class_id = object.class_id;
      result.label = veltrax_scene::class_label(object.class_id);
      summary.objects.push_back(result);
    }
    shares.resize(summary.objects.size());
  }
  evaluate_reports(source, run, summary);

  // The first outline of every frame is scored; repeats of a frame are only counted.
  std::vector<double> cycle_ms;
  std::map<int, int> seen;
  std::vector<Point2> last_points;
  for (std::size_t i = 0; i < run.outlines.size(); ++i) {
    OutlineVerdict & verdict = evaluation.outlines.emplace_back();
    verdict.frame = frame_of(run.frame_stamps_s, run.outlines[i].stamp_s);
    if (verdict.frame < 0) {
      continue;
    }
    verdict.repeat = seen[verdict.frame]++;
    if (verdict.repeat > 0) {
      continue;
    }
    verdict.points = points_of(run.outlines[i].cloud);
    ++summary.frames_processed;
    FrameRecord frame_record;
    frame_record.frame = verdict.frame;
    frame_record.cycle_ms = milliseconds(run.outlines[i].received -
                                         run.published_at[static_cast<std::size_t>(verdict.frame)]);
    frame_record.outline_points = static_cast<int>(verdict.points.size());
    frame_record.far_points = -1;
    cycle_ms.push_back(frame_record.cycle_ms);
    evaluation.last_frame = verdict.frame;
    last_points = verdict.points;
    summary.outline_points += static_cast<int>(verdict.points.size());
    if (source.scene) {
      const FrameScore & score = verdict.score.emplace(
          score_frame(*source.scene, run.views, verdict.frame, verdict.points));
      for (const ObjectScore & object : score.objects) {
        ObjectResult & result = summary.objects[object.object];
        ++result.frames_in_view;
        ++summary.in_view_per_class[result.label];
        if (object.found) {
          ++result.frames_found;
          ++summary.outlined_per_class[result.label];
        }
        shares[object.object].push_back(object.share);
      }
      for (std::size_t p = 0; p < verdict.points.size(); ++p) {
        evaluation.world_points.push_back(
            to_world(*source.scene, verdict.frame, verdict.points[p]));
        evaluation.world_point_far.push_back(score.point_error_m[p] > kFarTolerance_m);
      }
      summary.far_points += score.far_points;
      frame_record.far_points = score.far_points;
    }
    summary.frames.push_back(frame_record);
  }

  for (std::size_t i = 0; i < summary.objects.size(); ++i) {
    if (!shares[i].empty()) {
      double sum = 0.0;
      for (double share : shares[i]) sum += share;
      summary.objects[i].share_mean = sum / static_cast<double>(shares[i].size());
      summary.objects[i].share_min = *std::min_element(shares[i].begin(), shares[i].end());
    }
  }
  summary.far_share = summary.outline_points > 0
                          ? static_cast<double>(summary.far_points) / summary.outline_points
                          : 0.0;
  summary.cycle_samples = static_cast<int>(cycle_ms.size());
  summary.cycle_p50_ms = quantile(cycle_ms, 0.5);
  summary.cycle_p90_ms = quantile(cycle_ms, 0.9);
  summary.cycle_p99_ms = quantile(cycle_ms, 0.99);
  summary.cycle_max_ms = quantile(cycle_ms, 1.0);
  std::vector<double> intervals_ms;
  for (std::size_t i = 1; i < run.outlines.size(); ++i) {
    intervals_ms.push_back(milliseconds(run.outlines[i].received - run.outlines[i - 1].received));
  }
  summary.outline_interval_p50_ms = quantile(intervals_ms, 0.5);
  for (const std::vector<int> & group : group_points(last_points, kClusterGap_m)) {
    summary.clusters.push_back(cluster_of(last_points, group));
  }
  evaluation.last_points = std::move(last_points);
  return evaluation;
}

}  // namespace veltrax_demo
