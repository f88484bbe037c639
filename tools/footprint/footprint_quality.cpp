#include "footprint/footprint_quality.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>

#include <Eigen/LU>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "footprint/polygon_metrics.hpp"
#include "footprint/truth_derivation.hpp"
#include "veltrax_cv_model/detection_cloud.hpp"
#include "veltrax_cv_model/footprint.hpp"
#include "veltrax_cv_model/ground_removal.hpp"

namespace veltrax_footprint
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

std::vector<cv::Point3f> points_of(const Cloud & cloud)
{
  std::vector<cv::Point3f> points;
  points.reserve(cloud.size());
  for (const pcl::PointXYZ & p : cloud) {
    points.emplace_back(p.x, p.y, p.z);
  }
  return points;
}

std::vector<cv::Point2f> xy_of(const Cloud & cloud)
{
  std::vector<cv::Point2f> points;
  for (const pcl::PointXYZ & p : cloud) {
    points.emplace_back(p.x, p.y);
  }
  return points;
}

veltrax_cv_model::DepthImageView depth_view(const cv::Mat & depth_mm)
{
  return veltrax_cv_model::DepthImageView{depth_mm.data,    depth_mm.total() * depth_mm.elemSize(),
                                          depth_mm.cols,    depth_mm.rows,
                                          depth_mm.step[0], "16UC1"};
}

