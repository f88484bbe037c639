#include "footprint/truth_derivation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <vector>

#include <Eigen/Dense>
#include <opencv2/imgproc.hpp>

#include "footprint/polygon_metrics.hpp"

namespace veltrax_footprint
{
namespace
{

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

cv::Rect clipped(const PixelBox & box, const cv::Size & size)
{
  return cv::Rect(box[0], box[1], box[2] - box[0], box[3] - box[1]) & cv::Rect(cv::Point(), size);
}

bool passes(const PixelCloud & cloud, int u, int v, const ObjectPixelRule & rule)
{
  const float z = cloud.optical_z.at<float>(v, u);
  const cv::Vec3f & p = cloud.base_xyz.at<cv::Vec3f>(v, u);
  return z > 0.0f && z >= rule.z_min_m && z <= rule.z_max_m && p[2] > rule.min_height_m;
}

// The point of `hull`'s edges nearest to `p`, which lies outside it.
cv::Point2f onto_hull(const cv::Point2f & p, const Polygon & hull)
{
  cv::Point2f nearest = p;
  double nearest_distance = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < hull.size(); ++i) {
    const cv::Point2f & a = hull[i];
    const cv::Point2f edge = hull[(i + 1) % hull.size()] - a;
    const float length2 = edge.dot(edge);
    const float t = length2 > 0.0f ? std::clamp((p - a).dot(edge) / length2, 0.0f, 1.0f) : 0.0f;
    const cv::Point2f q = a + t * edge;
    if (cv::norm(p - q) < nearest_distance) {
      nearest_distance = cv::norm(p - q);
      nearest = q;
    }
  }
  return nearest;
}

const cv::Scalar kTints[] = {{255, 80, 0},  {0, 200, 255}, {0, 0, 255},   {0, 255, 0},
                             {255, 0, 255}, {255, 255, 0}, {0, 128, 255}, {128, 0, 255}};

}  // namespace

PixelCloud pixel_cloud(const cv::Mat & depth_mm, const veltrax_cv_model::CameraIntrinsics & k,
                       const Eigen::Matrix4f & camera_to_base)
{
  PixelCloud cloud;
  cloud.base_xyz = cv::Mat(depth_mm.size(), CV_32FC3, cv::Scalar(kNaN, kNaN, kNaN));
  cloud.optical_z = cv::Mat(depth_mm.size(), CV_32F, cv::Scalar(0.0f));
  for (int v = 0; v < depth_mm.rows; ++v) {
    for (int u = 0; u < depth_mm.cols; ++u) {
      const float z = static_cast<float>(depth_mm.at<std::uint16_t>(v, u) / 1000.0);
      if (!(z > 0.0f && z < 5.0f)) {
        continue;
      }
      const Eigen::Vector4f optical((static_cast<float>(u) - k.cx) * z / k.fx,
                                    (static_cast<float>(v) - k.cy) * z / k.fy, z, 1.0f);
      const Eigen::Vector4f base = camera_to_base * optical;
      cloud.base_xyz.at<cv::Vec3f>(v, u) = cv::Vec3f(base.x(), base.y(), base.z());
      cloud.optical_z.at<float>(v, u) = z;
    }
  }
  return cloud;
}

float depth_edge_range_m(float depth_m) { return 0.005f + 0.0057f * depth_m * depth_m; }

