// Ground-truth scoring of the demo runner.
#include "demo/scoring.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "veltrax_cv_model/class_table.hpp"

namespace veltrax_demo
{

namespace
{

constexpr double kPi = 3.14159265358979323846;
// Image rows an object must reach into to count as seen; fewer leave a sliver the detector's
// minimum region area may drop.
constexpr double kMinVisibleRows_px = 4.0;

double distance_to_segment(const Point2 & a, const Point2 & b, const Point2 & p)
{
  const Point2 ab = b - a;
  const double length_sq = ab.squaredNorm();
  const double t = length_sq > 0.0 ? std::clamp((p - a).dot(ab) / length_sq, 0.0, 1.0) : 0.0;
  return (a + t * ab - p).norm();
}

bool inside(const Polygon & polygon, const Point2 & p)
{
  bool in = false;
  for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
    const Point2 & a = polygon[i];
    const Point2 & b = polygon[j];
    if ((a.y() > p.y()) != (b.y() > p.y()) &&
        p.x() < (b.x() - a.x()) * (p.y() - a.y()) / (b.y() - a.y()) + a.x()) {
      in = !in;
    }
  }
  return in;
}

}  // namespace

double distance_to_polygon(const Polygon & polygon, const Point2 & p)
{
  if (polygon.empty()) {
    return std::numeric_limits<double>::infinity();
  }
  if (polygon.size() >= 3 && inside(polygon, p)) {
    return 0.0;
  }
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < polygon.size(); ++i) {
    best = std::min(best, distance_to_segment(polygon[i], polygon[(i + 1) % polygon.size()], p));
  }
  return best;
}

std::vector<Point2> facing_boundary(const Polygon & footprint,
                                    const std::vector<Point2> & viewpoints, double step_m)
{
  std::vector<Point2> samples;
  if (footprint.size() < 3 || step_m <= 0.0) {
    return samples;
  }
  const double min_sine = std::sin(kMinViewAngle_deg * kPi / 180.0);
  for (std::size_t i = 0; i < footprint.size(); ++i) {
    const Point2 & a = footprint[i];
    const Point2 & b = footprint[(i + 1) % footprint.size()];
    const Point2 edge = b - a;
    const double length = edge.norm();
    if (length <= 0.0) {
      continue;
    }
    // Counter-clockwise corners: the outward normal is the edge turned clockwise.
    const Point2 normal(edge.y() / length, -edge.x() / length);
    const Point2 middle = 0.5 * (a + b);
    const bool faces = std::any_of(viewpoints.begin(), viewpoints.end(), [&](const Point2 & eye) {
      const Point2 towards = eye - middle;
      const double distance = towards.norm();
      return distance > 0.0 && normal.dot(towards) / distance >= min_sine;
    });
    if (!faces) {
      continue;
    }
    // Counted rather than summed, so rounding cannot add or drop a sample at the edge's end.
    const int count = static_cast<int>(std::ceil(length / step_m));
    for (int k = 0; k < count; ++k) {
      samples.push_back(a + edge * (k * step_m / length));
    }
  }
  return samples;
}

std::vector<bool> covered_samples(const std::vector<Point2> & samples,
                                  const std::vector<Point2> & outline, double tolerance_m)
{
  std::vector<bool> covered(samples.size(), false);
  const double tolerance_sq = tolerance_m * tolerance_m;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    covered[i] = std::any_of(outline.begin(), outline.end(), [&](const Point2 & q) {
      return (q - samples[i]).squaredNorm() <= tolerance_sq;
    });
  }
  return covered;
}

double quantile(std::vector<double> values, double q)
{
  if (values.empty()) {
    return 0.0;
  }
  std::sort(values.begin(), values.end());
  const double position = std::clamp(q, 0.0, 1.0) * static_cast<double>(values.size() - 1);
  const std::size_t below = static_cast<std::size_t>(std::floor(position));
  const std::size_t above = std::min(below + 1, values.size() - 1);
  const double weight = position - static_cast<double>(below);
  return values[below] * (1.0 - weight) + values[above] * weight;
}

std::vector<std::vector<int>> group_points(const std::vector<Point2> & points, double gap_m)
{
  std::vector<int> group_of(points.size(), -1);
  std::vector<std::vector<int>> groups;
  const double gap_sq = gap_m * gap_m;
  for (std::size_t seed = 0; seed < points.size(); ++seed) {
    if (group_of[seed] >= 0) {
      continue;
    }
    const int id = static_cast<int>(groups.size());
    groups.emplace_back();
    std::vector<std::size_t> open{seed};
    group_of[seed] = id;
    while (!open.empty()) {
      const std::size_t current = open.back();
      open.pop_back();
      groups.back().push_back(static_cast<int>(current));
      for (std::size_t other = 0; other < points.size(); ++other) {
        if (group_of[other] < 0 && (points[other] - points[current]).squaredNorm() <= gap_sq) {
          group_of[other] = id;
          open.push_back(other);
        }
      }
    }
    std::sort(groups.back().begin(), groups.back().end());
  }
  return groups;
}

