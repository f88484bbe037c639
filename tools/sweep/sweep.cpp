#include "sweep/sweep.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "footprint/footprint_quality.hpp"
#include "footprint/polygon_metrics.hpp"
#include "footprint/truth_derivation.hpp"

namespace veltrax_sweep
{
namespace
{

using veltrax_footprint::Polygon;

// The sweep scores camera 1's crop range and settings.
constexpr int kCamera = 1;

Eigen::Matrix4f matrix_of(const Eigen::Isometry3d & transform)
{
  return transform.matrix().cast<float>();
}

veltrax_cv_model::CameraIntrinsics intrinsics_of(const veltrax_scene::CameraModel & camera)
{
  return {static_cast<float>(camera.fx), static_cast<float>(camera.fy),
          static_cast<float>(camera.cx), static_cast<float>(camera.cy)};
}

// Part index image -> sweep object index image (-1 for floor and sky).
cv::Mat object_index_of(const SweepScene & sweep, const cv::Mat & part_index)
{
  std::vector<int> owner(sweep.scene.objects.size(), -1);
  for (std::size_t o = 0; o < sweep.objects.size(); ++o) {
    for (std::size_t p : sweep.objects[o].parts) {
      owner[p] = static_cast<int>(o);
    }
  }
  cv::Mat index(part_index.size(), CV_32S, cv::Scalar(-1));
  for (int v = 0; v < part_index.rows; ++v) {
    for (int u = 0; u < part_index.cols; ++u) {
      const int part = part_index.at<std::int16_t>(v, u);
      if (part >= 0) {
        index.at<int>(v, u) = owner[static_cast<std::size_t>(part)];
      }
    }
  }
  return index;
}

double percentile(std::vector<double> values, double share)
{
  if (values.empty()) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(share * static_cast<double>(values.size())) - 1.0;
  return values[static_cast<std::size_t>(
      std::clamp(rank, 0.0, static_cast<double>(values.size()) - 1.0))];
}

}  // namespace

const char * condition_name(Condition condition)
{
  return condition == Condition::kExactMount ? "exact_mount" : "mount_error";
}

SceneImages render_scene(const SweepScene & sweep, const StructuredLightSensor & sensor)
{
  const veltrax_scene::View view = veltrax_scene::render_view(sweep.scene, 0, 0);
  SceneImages images;
  cv::cvtColor(view.color_rgb, images.color_bgr, cv::COLOR_RGB2BGR);
  images.exact_depth_mm = view.depth_mm;
  images.part_index = view.object_index;
  cv::Mat dark(view.depth_mm.size(), CV_8U, cv::Scalar(0));
  for (const SweepObject & object : sweep.objects) {
    for (std::size_t p : object.parts) {
      if (object.dark) {
        dark.setTo(255, view.object_index == static_cast<int>(p));
      }
    }
  }
  images.sensor_depth_mm =
      structured_light_depth(view.depth_mm, view.object_index, dark,
                             intrinsics_of(sweep.scene.cameras[0]), sensor, sweep.scene.seed);
  return images;
}

SweepFrame sweep_frame(const SweepScene & sweep, const SceneImages & images, Condition condition,
                       const veltrax_footprint::PipelineParams & params)
{
  const veltrax_scene::CameraModel & camera = sweep.scene.cameras[0];
  const Eigen::Matrix4f used =
      matrix_of(condition == Condition::kExactMount ? camera.camera_to_base()
                                                    : given_camera(sweep).camera_to_base());
  SweepFrame out;
  veltrax_footprint::FrameData & frame = out.frame;
  frame.name = "scene_" + std::to_string(sweep.index) + "_" + condition_name(condition);
  frame.color = images.color_bgr;
  frame.depth_mm = images.sensor_depth_mm;
  frame.intrinsics = intrinsics_of(camera);
  frame.description.camera_to_base = used;

  // True footprints: the exact points of each object's visible pixels in the crop range, as
  // the transform the pipeline is given places them.
  const veltrax_footprint::PixelCloud exact =
      veltrax_footprint::pixel_cloud(images.exact_depth_mm, frame.intrinsics, used);
  const cv::Mat index = object_index_of(sweep, images.part_index);
  const float crop_min = params.crop_min_m[0];
  const float crop_max = params.crop_max_m[0];
  std::vector<std::vector<cv::Point2f>> points(sweep.objects.size());
  std::vector<cv::Rect> boxes(sweep.objects.size());
  for (int v = 0; v < index.rows; ++v) {
    for (int u = 0; u < index.cols; ++u) {
      const int o = index.at<int>(v, u);
      const float z = exact.optical_z.at<float>(v, u);
      if (o < 0 || z < crop_min || z > crop_max || z <= 0.0f) {
        continue;
      }
      const cv::Vec3f & p = exact.base_xyz.at<cv::Vec3f>(v, u);
      points[static_cast<std::size_t>(o)].emplace_back(p[0], p[1]);
      boxes[static_cast<std::size_t>(o)] |= cv::Rect(u, v, 1, 1);
    }
  }
  std::seed_seq jitter_seed{sweep.scene.seed, static_cast<std::uint32_t>(condition), 0xb0u};
  std::mt19937 jitter_random(jitter_seed);
  const auto jitter = [&jitter_random](int size) {
    const double share = static_cast<double>(jitter_random()) / 4294967296.0 * 2.0 - 1.0;
    return static_cast<int>(std::lround(share * kBoxJitter * size));
  };
  for (std::size_t o = 0; o < sweep.objects.size(); ++o) {
    if (points[o].empty()) {
      continue;
    }
    const Polygon hull = veltrax_footprint::convex_hull(points[o]);
    out.all_truth.push_back(hull);
    if (static_cast<int>(points[o].size()) < kMinVisiblePixels) {
      continue;
    }
    // The box a detector draws around the pixels it sees, each edge off by up to kBoxJitter.
    const cv::Rect & b = boxes[o];
    const int x1 = std::clamp(b.x + jitter(b.width), 0, index.cols - 1);
    const int y1 = std::clamp(b.y + jitter(b.height), 0, index.rows - 1);
    const int x2 = std::clamp(b.x + b.width + jitter(b.width), x1 + 1, index.cols);
    const int y2 = std::clamp(b.y + b.height + jitter(b.height), y1 + 1, index.rows);
    const int class_id = sweep.objects[o].class_id;
    frame.description.boxes.push_back(
        {veltrax_scene::class_label(class_id), class_id, {x1, y1, x2, y2}});
    veltrax_footprint::TruthObject truth;
    truth.name = sweep.objects[o].name;
    truth.box_index = static_cast<int>(frame.description.boxes.size()) - 1;
    truth.hull = hull;
    truth.search_box = frame.description.boxes.back().box;
    frame.description.truth.push_back(truth);
    out.scored.push_back(o);
  }
  return out;
}

void run_scene(const SweepScene & sweep, const veltrax_footprint::PipelineParams & params,
               SweepResult & result, const std::optional<std::filesystem::path> & save_dir)
{
  const SceneImages images = render_scene(sweep, StructuredLightSensor{});
  for (const Condition condition : kConditions) {
    const SweepFrame scene = sweep_frame(sweep, images, condition, params);
    if (save_dir) {
      save_frame_dir(scene.frame, *save_dir / scene.frame.name);
    }
    const veltrax_footprint::QualityReport report =
        veltrax_footprint::evaluate_frame(scene.frame, {}, params, kCamera);
    for (std::size_t t = 0; t < report.objects.size(); ++t) {
      const veltrax_footprint::ObjectScore & score = report.objects[t];
      ObjectResult object;
      object.scene = sweep.index;
      object.name = score.name;
      object.kind = kind_name(sweep.objects[scene.scored[t]].kind);
      object.condition = condition_name(condition);
      object.footprints = score.footprints;
      object.iou = score.iou;
      object.outside_m = score.outside_all_max_m;
      object.centroid_error_m = score.centroid_error_m;
      result.missed += score.footprints == 0 ? 1 : 0;
      result.objects.push_back(std::move(object));
    }
    for (const veltrax_footprint::BoxOutput & box : report.boxes) {
      for (const std::vector<cv::Point2f> & outline : box.outline_points) {
        for (const cv::Point2f & p : outline) {
          double nearest = std::numeric_limits<double>::infinity();
          for (const Polygon & hull : scene.all_truth) {
            nearest = std::min(nearest, veltrax_footprint::largest_outside_distance({p}, hull));
          }
          ++result.outline_points;
          result.false_obstacle_points += nearest > kFalseObstacleM ? 1 : 0;
        }
      }
    }
  }
}

std::string sweep_table(const SweepResult & result)
{
  struct Rows
  {
    std::vector<double> iou, outside, centroid;
    int missed{0};
    int split{0};  // objects outlined by more than one footprint
  };
  std::map<std::pair<std::string, std::string>, Rows> groups;
  std::vector<std::string> kinds;
  for (const ObjectKind kind : kAllKinds) {
    kinds.emplace_back(kind_name(kind));
  }
  kinds.emplace_back("all");
  for (const ObjectResult & o : result.objects) {
    for (const std::string & kind : {o.kind, std::string("all")}) {
      Rows & rows = groups[{kind, o.condition}];
      rows.iou.push_back(o.iou);
      rows.outside.push_back(o.outside_m);
      if (o.centroid_error_m) {
        rows.centroid.push_back(*o.centroid_error_m);
      }
      rows.missed += o.footprints == 0 ? 1 : 0;
      rows.split += o.footprints > 1 ? 1 : 0;
    }
  }
  std::string text;
  char line[256];
  std::snprintf(line, sizeof(line), "%-9s %-12s %5s %6s %5s | %19s | %22s | %9s\n", "kind",
                "condition", "n", "missed", "split", "IoU p5 median worst",
                "outside cm med p95 max", "centre cm");
  text += line;
  for (const std::string & kind : kinds) {
    for (const Condition condition : kConditions) {
      const auto found = groups.find({kind, condition_name(condition)});
      if (found == groups.end()) {
        continue;
      }
      const Rows & rows = found->second;
      std::snprintf(line, sizeof(line),
                    "%-9s %-12s %5zu %6d %5d | %5.3f %6.3f %6.3f | %6.1f %6.1f %7.1f | %9.1f\n",
                    kind.c_str(), condition_name(condition), rows.iou.size(), rows.missed,
                    rows.split, percentile(rows.iou, 0.05), percentile(rows.iou, 0.5),
                    percentile(rows.iou, 0.0), 100.0 * percentile(rows.outside, 0.5),
                    100.0 * percentile(rows.outside, 0.95), 100.0 * percentile(rows.outside, 1.0),
                    100.0 * percentile(rows.centroid, 0.5));
      text += line;
    }
  }
  const double share = result.outline_points > 0
                           ? 100.0 * static_cast<double>(result.false_obstacle_points) /
                                 static_cast<double>(result.outline_points)
                           : 0.0;
  std::snprintf(line, sizeof(line),
                "missed %d; outline points %zu, false obstacles %zu (%.2f %%, farther than %.0f "
                "cm from every true footprint)\n",
                result.missed, result.outline_points, result.false_obstacle_points, share,
                100.0 * kFalseObstacleM);
  text += line;
  return text;
}

nlohmann::json sweep_json(const SweepResult & result)
{
  nlohmann::json objects = nlohmann::json::array();
  for (const ObjectResult & o : result.objects) {
    objects.push_back({{"scene", o.scene},
                       {"name", o.name},
                       {"kind", o.kind},
                       {"condition", o.condition},
                       {"footprints", o.footprints},
                       {"iou", o.iou},
                       {"outside_m", o.outside_m},
                       {"centroid_error_m", o.centroid_error_m ? nlohmann::json(*o.centroid_error_m)
                                                               : nlohmann::json(nullptr)}});
  }
  return {{"objects", objects},
          {"missed", result.missed},
          {"outline_points", result.outline_points},
          {"false_obstacle_points", result.false_obstacle_points}};
}

void save_frame_dir(const veltrax_footprint::FrameData & frame, const std::filesystem::path & dir)
{
  std::filesystem::create_directories(dir);
  const std::string stem = (dir / frame.name).string();
  if (!cv::imwrite(stem + "_color.png", frame.color) ||
      !cv::imwrite(stem + "_depth_mm.png", frame.depth_mm)) {
    throw std::runtime_error("cannot write the images of " + dir.string());
  }
  const veltrax_cv_model::CameraIntrinsics & k = frame.intrinsics;
  std::ofstream info(dir / "camera_info.yaml");
  info << "image_width: " << frame.depth_mm.cols << "\nimage_height: " << frame.depth_mm.rows
       << "\ncamera_matrix:\n  rows: 3\n  cols: 3\n  data: [" << k.fx << ", 0, " << k.cx << ", 0, "
       << k.fy << ", " << k.cy << ", 0, 0, 1]\n";
  std::ofstream description(dir / "frame.yaml");
  description << veltrax_footprint::emit_frame_yaml(
      frame.description,
      "Written by footprint_sweep: sensor-model depth, the transform the "
      "pipeline was given,\ndetector boxes and true footprints in its frame.");
  if (!info || !description) {
    throw std::runtime_error("cannot write the description of " + dir.string());
  }
}

}  // namespace veltrax_sweep