cv::Mat object_mask(const PixelCloud & cloud, const PixelBox & region, const ObjectPixelRule & rule)
{
  const cv::Rect area = clipped(region, cloud.optical_z.size());
  const cv::Mat & depth = cloud.optical_z;
  // Interior pixels: every reading of the 3 x 3 neighbourhood lies within the edge range. The
  // sensor smears a depth step over a few pixels of intermediate depth; those edge pixels would
  // chain two people standing 15 cm apart into one surface.
  cv::Mat interior(depth.size(), CV_8U, cv::Scalar(0));
  for (int v = area.y; v < area.y + area.height; ++v) {
    for (int u = area.x; u < area.x + area.width; ++u) {
      if (!passes(cloud, u, v, rule)) {
        continue;
      }
      float low = depth.at<float>(v, u);
      float high = low;
      for (int dv = -1; dv <= 1; ++dv) {
        for (int du = -1; du <= 1; ++du) {
          const cv::Point q(u + du, v + dv);
          if (q.x >= 0 && q.y >= 0 && q.x < depth.cols && q.y < depth.rows &&
              depth.at<float>(q) > 0.0f) {
            low = std::min(low, depth.at<float>(q));
            high = std::max(high, depth.at<float>(q));
          }
        }
      }
      interior.at<std::uint8_t>(v, u) = high - low <= depth_edge_range_m(low) ? 1 : 0;
    }
  }
  // Largest 8-connected region of interior pixels.
  cv::Mat label(depth.size(), CV_32S, cv::Scalar(0));
  int next_label = 0;
  int best_label = 0;
  std::size_t best_size = 0;
  std::vector<cv::Point> stack;
  for (int v = area.y; v < area.y + area.height; ++v) {
    for (int u = area.x; u < area.x + area.width; ++u) {
      if (label.at<int>(v, u) != 0 || interior.at<std::uint8_t>(v, u) == 0) {
        continue;
      }
      label.at<int>(v, u) = ++next_label;
      std::size_t size = 0;
      stack.assign(1, cv::Point(u, v));
      while (!stack.empty()) {
        const cv::Point p = stack.back();
        stack.pop_back();
        ++size;
        for (int dv = -1; dv <= 1; ++dv) {
          for (int du = -1; du <= 1; ++du) {
            const cv::Point q(p.x + du, p.y + dv);
            if (area.contains(q) && label.at<int>(q) == 0 && interior.at<std::uint8_t>(q) != 0) {
              label.at<int>(q) = next_label;
              stack.push_back(q);
            }
          }
        }
      }
      if (size > best_size) {
        best_size = size;
        best_label = next_label;
      }
    }
  }
  cv::Mat mask(depth.size(), CV_8U, cv::Scalar(0));
  if (best_label == 0) {
    return mask;
  }
  // Parts that only steep surfaces join to the object (a bottle's handle behind its neck) are
  // regions of their own; a region that comes within kObjectJoinM of the object in space joins
  // it, until none does.
  std::vector<std::vector<cv::Point>> regions(static_cast<std::size_t>(next_label) + 1);
  for (int v = area.y; v < area.y + area.height; ++v) {
    for (int u = area.x; u < area.x + area.width; ++u) {
      regions[static_cast<std::size_t>(label.at<int>(v, u))].emplace_back(u, v);
    }
  }
  std::unordered_map<std::uint64_t, std::vector<cv::Vec3f>> object_cells;
  auto cell_key = [](const cv::Vec3f & p, int dx, int dy, int dz) {
    auto index = [](float c, int d) {
      return static_cast<std::uint64_t>(static_cast<std::int64_t>(std::floor(c / kObjectJoinM)) +
                                        d + (1 << 20)) &
             0x1FFFFF;
    };
    return index(p[0], dx) << 42 | index(p[1], dy) << 21 | index(p[2], dz);
  };
  std::vector<bool> joined(regions.size(), false);
  auto join = [&](std::size_t part) {
    joined[part] = true;
    for (const cv::Point & pixel : regions[part]) {
      const cv::Vec3f & p = cloud.base_xyz.at<cv::Vec3f>(pixel);
      object_cells[cell_key(p, 0, 0, 0)].push_back(p);
      mask.at<std::uint8_t>(pixel) = 255;
    }
  };
  auto near_object = [&](std::size_t part) {
    for (const cv::Point & pixel : regions[part]) {
      const cv::Vec3f & p = cloud.base_xyz.at<cv::Vec3f>(pixel);
      for (int dx = -1; dx <= 1; ++dx) {
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dz = -1; dz <= 1; ++dz) {
            const auto cell = object_cells.find(cell_key(p, dx, dy, dz));
            if (cell == object_cells.end()) {
              continue;
            }
            for (const cv::Vec3f & q : cell->second) {
              if (cv::norm(p - q) < kObjectJoinM) {
                return true;
              }
            }
          }
        }
      }
    }
    return false;
  };
  join(static_cast<std::size_t>(best_label));
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t part = 1; part < regions.size(); ++part) {
      if (!joined[part] && near_object(part)) {
        join(part);
        changed = true;
      }
    }
  }
  // Edge pixels next to the region join it when their reading continues its surface.
  cv::Mat grown = mask.clone();
  for (int v = area.y; v < area.y + area.height; ++v) {
    for (int u = area.x; u < area.x + area.width; ++u) {
      if (mask.at<std::uint8_t>(v, u) != 0 || interior.at<std::uint8_t>(v, u) != 0 ||
          !passes(cloud, u, v, rule)) {
        continue;
      }
      const float d = depth.at<float>(v, u);
      for (int dv = -1; dv <= 1; ++dv) {
        for (int du = -1; du <= 1; ++du) {
          const cv::Point q(u + du, v + dv);
          if (area.contains(q) && mask.at<std::uint8_t>(q) != 0 &&
              std::abs(depth.at<float>(q) - d) <=
                  depth_edge_range_m(std::min(d, depth.at<float>(q)))) {
            grown.at<std::uint8_t>(v, u) = 255;
          }
        }
      }
    }
  }
  return grown;
}

