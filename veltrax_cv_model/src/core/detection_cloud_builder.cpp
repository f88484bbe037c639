#include "veltrax_cv_model/detection_cloud_builder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "veltrax_cv_model/class_table.hpp"
#include "veltrax_cv_model/depth_filters.hpp"
#include "veltrax_cv_model/detection_cloud.hpp"
#include "veltrax_cv_model/planar_proximity.hpp"

namespace veltrax_cv_model
{
namespace
{

void fold_into(const BackProjectionResult & result, CloudBuildReport & report)
{
  if (result.status != BackProjectionStatus::kOk) {
    if (report.refused.status == BackProjectionStatus::kOk) {
      report.refused = result;
    }
    return;
  }
  if (result.voxel_grid_skipped) {
    report.voxel_grid_skipped = true;
    report.largest_unthinned_points =
        std::max(report.largest_unthinned_points, result.working_points);
  }
}

// Separation, in deviations of the wider layer, from which two height layers of a flat box are a
// flat object on the floor rather than one noisy floor: Otsu's split of a single Gaussian layer
// leaves halves about 2.7 of their deviations apart, a sheet on the floor stands well beyond.
constexpr double kLayerSeparation = 4.0;
// Smallest step between the layers, metres: less is the floor's own relief (carpet pile, tile
// joints) and the millimetre rounding of the readings, not an object.
constexpr double kMinLayerStepM = 0.005;
// Height bins of the layer split, metres: a tenth of the smallest step between layers, finer
// than the readings' millimetre rounding; at most kMaxLayerBins of them over a box's heights.
constexpr double kLayerBinM = 0.0005;
constexpr double kMaxLayerBins = 65536.0;

// Count, sum and sum of squares of a set of heights: the mean and spread of a layer, and of the
// layers either side of a split by difference.
struct Moments
{
  double count{0.0}, sum{0.0}, squares{0.0};