nlohmann::json number_or_null(const std::optional<double> & value)
{
  return value && std::isfinite(*value) ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

std::string fixed(const std::optional<double> & value, int decimals)
{
  if (!value) {
    return "-";
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.*f", decimals, *value);
  return text;
}

// Area centroid; a footprint without area (a small cluster's few points) is placed at its
// corners' mean.
cv::Point2f centre_of(const Polygon & footprint)
{
  if (footprint.empty()) {
    return {};
  }
  const cv::Scalar mean = cv::mean(footprint);
  return rasterised_overlap({footprint}, {})
      .footprint_centroid.value_or(
          cv::Point2f(static_cast<float>(mean[0]), static_cast<float>(mean[1])));
}

}  // namespace

CameraOutput run_camera(const FrameData & frame, const PipelineParams & params, int camera)
{
  using veltrax_cv_model::DetectionCloudBuilder;
  const DetectionCloudBuilder builder(params.clouds);
  const veltrax_cv_model::ObstacleOutliner outliner(params.clusters);
  const veltrax_cv_model::CameraView view =
      camera_view(params, camera, frame.intrinsics, frame.description.camera_to_base);
  const veltrax_cv_model::DepthImageView depth = depth_view(frame.depth_mm);
  const int row_length = frame.color.cols;

  CameraOutput output;
  for (const veltrax_cv_model::DetectedObject & detection : detections_of(frame.description)) {
    std::vector<Cloud> clouds;
    builder.build(depth, row_length, {detection}, view, clouds);
    Cloud outline;
    std::vector<Cloud> footprints;
    outliner.outline(clouds, outline, &footprints);
    BoxOutput box;
    for (const Cloud & footprint : footprints) {
      box.footprints.push_back(convex_hull(xy_of(footprint)));
      Cloud samples;
      veltrax_cv_model::polygon_to_cloud({footprint}, veltrax_cv_model::kOutlineSpacingM, samples);
      std::vector<cv::Point2f> points = xy_of(samples);
      const std::vector<cv::Point2f> corners = xy_of(footprint);
      points.insert(points.end(), corners.begin(), corners.end());
      box.outline_points.push_back(std::move(points));
    }
    output.boxes.push_back(std::move(box));
  }

  Cloud scene;
  veltrax_cv_model::CloudBuildReport report;
  std::vector<std::uint16_t> smoothed;
  const veltrax_cv_model::DepthImageView scene_depth =
      builder.noise_smoothed(depth, row_length, view.intrinsics, smoothed, report);
  builder.region_cloud(scene_depth, row_length, {0, depth.width, 0, depth.height}, view.intrinsics,
                       scene, report);
  Cloud scene_in_base;
  veltrax_cv_model::crop_and_transform(scene, view.z_min_m, view.z_max_m, view.camera_to_base,
                                       scene_in_base);
  veltrax_cv_model::GroundRemoval<pcl::PointXYZ> floor_model(params.clouds.ground);
  floor_model.set_input_cloud(scene_in_base);
  auto floor = std::make_shared<Cloud>();
  auto other = std::make_shared<Cloud>();
  floor_model.groundRemove(scene_in_base, other, floor);
  output.labelled_floor = points_of(*floor);
  output.labelled_other = points_of(*other);
  return output;
}

std::vector<int> assign_footprints(const std::vector<Polygon> & footprints,
                                   const std::vector<Polygon> & truths)
{
  std::vector<int> owner(footprints.size(), -1);
  for (std::size_t f = 0; f < footprints.size(); ++f) {
    double most_shared = 0.0;
    double nearest = kFragmentToleranceM;
    for (std::size_t t = 0; t < truths.size(); ++t) {
      const double shared = rasterised_overlap({footprints[f]}, truths[t]).intersection_m2;
      if (shared > most_shared) {
        most_shared = shared;
        owner[f] = static_cast<int>(t);
      }
    }
    // A footprint without area (a cluster of a few points) belongs where it lies.
    for (std::size_t t = 0; owner[f] < 0 && t < truths.size() && !footprints[f].empty(); ++t) {
      const double d = largest_outside_distance({centre_of(footprints[f])}, truths[t]);
      if (d <= nearest) {
        nearest = d;
        owner[f] = static_cast<int>(t);
      }
    }
  }
  return owner;
}

double FloorScore::f1() const
{
  return precision + recall > 0.0 ? 2.0 * precision * recall / (precision + recall) : 0.0;
}

FloorScore score_floor(const std::vector<cv::Point3f> & labelled_floor,
                       const std::vector<cv::Point3f> & labelled_other, const FrameData & recorded,
                       const Eigen::Matrix4f & used_to_camera)
{
  const PixelCloud clean =
      pixel_cloud(recorded.depth_mm, recorded.intrinsics, recorded.description.camera_to_base);
  const Eigen::Matrix4f used_to_recorded = recorded.description.camera_to_base * used_to_camera;
  const veltrax_cv_model::CameraIntrinsics & k = recorded.intrinsics;
  // -1 not floor, 0 unscored, 1 floor
  auto truth = [&](const cv::Point3f & p) {
    const Eigen::Vector4f point(p.x, p.y, p.z, 1.0f);
    const Eigen::Vector4f optical = used_to_camera * point;
    float z = (used_to_recorded * point).z();
    if (optical.z() > 0.0f) {
      const int u = static_cast<int>(std::lround(k.fx * optical.x() / optical.z() + k.cx));
      const int v = static_cast<int>(std::lround(k.fy * optical.y() / optical.z() + k.cy));
      if (u >= 0 && v >= 0 && u < clean.optical_z.cols && v < clean.optical_z.rows &&
          clean.optical_z.at<float>(v, u) > 0.0f) {
        z = clean.base_xyz.at<cv::Vec3f>(v, u)[2];
      }
    }
    return std::abs(z) < kFloorBandM ? 1 : std::abs(z) < kFloorIgnoreM ? 0 : -1;
  };
  std::size_t floor_as_floor = 0;
  std::size_t other_as_floor = 0;
  std::size_t floor_as_other = 0;
  for (const cv::Point3f & p : labelled_floor) {
    const int t = truth(p);
    floor_as_floor += t == 1 ? 1 : 0;
    other_as_floor += t == -1 ? 1 : 0;
  }
  for (const cv::Point3f & p : labelled_other) {
    floor_as_other += truth(p) == 1 ? 1 : 0;
  }
  FloorScore score;
  score.true_floor = floor_as_floor + floor_as_other;
  score.labelled_floor = floor_as_floor + other_as_floor;
  const auto ratio = [](std::size_t part, std::size_t whole) {
    return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole) : 1.0;
  };
  score.precision = ratio(floor_as_floor, score.labelled_floor);
  score.recall = ratio(floor_as_floor, score.true_floor);
  return score;
}