bool sees_whole(const veltrax_scene::Scene & scene, const CameraView & view, int frame, int camera,
                std::size_t object)
{
  const std::optional<cv::Rect2d> box = veltrax_scene::projected_box(scene, frame, camera, object);
  if (!box) {
    return false;
  }
  const double width = view.model.width;
  const double height = view.model.height;
  // Pixel centres lie at whole numbers, so the image spans -0.5 .. width - 0.5.
  if (box->x < -0.5 || box->x + box->width > width - 0.5) {
    return false;
  }
  if (box->y > height - 0.5 - kMinVisibleRows_px || box->y + box->height < kMinVisibleRows_px) {
    return false;
  }
  const std::vector<veltrax_scene::ObjectTruth> truth = veltrax_scene::ground_truth(scene, frame);
  const Eigen::Isometry3d base_to_camera = view.model.camera_to_base().inverse();
  for (const Point2 & corner : truth.at(object).footprint) {
    const double depth = (base_to_camera * Eigen::Vector3d(corner.x(), corner.y(), 0.0)).z();
    if (depth < view.z_min_m || depth > view.z_max_m) {
      return false;
    }
  }
  return true;
}

bool is_outlined_class(int class_id)
{
  const veltrax_cv_model::ClassInfo * info = veltrax_cv_model::class_info(class_id);
  return info != nullptr && info->outlined;
}

bool is_trash_class(int class_id)
{
  const veltrax_cv_model::ClassInfo * info = veltrax_cv_model::class_info(class_id);
  return info != nullptr && info->litter;
}

FrameScore score_frame(const veltrax_scene::Scene & scene, const std::array<CameraView, 2> & views,
                       int frame, const std::vector<Point2> & outline)
{
  FrameScore score;
  score.frame = frame;
  score.truth = veltrax_scene::ground_truth(scene, frame);
  for (std::size_t i = 0; i < score.truth.size(); ++i) {
    if (!is_outlined_class(score.truth[i].class_id)) {
      continue;
    }
    ObjectScore object;
    object.object = i;
    std::vector<Point2> eyes;
    for (int camera = 0; camera < 2; ++camera) {
      if (sees_whole(scene, views[static_cast<std::size_t>(camera)], frame, camera, i)) {
        object.cameras.push_back(camera);
        const Eigen::Vector3d eye =
            views[static_cast<std::size_t>(camera)].model.camera_to_base().translation();
        eyes.emplace_back(eye.x(), eye.y());
      }
    }
    if (object.cameras.empty()) {
      continue;
    }
    object.samples = facing_boundary(score.truth[i].footprint, eyes, kBoundaryStep_m);
    object.covered = covered_samples(object.samples, outline, kCoverTolerance_m);
    const auto hits = std::count(object.covered.begin(), object.covered.end(), true);
    object.share = object.samples.empty()
                       ? 0.0
                       : static_cast<double>(hits) / static_cast<double>(object.samples.size());
    object.found = std::any_of(outline.begin(), outline.end(), [&](const Point2 & p) {
      return distance_to_polygon(score.truth[i].footprint, p) <= kCoverTolerance_m;
    });
    score.objects.push_back(std::move(object));
  }
  score.point_error_m.reserve(outline.size());
  for (const Point2 & p : outline) {
    double nearest = std::numeric_limits<double>::infinity();
    for (const veltrax_scene::ObjectTruth & truth : score.truth) {
      nearest = std::min(nearest, distance_to_polygon(truth.footprint, p));
    }
    score.point_error_m.push_back(nearest);
    if (nearest > kFarTolerance_m) {
      ++score.far_points;
    }
  }
  return score;
}

ReportMatch match_report(const std::vector<veltrax_scene::ObjectTruth> & truth, int class_id,
                         const Point2 & position)
{
  ReportMatch match;
  match.error_m = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < truth.size(); ++i) {
    if (class_id >= 0 && truth[i].class_id != class_id) {
      continue;
    }
    const double error = distance_to_polygon(truth[i].footprint, position);
    if (error < match.error_m) {
      match.object = static_cast<int>(i);
      match.error_m = error;
    }
  }
  return match;
}

}  // namespace veltrax_demo