  void add(double h)
  {
    count += 1.0;
    sum += h;
    squares += h * h;
  }
  void add(const Moments & m)
  {
    count += m.count;
    sum += m.sum;
    squares += m.squares;
  }
  Moments minus(const Moments & m) const
  {
    return {count - m.count, sum - m.sum, squares - m.squares};
  }
  double mean() const { return sum / count; }
  double scatter() const { return squares - sum * sum / count; }  // summed squared deviation
  double spread() const { return std::sqrt(std::max(0.0, scatter() / count)); }
};

// Smallest step from a layer of this spread to one that stands apart from it.
double layer_step(double spread) { return std::max(kLayerSeparation * spread, kMinLayerStepM); }

// The fused pass's working memory, kept by each thread from frame to frame: a transform worker
// reuses its buffers (a few MB at 640 x 480) every cycle instead of allocating them anew, and
// builders on several threads never share one.
RegionScratch & thread_scratch()
{
  thread_local RegionScratch scratch;
  return scratch;
}

// A frame's depth readings as the clouds use them, kept by each thread as the scratch is: smoothed
// when noisy, and with the flying pixels of standing objects' boxes cleared.
struct FrameReadings
{
  std::vector<std::uint16_t> smoothed;
  std::vector<std::uint16_t> standing;
};

FrameReadings & thread_readings()
{
  thread_local FrameReadings readings;
  return readings;
}

// Pixels of the scene the floor model reads: every stride-th of every stride-th row, as far
// apart as keeps neighbouring pixels less than a floor-model voxel apart at the farthest depth
// the crop keeps, so every voxel the whole frame reaches is still reached (three times as sparse
// at 640 x 480 with a 3 m crop).
int floor_model_pixel_stride(const CameraView & view)
{
  const float focal = std::min(view.intrinsics.fx, view.intrinsics.fy);
  const float farthest = std::min(view.z_max_m, kFarDepthLimitM);
  const float stride = farthest > 0.0f ? std::floor(kFloorModelLeafM * focal / farthest) : 1.0f;
  return stride >= 1.0f && stride <= 64.0f ? static_cast<int>(stride) : 1;
}

}  // namespace

double height_above_floor(const pcl::PointXYZ & p, const GroundRemoval<pcl::PointXYZ> & floor_model)
{
  return p.z - floor_model.floor_plane().at(p.x, p.y);
}

double contact_base_height(const std::vector<double> & floor_beyond)
{
  if (floor_beyond.size() < kMinDetectionCloudPoints) {
    return -std::numeric_limits<double>::infinity();
  }
  Moments floor;
  for (const double h : floor_beyond) {
    floor.add(h);
  }
  return floor.mean() + layer_step(floor.spread());
}

namespace
{

// The upper of the two height layers Otsu's threshold splits `points` into, when they lie at
// least kLayerSeparation deviations of the wider one and kMinLayerStepM apart; none otherwise.
std::optional<pcl::PointCloud<pcl::PointXYZ>> raised_layer(
    const pcl::PointCloud<pcl::PointXYZ> & points, const GroundRemoval<pcl::PointXYZ> & floor_model)
{
  const std::size_t n = points.size();
  if (n < 2 * kMinDetectionCloudPoints) {
    return std::nullopt;
  }
  std::vector<double> heights;
  heights.reserve(n);
  for (const pcl::PointXYZ & p : points) {
    heights.push_back(height_above_floor(p, floor_model));
  }
  const auto [lowest, highest] = std::minmax_element(heights.begin(), heights.end());
  const double bottom = *lowest;
  const double width = std::max(kLayerBinM, (*highest - bottom) / (kMaxLayerBins - 1));
  const auto bin_of = [&](double h) { return static_cast<std::size_t>((h - bottom) / width); };
  const std::size_t bins = bin_of(*highest) + 1;
  std::vector<Moments> histogram(bins);
  for (const double h : heights) {
    histogram[bin_of(h)].add(h);
  }
  Moments total;
  for (const Moments & m : histogram) {
    total.add(m);
  }
  // Otsu on the histogram: the bin boundary with the smallest summed within-layer variance.
  double best_within = std::numeric_limits<double>::infinity();
  std::size_t split = 0;
  Moments below;
  Moments best_below;
  const double min_count = static_cast<double>(kMinDetectionCloudPoints);
  for (std::size_t b = 1; b < bins; ++b) {
    below.add(histogram[b - 1]);
    if (histogram[b - 1].count == 0.0 || below.count < min_count ||
        total.count - below.count < min_count) {
      continue;  // an empty bin moves no height across; each layer needs a cloud's points
    }
    const double summed = below.scatter() + total.minus(below).scatter();
    if (summed < best_within) {
      best_within = summed;
      split = b;
      best_below = below;
    }
  }
  if (split == 0) {
    return std::nullopt;
  }
  // Each layer on its own must be tight: a few stray readings above a floor make an upper
  // "layer" as wide as the step.
  const Moments upper = total.minus(best_below);
  if (upper.mean() - best_below.mean() <
      layer_step(std::max(best_below.spread(), upper.spread()))) {
    return std::nullopt;
  }
  pcl::PointCloud<pcl::PointXYZ> raised;
  raised.header = points.header;
  for (std::size_t i = 0; i < n; ++i) {
    if (bin_of(heights[i]) >= split) {
      raised.push_back(points[i]);
    }
  }
  return raised;
}

}  // namespace

pcl::PointCloud<pcl::PointXYZ> flat_box_points(pcl::PointCloud<pcl::PointXYZ> in_base,
                                               const GroundRemoval<pcl::PointXYZ> & floor_model)
{
  std::optional<pcl::PointCloud<pcl::PointXYZ>> raised = raised_layer(in_base, floor_model);
  return raised ? std::move(*raised) : std::move(in_base);
}

DetectionCloudBuilder::DetectionCloudBuilder(const DetectionCloudSettings & settings)
    : settings_(settings)
{
}

DepthImageView DetectionCloudBuilder::noise_smoothed(const DepthImageView & depth, int row_length,
                                                     const CameraIntrinsics & intrinsics,
                                                     std::vector<std::uint16_t> & storage,
                                                     CloudBuildReport & report) const
{
  const PixelRect frame{0, depth.width, 0, depth.height};
  if (check_depth_region(depth, row_length, frame, intrinsics, settings_.leaf_size_m) !=
      BackProjectionStatus::kOk) {
    return depth;
  }
  report.depth_noise_rel = estimate_relative_depth_noise(depth, row_length);
  report.depth_smoothed = report.depth_noise_rel > kSmoothedNoiseRel;
  if (!report.depth_smoothed) {
    return depth;
  }
  smooth_depth_noise(depth, row_length, report.depth_noise_rel, storage);
  return depth_view_of(storage, depth);
}

void DetectionCloudBuilder::region_cloud(const DepthImageView & depth, int row_length,
                                         const PixelRect & region,
                                         const CameraIntrinsics & intrinsics,
                                         pcl::PointCloud<pcl::PointXYZ> & cloud,
                                         CloudBuildReport & report) const
{
  fold_into(back_project_depth(depth, row_length, region, intrinsics, settings_.leaf_size_m, cloud),
            report);
}

void DetectionCloudBuilder::filter_detection_cloud(
    const DepthImageView & depth, int row_length, const DetectedObject & box,
    const CameraView & view, const GroundRemoval<pcl::PointXYZ> * floor_model, BoxFloor floor,
    pcl::PointCloud<pcl::PointXYZ> & cloud, CloudBuildReport & report) const
{
  RegionScratch & scratch = thread_scratch();
  if (box.left == 0 && box.top == 0 && box.right == 0 && box.bottom == 0) {
    return;
  }
  const PixelRect region{box.left, box.right, box.top, box.bottom};
  if (floor_model == nullptr) {
    fold_into(
        rgb_depth_to_cloud(depth, row_length, region, view, settings_.leaf_size_m, scratch, cloud),
        report);
    return;
  }
  // A box without its flying pixels: what lies behind the object must not join it, and the
  // floor a grazing view shows is a steady surface the pass keeps. Only the box's rows are
  // copied: the pass reads no others.
  DepthImageView box_depth = depth;
  if (check_depth_region(depth, row_length, region, view.intrinsics, settings_.leaf_size_m) ==
      BackProjectionStatus::kOk) {
    std::vector<std::uint16_t> & standing = thread_readings().standing;
    copy_depth(depth, row_length, standing, region.top, region.bottom);
    clear_flying_pixels(depth, row_length, region, view.intrinsics, standing);
    box_depth = depth_view_of(standing, depth);
  }
  pcl::PointCloud<pcl::PointXYZ> in_base;
  fold_into(rgb_depth_to_cloud(box_depth, row_length, region, view, settings_.leaf_size_m, scratch,
                               in_base),
            report);
  split_box_floor(std::move(in_base), *floor_model, floor, cloud);
}

bool DetectionCloudBuilder::fit_floor_model(const DepthImageView & depth, int row_length,
                                            const CameraView & view,
                                            GroundRemoval<pcl::PointXYZ> & model,
                                            CloudBuildReport & report) const
{
  const PixelRect frame{0, depth.width, 0, depth.height};
  pcl::PointCloud<pcl::PointXYZ> scene;
  // Refused as the boxes would be: the coarser grid must not hide a bad leaf.
  BackProjectionResult result;
  result.status =
      check_depth_region(depth, row_length, frame, view.intrinsics, settings_.leaf_size_m);
  if (result.status == BackProjectionStatus::kOk) {
    result = rgb_depth_to_cloud(depth, row_length, frame, view,
                                std::max(settings_.leaf_size_m, kFloorModelLeafM), thread_scratch(),
                                scene, nullptr, floor_model_pixel_stride(view));
  }
  fold_into(result, report);
  if (result.status != BackProjectionStatus::kOk || result.working_points == 0) {
    return false;
  }
  model.set_input_cloud(scene);
  return true;
}

void split_box_floor(pcl::PointCloud<pcl::PointXYZ> in_base,
                     const GroundRemoval<pcl::PointXYZ> & floor_model, BoxFloor floor,
                     pcl::PointCloud<pcl::PointXYZ> & cloud)
{
  auto above_floor = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  auto on_floor = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  floor_model.groundRemove(in_base, above_floor, on_floor);
  // Fewer points above the floor than make a detection cloud are noise over something flat (a
  // spill, a sheet lower than the floor band, a dark object the sensor barely sees): the
  // detector found it, so its footprint is the floor its box covers.
  if (!keeps_detection_cloud(*above_floor)) {
    cloud = flat_box_points(std::move(in_base), floor_model);
    return;
  }
  cloud = std::move(*above_floor);
  // A raised layer in the floor band that outnumbers what stands above the band is the box's
  // object lying flat (a sheet, a low box whose top the sensor's steps spread across the band's
  // edge); what stands is then its upper readings or a neighbour's edge. Outnumbered, the layer
  // is the floor an object stands on (a rug) or something flat beside it.
  if (on_floor->size() > cloud.size()) {
    if (std::optional<pcl::PointCloud<pcl::PointXYZ>> layer = raised_layer(*on_floor, floor_model);
        layer && layer->size() > cloud.size()) {
      cloud.points.insert(cloud.points.end(), layer->points.begin(), layer->points.end());
      cloud.width = static_cast<std::uint32_t>(cloud.points.size());
      cloud.height = 1;
      return;
    }
  }
  if (floor == BoxFloor::kRemove) {
    return;
  }
  const PlanarProximity footprint(cloud.points.data(), cloud.size(), kFloorContactRadiusM);
  std::vector<const pcl::PointXYZ *> contact;
  std::vector<double> beyond;
  for (const pcl::PointXYZ & p : on_floor->points) {
    if (footprint.any_within(p.x, p.y)) {
      contact.push_back(&p);
    } else {
      beyond.push_back(height_above_floor(p, floor_model));
    }
  }
  const double base_height = contact_base_height(beyond);
  cloud.points.reserve(cloud.size() + contact.size());
  for (const pcl::PointXYZ * p : contact) {
    if (height_above_floor(*p, floor_model) > base_height) {
      cloud.points.push_back(*p);
    }
  }
  cloud.width = static_cast<std::uint32_t>(cloud.points.size());
  cloud.height = 1;
}

CloudBuildReport DetectionCloudBuilder::build(const DepthImageView & depth, int row_length,
                                              const std::vector<DetectedObject> & detections,
                                              const CameraView & view,
                                              std::vector<pcl::PointCloud<pcl::PointXYZ>> & clouds,
                                              const RegionObserver & observe) const
{
  CloudBuildReport report;
  clouds.clear();
  const PixelRect frame{0, depth.width, 0, depth.height};
  if (observe) {
    observe(frame);
  }
  // A frame refused, or without any pixel with a depth reading: its boxes would read the same
  // malformed buffer or find nothing, and without a scene there is no floor model to clear their
  // floor points.
  FrameReadings & readings = thread_readings();
  const DepthImageView used =
      noise_smoothed(depth, row_length, view.intrinsics, readings.smoothed, report);
  GroundRemoval<pcl::PointXYZ> floor_model(settings_.ground);
  if (!fit_floor_model(used, row_length, view, floor_model, report)) {
    return report;
  }

  clouds.reserve(detections.size());
  for (const DetectedObject & detection : detections) {
    const ClassInfo * info = class_info(detection.class_id);
    if (info == nullptr || !info->outlined) {
      continue;
    }
    const PixelRect box{detection.left, detection.right, detection.top, detection.bottom};
    if (observe && !(box.left == 0 && box.right == 0 && box.top == 0 && box.bottom == 0)) {
      observe(box);
    }
    pcl::PointCloud<pcl::PointXYZ> cloud;
    // Small litter lies on the floor: the floor it covers is part of its footprint.
    filter_detection_cloud(used, row_length, detection, view, &floor_model,
                           info->keeps_floor ? BoxFloor::kAtContact : BoxFloor::kRemove, cloud,
                           report);
    if (keeps_detection_cloud(cloud)) {
      clouds.push_back(std::move(cloud));
    }
  }
  return report;
}

}  // namespace veltrax_cv_model