Polygon mask_footprint(const PixelCloud & cloud, const cv::Mat & mask)
{
  std::vector<cv::Point2f> points;
  for (int v = 0; v < mask.rows; ++v) {
    for (int u = 0; u < mask.cols; ++u) {
      if (mask.at<std::uint8_t>(v, u) != 0) {
        const cv::Vec3f & p = cloud.base_xyz.at<cv::Vec3f>(v, u);
        points.emplace_back(p[0], p[1]);
      }
    }
  }
  return convex_hull(points);
}

Polygon truth_in_view(const FrameData & frame, const TruthObject & object,
                      const Eigen::Matrix4f & view_to_base, const ObjectPixelRule & rule)
{
  constexpr double kOnHullM = 0.001;
  const Eigen::Matrix4f & recorded_to_base = frame.description.camera_to_base;
  const Eigen::Matrix4f recorded_to_view = view_to_base * recorded_to_base.inverse();
  auto carried = [&](const cv::Point2f & xy, float z) {
    const Eigen::Vector4f q = recorded_to_view * Eigen::Vector4f(xy.x, xy.y, z, 1.0f);
    return cv::Point2f(q.x(), q.y());
  };
  // The object's pixels add what a tilt moves beyond the hull, such as a tall object's leaning
  // top. A pixel within the tolerance counts as on the hull and is carried from there, so that
  // the recorded transform gives the hull back unchanged.
  const Polygon & hull = object.hull;
  std::vector<cv::Point2f> points;
  std::vector<float> corner_low(hull.size(), std::numeric_limits<float>::infinity());
  std::vector<float> corner_high(hull.size(), -std::numeric_limits<float>::infinity());
  const PixelCloud recorded = pixel_cloud(frame.depth_mm, frame.intrinsics, recorded_to_base);
  const cv::Rect area = clipped(object.search_box, recorded.optical_z.size());
  for (int v = area.y; v < area.y + area.height; ++v) {
    for (int u = area.x; u < area.x + area.width; ++u) {
      if (!passes(recorded, u, v, rule)) {
        continue;
      }
      const cv::Vec3f & p = recorded.base_xyz.at<cv::Vec3f>(v, u);
      const cv::Point2f xy(p[0], p[1]);
      const double outside = largest_outside_distance({xy}, hull);
      if (outside > kOnHullM) {
        continue;
      }
      points.push_back(carried(outside > 0.0 ? onto_hull(xy, hull) : xy, p[2]));
      for (std::size_t c = 0; c < hull.size(); ++c) {
        if (cv::norm(xy - hull[c]) <= kOnHullM) {
          corner_low[c] = std::min(corner_low[c], p[2]);
          corner_high[c] = std::max(corner_high[c], p[2]);
        }
      }
    }
  }
  // A corner stands where the object's pixels at it stand (a derived hull's corners are such
  // pixels; carried from the floor, a person's shoulder would lean as far as their feet). A
  // corner without pixels, drawn by other means, stands on the floor. The carried point moves
  // linearly with height, so the lowest and highest pixels cover those between.
  for (std::size_t c = 0; c < hull.size(); ++c) {
    if (corner_low[c] > corner_high[c]) {
      points.push_back(carried(hull[c], 0.0f));
    } else {
      points.push_back(carried(hull[c], corner_low[c]));
      points.push_back(carried(hull[c], corner_high[c]));
    }
  }
  return convex_hull(points);
}

FloorFit refit_floor(const PixelCloud & cloud, float band_m)
{
  Eigen::Vector3d plane(0.0, 0.0, 0.0);  // z = a x + b y + c
  FloorFit fit;
  for (int pass = 0; pass < 2; ++pass) {
    Eigen::Matrix3d normal = Eigen::Matrix3d::Zero();
    Eigen::Vector3d rhs = Eigen::Vector3d::Zero();
    std::vector<Eigen::Vector3d> used;
    for (auto it = cloud.base_xyz.begin<cv::Vec3f>(); it != cloud.base_xyz.end<cv::Vec3f>(); ++it) {
      const cv::Vec3f & p = *it;
      if (std::isnan(p[2]) ||
          std::abs(p[2] - (plane[0] * p[0] + plane[1] * p[1] + plane[2])) >= band_m) {
        continue;
      }
      const Eigen::Vector3d row(p[0], p[1], 1.0);
      normal += row * row.transpose();
      rhs += row * p[2];
      used.emplace_back(p[0], p[1], p[2]);
    }
    if (used.size() < 3) {
      return fit;
    }
    plane = normal.ldlt().solve(rhs);
    double squares = 0.0;
    fit.max_height_m = 0.0;
    for (const Eigen::Vector3d & p : used) {
      const double height = plane[0] * p.x() + plane[1] * p.y() + plane[2];
      squares += (p.z() - height) * (p.z() - height);
      fit.max_height_m = std::max(fit.max_height_m, std::abs(height));
    }
    fit.points = used.size();
    fit.rms_m = std::sqrt(squares / static_cast<double>(used.size()));
  }
  fit.tilt_deg = std::atan(std::hypot(plane[0], plane[1])) * 180.0 / M_PI;
  return fit;
}

