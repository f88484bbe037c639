// Top-down pictures of a demo run.
#include "demo/pictures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "demo/top_down.hpp"
#include "veltrax_harness/topics.hpp"

namespace veltrax_demo
{

namespace
{

constexpr double kRobotRadius_m = 0.3;  // drawing only
constexpr double kPixelsPerMetre = 200.0;
constexpr double kMapXMin_m = -0.6;
constexpr double kMapXMax_m = 3.4;
constexpr double kMapYMin_m = -1.6;
constexpr double kMapYMax_m = 1.6;
constexpr int kLegendWidth_px = 270;

TopDownCanvas make_canvas()
{
  return TopDownCanvas(kMapXMin_m, kMapXMax_m, kMapYMin_m, kMapYMax_m, kPixelsPerMetre,
                       kLegendWidth_px);
}

FieldOfView field_of_view(const veltrax_scene::CameraModel & camera,
                          const Eigen::Isometry3d & camera_to_base, double reach_m,
                          std::size_t index)
{
  FieldOfView fov;
  // Different places for the names, in case both cameras look the same way.
  fov.label_at = index == 0 ? 0.9 : 0.7;
  fov.apex = camera_to_base.translation().head<2>();
  const Eigen::Vector3d axis = camera_to_base.linear().col(2);
  fov.yaw_rad = std::atan2(axis.y(), axis.x());
  fov.opening_rad = 2.0 * std::atan(0.5 * camera.width / camera.fx);
  fov.reach_m = reach_m;
  return fov;
}

cv::Scalar report_colour(const ReportRecord & record)
{
  return record.topic == veltrax_harness::topics::kPersons ? colours::kPersonReport
                                                           : colours::kTrashReport;
}

void common_legend(TopDownCanvas & canvas, bool with_truth)
{
  canvas.legend(TopDownCanvas::Mark::kDot, colours::kOutline, "outline point");
  if (with_truth) {
    canvas.legend(TopDownCanvas::Mark::kDot, colours::kMissed, "outline point > 0.1 m off");
    for (int class_id : {3, 4, 5, 6, 1}) {
      canvas.legend(TopDownCanvas::Mark::kSquare, colours::footprint(class_id),
                    "true footprint: " + veltrax_scene::class_label(class_id));
    }
  }
  canvas.legend(TopDownCanvas::Mark::kCross, colours::kTrashReport, "trash report");
  canvas.legend(TopDownCanvas::Mark::kCross, colours::kPersonReport, "person report");
  canvas.legend(TopDownCanvas::Mark::kLine, colours::kCamera1, "camera 1 field of view");
  canvas.legend(TopDownCanvas::Mark::kLine, colours::kCamera2, "camera 2 field of view");
  canvas.legend(TopDownCanvas::Mark::kLine, colours::kRobot, "robot (drawn 0.3 m radius)");
  canvas.legend(TopDownCanvas::Mark::kLine, cv::Scalar(180, 180, 180), "grid 0.5 m");
}

}  // namespace

cv::Mat frame_picture(const Source & source, const std::array<CameraView, 2> & views,
                      const OutlineVerdict & verdict, const std::vector<ReportRecord> & reports)
{
  const std::vector<Point2> & points = verdict.points;
  TopDownCanvas canvas = make_canvas();
  for (std::size_t c = 0; c < 2; ++c) {
    canvas.field_of_view(
        field_of_view(source.cameras[c], source.camera_to_base[c], views[c].z_max_m, c),
        c == 0 ? colours::kCamera1 : colours::kCamera2, c == 0 ? "camera 1" : "camera 2");
  }
  canvas.robot({0.0, 0.0}, 0.0, kRobotRadius_m);
  std::vector<std::string> title{"frame " + std::to_string(verdict.frame) + " (base_footprint)",
                                 std::to_string(points.size()) + " outline points"};
  if (verdict.score) {
    const FrameScore & score = *verdict.score;
    for (const veltrax_scene::ObjectTruth & truth : score.truth) {
      canvas.footprint(truth.footprint, truth.class_id, truth.name);
    }
    std::vector<Point2> covered;
    std::vector<Point2> missed;
    for (const ObjectScore & object : score.objects) {
      for (std::size_t s = 0; s < object.samples.size(); ++s) {
        (object.covered[s] ? covered : missed).push_back(object.samples[s]);
      }
    }
    std::vector<Point2> near;
    std::vector<Point2> far;
    for (std::size_t p = 0; p < points.size(); ++p) {
      (score.point_error_m[p] > kFarTolerance_m ? far : near).push_back(points[p]);
    }
    canvas.points(near, colours::kOutline, 3);
    canvas.points(far, colours::kMissed, 3);
    canvas.points(covered, colours::kCovered, 1);
    canvas.points(missed, colours::kMissed, 2);
    title.push_back(std::to_string(score.far_points) + " farther than 0.1 m from truth");
  } else {
    canvas.points(points, colours::kOutline, 3);
  }
  for (const ReportRecord & record : reports) {
    canvas.cross({record.x_m, record.y_m}, report_colour(record));
  }
  canvas.title(title);
  if (verdict.score) {
    canvas.legend(TopDownCanvas::Mark::kDot, colours::kCovered, "camera-facing edge, covered");
    canvas.legend(TopDownCanvas::Mark::kDot, colours::kMissed, "camera-facing edge, missed");
  }
  common_legend(canvas, verdict.score.has_value());
  return canvas.image();
}

cv::Mat summary_picture(const Source & source, const std::array<CameraView, 2> & views,
                        const Evaluation & evaluation)
{
  const RunSummary & summary = evaluation.summary;
  TopDownCanvas canvas = make_canvas();
  std::vector<std::string> title;
  if (source.scene) {
    const veltrax_scene::Scene & scene = *source.scene;
    const int first = 0;
    const int last = std::max(0, evaluation.last_frame);
    for (std::size_t c = 0; c < 2; ++c) {
      FieldOfView fov =
          field_of_view(source.cameras[c], source.camera_to_base[c], views[c].z_max_m, c);
      fov.apex = to_world(scene, first, fov.apex);
      canvas.field_of_view(fov, c == 0 ? colours::kCamera1 : colours::kCamera2,
                           c == 0 ? "camera 1" : "camera 2");
    }
    canvas.robot(to_world(scene, first, {0.0, 0.0}), 0.0, kRobotRadius_m, true);
    canvas.robot(to_world(scene, last, {0.0, 0.0}), scene.robot_poses[last].yaw_rad,
                 kRobotRadius_m);
    for (const veltrax_scene::ObjectTruth & truth : veltrax_scene::ground_truth(scene, first)) {
      Polygon world;
      for (const Point2 & p : truth.footprint) world.push_back(to_world(scene, first, p));
      canvas.footprint(world, truth.class_id, truth.name);
    }
    std::vector<Point2> near;
    std::vector<Point2> far;
    for (std::size_t p = 0; p < evaluation.world_points.size(); ++p) {
      (evaluation.world_point_far[p] ? far : near).push_back(evaluation.world_points[p]);
    }
    canvas.points(near, colours::kOutline, 2);
    canvas.points(far, colours::kMissed, 3);
    for (const ReportRecord & record : summary.reports) {
      if (record.frame >= 0) {
        canvas.cross(to_world(scene, record.frame, {record.x_m, record.y_m}),
                     report_colour(record));
      }
    }
    char line[96];
    title.push_back("demo scene, world frame");
    std::snprintf(line, sizeof(line), "%d frames processed, robot x %.2f -> %.2f m",
                  summary.frames_processed, scene.robot_poses[first].x_m,
                  scene.robot_poses[last].x_m);
    title.push_back(line);
    std::snprintf(line, sizeof(line), "%d outline points, %d > 0.1 m off", summary.outline_points,
                  summary.far_points);
    title.push_back(line);
  } else {
    const bool real = source.mode == "real";
    const std::array<const char *, 2> camera_names =
        real ? std::array<const char *, 2>{"camera 1 (milk_cartoon)", "camera 2 (five_people)"}
             : std::array<const char *, 2>{"camera 1", "camera 2"};
    for (std::size_t c = 0; c < 2; ++c) {
      canvas.field_of_view(
          field_of_view(source.cameras[c], source.camera_to_base[c], views[c].z_max_m, c),
          c == 0 ? colours::kCamera1 : colours::kCamera2, camera_names[c]);
    }
    canvas.robot({0.0, 0.0}, 0.0, kRobotRadius_m);
    canvas.points(evaluation.last_points, colours::kOutline, 3);
    for (const ReportRecord & record : summary.reports) {
      canvas.cross({record.x_m, record.y_m}, report_colour(record));
    }
    title = {real ? "real frames, base_footprint" : "recording, base_footprint", "no ground truth",
             std::to_string(evaluation.last_points.size()) + " outline points, " +
                 std::to_string(summary.clusters.size()) + " clusters"};
  }
  canvas.title(title);
  common_legend(canvas, source.scene.has_value());
  return canvas.image();
}

}  // namespace veltrax_demo