QualityReport evaluate_frame(const FrameData & frame, const Degradation & degradation,
                             const PipelineParams & params, int camera)
{
  const FrameData seen = degrade(frame, degradation);
  const CameraOutput output = run_camera(seen, params, camera);
  const Eigen::Matrix4f & recorded = frame.description.camera_to_base;
  const Eigen::Matrix4f & used = seen.description.camera_to_base;

  QualityReport report;
  report.frame = frame.name;
  report.camera = camera;
  report.degradation = degradation;
  report.floor = score_floor(output.labelled_floor, output.labelled_other, frame, used.inverse());

  const std::vector<TruthObject> & truth = frame.description.truth;
  std::vector<Polygon> hulls;
  hulls.reserve(truth.size());
  const std::size_t slot = camera == 2 ? 1 : 0;
  const ObjectPixelRule rule{params.crop_min_m[slot], params.crop_max_m[slot], kObjectMinHeightM};
  for (const TruthObject & object : truth) {
    hulls.push_back(used == recorded ? object.hull : truth_in_view(frame, object, used, rule));
  }
  std::vector<std::vector<std::size_t>> assigned(truth.size());
  for (std::size_t b = 0; b < output.boxes.size(); ++b) {
    const BoxOutput & box = output.boxes[b];
    std::vector<std::size_t> objects;
    std::vector<Polygon> box_hulls;
    for (std::size_t t = 0; t < truth.size(); ++t) {
      if (truth[t].box_index == static_cast<int>(b)) {
        objects.push_back(t);
        box_hulls.push_back(hulls[t]);
      }
    }
    std::vector<int> owner = assign_footprints(box.footprints, box_hulls);
    for (std::size_t f = 0; f < owner.size(); ++f) {
      if (owner[f] >= 0) {
        owner[f] = static_cast<int>(objects[owner[f]]);
        assigned[owner[f]].push_back(f);
      } else if (!objects.empty()) {
        ++report.unassigned_footprints;
      }
    }
    report.owners.push_back(std::move(owner));
  }
  for (std::size_t t = 0; t < truth.size(); ++t) {
    const BoxOutput & box = output.boxes[truth[t].box_index];
    ObjectScore score;
    score.name = truth[t].name;
    score.footprints = static_cast<int>(assigned[t].size());
    std::vector<Polygon> own;
    std::vector<cv::Point2f> outline;
    for (std::size_t f : assigned[t]) {
      own.push_back(box.footprints[f]);
      outline.insert(outline.end(), box.outline_points[f].begin(), box.outline_points[f].end());
    }
    const Overlap overlap = rasterised_overlap(own, hulls[t]);
    score.iou = overlap.iou;
    if (overlap.footprint_centroid && overlap.truth_centroid) {
      score.centroid_error_m = cv::norm(*overlap.footprint_centroid - *overlap.truth_centroid);
    }
    score.outside_max_m = largest_outside_distance(outline, hulls[t]);
    for (const cv::Point2f & p : outline) {
      double nearest = std::numeric_limits<double>::infinity();
      for (const Polygon & hull : hulls) {
        nearest = std::min(nearest, largest_outside_distance({p}, hull));
      }
      score.outside_all_max_m = std::max(score.outside_all_max_m, nearest);
    }
    report.objects.push_back(score);
  }

  report.camera_floor = cv::Point2f(used(0, 3), used(1, 3));
  for (const BoxOutput & box : output.boxes) {
    for (const std::vector<cv::Point2f> & points : box.outline_points) {
      for (const cv::Point2f & p : points) {
        const double d = cv::norm(p - report.camera_floor);
        report.outline_min_distance_to_camera_m =
            std::min(report.outline_min_distance_to_camera_m.value_or(d), d);
      }
    }
  }
  report.truth_hulls = std::move(hulls);
  report.boxes = output.boxes;
  return report;
}