cv::Mat truth_picture(const FrameData & frame, const std::vector<cv::Mat> & masks)
{
  const std::vector<TruthObject> & truth = frame.description.truth;
  // An object scored through two boxes (its own and one around several) is drawn once.
  auto drawn_before = [&](std::size_t i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (truth[j].search_box == truth[i].search_box) {
        return true;
      }
    }
    return false;
  };
  cv::Mat image = frame.color.clone();
  for (const LabelledBox & box : frame.description.boxes) {
    const PixelBox & b = box.box;
    cv::rectangle(image, cv::Point(b[0], b[1]), cv::Point(b[2] - 1, b[3] - 1),
                  cv::Scalar(160, 160, 160), 1);
  }
  for (std::size_t i = 0; i < masks.size() && i < truth.size(); ++i) {
    if (drawn_before(i)) {
      continue;
    }
    const cv::Scalar & tint = kTints[i % std::size(kTints)];
    cv::Mat tinted(image.size(), image.type(), tint);
    cv::Mat blended;
    cv::addWeighted(image, 0.45, tinted, 0.55, 0.0, blended);
    blended.copyTo(image, masks[i]);
    const PixelBox & b = truth[i].search_box;
    cv::rectangle(image, cv::Point(b[0], b[1]), cv::Point(b[2] - 1, b[3] - 1), tint, 1);
    cv::putText(image, truth[i].name, cv::Point(b[0] + 2, b[1] + 12), cv::FONT_HERSHEY_SIMPLEX, 0.4,
                tint, 1, cv::LINE_AA);
  }
  // Top-down panel as tall as the image: x forward up, y left to the left, 0.5 m grid.
  cv::Point2f low(std::numeric_limits<float>::max(), std::numeric_limits<float>::max());
  cv::Point2f high(-low.x, -low.y);
  for (const TruthObject & object : truth) {
    for (const cv::Point2f & c : object.hull) {
      low = cv::Point2f(std::min(low.x, c.x), std::min(low.y, c.y));
      high = cv::Point2f(std::max(high.x, c.x), std::max(high.y, c.y));
    }
  }
  cv::Mat panel(image.rows, image.rows, CV_8UC3, cv::Scalar(255, 255, 255));
  if (low.x <= high.x) {
    const float span = std::max({high.x - low.x, high.y - low.y, 0.5f}) * 1.2f;
    const float scale = static_cast<float>(panel.rows) / span;
    const cv::Point2f centre = (low + high) * 0.5f;
    auto to_pixel = [&](const cv::Point2f & p) {
      return cv::Point(
          static_cast<int>(static_cast<float>(panel.cols) / 2.0f - (p.y - centre.y) * scale),
          static_cast<int>(static_cast<float>(panel.rows) / 2.0f - (p.x - centre.x) * scale));
    };
    // Half-metre grid lines, counted in half metres.
    for (int i = static_cast<int>(std::floor(low.x * 2.0f - 2.0f));
         static_cast<float>(i) < (high.x + 1.0f) * 2.0f; ++i) {
      const float g = static_cast<float>(i) / 2.0f;
      cv::line(panel, to_pixel({g, -50.0f}), to_pixel({g, 50.0f}), cv::Scalar(225, 225, 225));
    }
    for (int i = static_cast<int>(std::floor(low.y * 2.0f - 2.0f));
         static_cast<float>(i) < (high.y + 1.0f) * 2.0f; ++i) {
      const float g = static_cast<float>(i) / 2.0f;
      cv::line(panel, to_pixel({-50.0f, g}), to_pixel({50.0f, g}), cv::Scalar(225, 225, 225));
    }
    for (std::size_t i = 0; i < truth.size(); ++i) {
      if (drawn_before(i)) {
        continue;
      }
      std::vector<cv::Point> corners;
      for (const cv::Point2f & c : truth[i].hull) {
        corners.push_back(to_pixel(c));
      }
      if (!corners.empty()) {
        cv::polylines(panel, corners, true, kTints[i % std::size(kTints)], 2, cv::LINE_AA);
      }
    }
    cv::putText(panel, "top-down, x forward up, 0.5 m grid", cv::Point(6, panel.rows - 8),
                cv::FONT_HERSHEY_SIMPLEX, 0.4, cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
  }
  cv::Mat picture;
  cv::hconcat(image, panel, picture);
  return picture;
}

}  // namespace veltrax_footprint