std::string quality_table(const QualityReport & report)
{
  std::string text;
  char line[256];
  const Degradation & d = report.degradation;
  std::snprintf(
      line, sizeof(line), "%s, camera %d, noise %.3g, tilt %.3g deg, holes %.3g, seed %u\n",
      report.frame.c_str(), report.camera, d.noise_rel, d.tilt_deg, d.holes_share, d.seed);
  text += line;
  std::snprintf(line, sizeof(line), "%-24s %10s %6s %11s %10s %14s\n", "object", "footprints",
                "IoU", "centroid_m", "outside_m", "outside_all_m");
  text += line;
  for (const ObjectScore & o : report.objects) {
    std::snprintf(line, sizeof(line), "%-24s %10d %6.3f %11s %10.3f %14.3f\n", o.name.c_str(),
                  o.footprints, o.iou, fixed(o.centroid_error_m, 3).c_str(), o.outside_max_m,
                  o.outside_all_max_m);
    text += line;
  }
  std::snprintf(line, sizeof(line),
                "floor precision %.3f, recall %.3f, F1 %.3f (%zu floor points, %zu labelled)\n",
                report.floor.precision, report.floor.recall, report.floor.f1(),
                report.floor.true_floor, report.floor.labelled_floor);
  text += line;
  std::snprintf(line, sizeof(line),
                "nearest outline point to the camera's floor position: %s m; unassigned "
                "footprints %d\n",
                fixed(report.outline_min_distance_to_camera_m, 3).c_str(),
                report.unassigned_footprints);
  text += line;
  for (std::size_t b = 0; b < report.boxes.size(); ++b) {
    std::snprintf(line, sizeof(line), "box %zu footprints:", b);
    text += line;
    const std::vector<Polygon> & footprints = report.boxes[b].footprints;
    for (std::size_t f = 0; f < footprints.size(); ++f) {
      const int owner = report.owners[b][f];
      std::snprintf(line, sizeof(line), " %.4f m^2 at (%.2f, %.2f) %s;",
                    polygon_area(footprints[f]), centre_of(footprints[f]).x,
                    centre_of(footprints[f]).y,
                    owner < 0 ? "-" : report.objects[owner].name.c_str());
      text += line;
    }
    text += footprints.empty() ? " none\n" : "\n";
  }
  return text;
}

cv::Mat quality_picture(const QualityReport & report, std::optional<std::size_t> only_box)
{
  const auto shown = [&](std::size_t b) { return !only_box || *only_box == b; };
  // The true footprints drawn: all, or those owning one of the shown box's footprints.
  std::vector<bool> truth_shown(report.truth_hulls.size(), !only_box);
  for (std::size_t b = 0; b < report.boxes.size(); ++b) {
    for (std::size_t f = 0; f < report.boxes[b].footprints.size() && shown(b); ++f) {
      const int owner = report.owners[b][f];
      if (owner >= 0) {
        truth_shown[static_cast<std::size_t>(owner)] = true;
      }
    }
  }
  constexpr float kUnset = std::numeric_limits<float>::infinity();
  cv::Point2f low(kUnset, kUnset);
  cv::Point2f high(-kUnset, -kUnset);
  auto extend = [&](const Polygon & polygon) {
    for (const cv::Point2f & c : polygon) {
      low = cv::Point2f(std::min(low.x, c.x), std::min(low.y, c.y));
      high = cv::Point2f(std::max(high.x, c.x), std::max(high.y, c.y));
    }
  };
  if (!only_box) {
    extend({report.camera_floor});
  }
  for (std::size_t t = 0; t < report.truth_hulls.size(); ++t) {
    if (truth_shown[t]) {
      extend(report.truth_hulls[t]);
    }
  }
  for (std::size_t b = 0; b < report.boxes.size(); ++b) {
    for (const Polygon & footprint : report.boxes[b].footprints) {
      if (shown(b)) {
        extend(footprint);
      }
    }
  }
  if (!(low.x <= high.x)) {
    low = high = report.camera_floor;
  }
  // About 600 pixels across the larger side, within 100 to 1000 pixels per metre.
  const float span = std::max({high.x - low.x, high.y - low.y, 0.1f});
  const float pixels_per_metre = std::clamp(600.0f / span, 100.0f, 1000.0f);
  constexpr int kMargin = 20;
  constexpr int kTitle = 24;
  const int width = static_cast<int>((high.y - low.y) * pixels_per_metre) + 2 * kMargin;
  const int height = static_cast<int>((high.x - low.x) * pixels_per_metre) + 2 * kMargin + kTitle;
  cv::Mat picture(std::min(height, 4000), std::min(std::max(width, 420), 4000), CV_8UC3,
                  cv::Scalar(255, 255, 255));
  auto to_pixel = [&](const cv::Point2f & p) {
    return cv::Point(kMargin + static_cast<int>((high.y - p.y) * pixels_per_metre),
                     kTitle + kMargin + static_cast<int>((high.x - p.x) * pixels_per_metre));
  };
  // Decimetre grid lines, counted in decimetres: a running sum of 0.1f drifts off them.
  for (int i = static_cast<int>(std::floor(low.x * 10.0f)); static_cast<float>(i) <= high.x * 10.0f;
       ++i) {
    const float g = static_cast<float>(i) / 10.0f;
    cv::line(picture, to_pixel({g, low.y - 1.0f}), to_pixel({g, high.y + 1.0f}),
             cv::Scalar(230, 230, 230));
  }
  for (int i = static_cast<int>(std::floor(low.y * 10.0f)); static_cast<float>(i) <= high.y * 10.0f;
       ++i) {
    const float g = static_cast<float>(i) / 10.0f;
    cv::line(picture, to_pixel({low.x - 1.0f, g}), to_pixel({high.x + 1.0f, g}),
             cv::Scalar(230, 230, 230));
  }
  cv::rectangle(picture, cv::Rect(0, 0, picture.cols, kTitle), cv::Scalar(255, 255, 255),
                cv::FILLED);
  cv::putText(picture, "x forward (up), y left (left); grid 0.1 m", cv::Point(6, 17),
              cv::FONT_HERSHEY_SIMPLEX, 0.45, cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
  auto draw = [&](const Polygon & polygon, const cv::Scalar & colour, int thickness) {
    std::vector<cv::Point> corners;
    for (const cv::Point2f & c : polygon) {
      corners.push_back(to_pixel(c));
    }
    if (!corners.empty()) {
      cv::polylines(picture, corners, true, colour, thickness, cv::LINE_AA);
    }
  };
  for (std::size_t t = 0; t < report.truth_hulls.size(); ++t) {
    if (truth_shown[t]) {
      draw(report.truth_hulls[t], cv::Scalar(0, 170, 0), 3);
    }
  }
  for (std::size_t b = 0; b < report.boxes.size(); ++b) {
    const BoxOutput & box = report.boxes[b];
    for (std::size_t f = 0; f < box.footprints.size() && shown(b); ++f) {
      const int owner = report.owners[b][f];
      draw(box.footprints[f], owner < 0 ? cv::Scalar(150, 150, 150) : cv::Scalar(200, 80, 0), 1);
      for (const cv::Point2f & p : box.outline_points[f]) {
        const bool far =
            owner >= 0 && largest_outside_distance({p}, report.truth_hulls[owner]) > 0.03;
        cv::circle(picture, to_pixel(p), 2, far ? cv::Scalar(0, 0, 255) : cv::Scalar(200, 80, 0),
                   cv::FILLED);
      }
    }
  }
  if (!only_box) {
    cv::drawMarker(picture, to_pixel(report.camera_floor), cv::Scalar(0, 0, 0), cv::MARKER_CROSS,
                   16, 2);
  }
  return picture;
}

nlohmann::json quality_json(const QualityReport & report)
{
  nlohmann::json objects = nlohmann::json::array();
  for (const ObjectScore & o : report.objects) {
    objects.push_back({{"name", o.name},
                       {"footprints", o.footprints},
                       {"iou", o.iou},
                       {"centroid_error_m", number_or_null(o.centroid_error_m)},
                       {"outside_max_m", number_or_null(o.outside_max_m)},
                       {"outside_all_max_m", number_or_null(o.outside_all_max_m)}});
  }
  const Degradation & d = report.degradation;
  return {
      {"frame", report.frame},
      {"camera", report.camera},
      {"degradation",
       {{"noise", d.noise_rel},
        {"tilt_deg", d.tilt_deg},
        {"holes", d.holes_share},
        {"seed", d.seed}}},
      {"objects", objects},
      {"floor", {{"precision", report.floor.precision}, {"recall", report.floor.recall}}},
      {"outline_min_distance_to_camera_m", number_or_null(report.outline_min_distance_to_camera_m)},
      {"unassigned_footprints", report.unassigned_footprints}};
}

}  // namespace veltrax_footprint
