// One camera's detection clouds, from its depth image and its detections to clouds in the robot
// frame: scene cloud, crop, transform, floor model and one cloud per outlined box. No ROS, no
// logging: what went wrong comes back in a report for the caller's log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>

#include "veltrax_cv_model/back_projection.hpp"
#include "veltrax_cv_model/fused_region_cloud.hpp"
#include "veltrax_cv_model/ground_removal.hpp"
#include "veltrax_cv_model/types.hpp"

namespace veltrax_cv_model
{

/// Settings of the builder, the same for both cameras.
struct DetectionCloudSettings
{
  float leaf_size_m{0.001f};  ///< voxel edge of every back-projected region, metres
  GroundRemovalParams ground;
};

/// Outcome of building one camera's clouds: the first refused region and whether any region's
/// voxel grid would have overflowed.
struct CloudBuildReport
{
  BackProjectionResult refused;  ///< status kOk when no region was refused
  bool voxel_grid_skipped{false};
  std::size_t largest_unthinned_points{0};  ///< working points of the largest unthinned region
  float depth_noise_rel{0.0f};  ///< estimated relative depth noise (estimate_relative_depth_noise)
  bool depth_smoothed{false};   ///< the noise exceeded kSmoothedNoiseRel and was smoothed
};

/// Horizontal reach, metres, of the floor a keeps-floor box keeps around its points above the
/// floor: the floor an object stands on lies under its lowest points, while the floor its box sees
/// behind it lies beyond its shadow, well over this far away.
inline constexpr float kFloorContactRadiusM = 0.05f;

/// What a box cloud given a floor model does with the box's floor points.
enum class BoxFloor {
  kRemove,     ///< drops them all: the object stands on them (obstacles, persons)
  kAtContact,  ///< keeps those at the object's contact: it lies on the floor (bottles, blood)
};

/// Finest voxel grid, metres, of the scene cloud the floor model is fitted on. The model needs a
/// few points per polar cell (5 degrees by 0.1 m), not every voxel of a fine leaf: on the demo
/// scene and the recorded frames this grid labels over 99.5 % of the scene and box points as the
/// scene at the leaf itself does, at a fraction of the cost (whole frames overflow a 1 mm grid and
/// would be fitted unthinned).
inline constexpr float kFloorModelLeafM = 0.02f;

/// The points of a box with nothing standing in it that lie on a flat object rather than on the
/// floor around it: the upper of the two height layers that Otsu's threshold splits the box into,
/// when those layers lie at least 4 deviations of the wider one and 5 mm apart; all points
/// otherwise (the detector found something there, and its footprint is the floor its box covers).
/// A sheet a centimetre high stays inside the floor band, yet near the camera its top stands
/// several sensor steps above the floor beside it. Heights are taken above the floor plane, not
/// the profile: the profile follows a large sheet, whose top is the lowest layer of the cells it
/// covers.
pcl::PointCloud<pcl::PointXYZ> flat_box_points(pcl::PointCloud<pcl::PointXYZ> in_base,
                                               const GroundRemoval<pcl::PointXYZ> & floor_model);

/// Height of `p` above the floor model's levelling plane, metres.
double height_above_floor(const pcl::PointXYZ & p,
                          const GroundRemoval<pcl::PointXYZ> & floor_model);

/// Height above the floor plane above which a floor-band point at an object's contact is the
/// object's own base rather than bare floor: flat_box_points' layer test against the mean height
/// and spread of `floor_beyond`, the heights of the box's floor points beyond the contact reach.
/// The floor band holds an object's lowest centimetres and the floor around it alike; only the
/// floor's own spread tells them apart. With fewer than kMinDetectionCloudPoints such heights
/// (the object fills its box), -infinity: the whole contact band is kept.
double contact_base_height(const std::vector<double> & floor_beyond);

/// Splits a box's cloud, cropped and in base_footprint, by `floor_model` into `cloud` (replaced).
/// A box that holds nothing standing (fewer than kMinDetectionCloudPoints above the floor: a flat
/// spot, a sheet lower than the floor band) keeps flat_box_points, whatever its class. Otherwise
/// BoxFloor::kRemove keeps only the points above the floor, and BoxFloor::kAtContact those and
/// the floor points within kFloorContactRadiusM of one of them horizontally (x, y) higher than
/// contact_base_height of the others: the object's lowest centimetres, not the bare floor around
/// its base nor the floor the box sees behind it.
void split_box_floor(pcl::PointCloud<pcl::PointXYZ> in_base,
                     const GroundRemoval<pcl::PointXYZ> & floor_model, BoxFloor floor,
                     pcl::PointCloud<pcl::PointXYZ> & cloud);

/// Called with every region before it is back-projected (the scene first, then each box).
using RegionObserver = std::function<void(const PixelRect & region)>;

/// Builds the detection clouds of one camera. Holds only its settings: `build` may be called
/// from several threads at once.
class DetectionCloudBuilder
{
public:
  explicit DetectionCloudBuilder(const DetectionCloudSettings & settings);

  /// Back-projects `region` of the depth image into `cloud` (camera optical frame, thinned at the
  /// builder's leaf) and folds the outcome into `report`. `row_length`: the colour image's
  /// column count, which the registered depth image must share.
  void region_cloud(const DepthImageView & depth, int row_length, const PixelRect & region,
                    const CameraIntrinsics & intrinsics, pcl::PointCloud<pcl::PointXYZ> & cloud,
                    CloudBuildReport & report) const;

  /// One box's cloud in base_footprint: the points of region_cloud of the box cropped to the
  /// view's range and transformed (made in one pass by rgb_depth_to_cloud), split by the floor
  /// model with split_box_floor when one is given; without one every point is kept and `floor`
  /// is unused. With a floor model, the box is built without its flying pixels
  /// (clear_flying_pixels): what lies behind the object must not join it (a bottle's smear to
  /// the floor 2 m behind would stand above the floor and draw its contact floor along), while
  /// the floor and litter seen at a grazing angle are steady surfaces the pass keeps. A box whose
  /// four edges are 0 gives nothing (`cloud` is left as it is).
  void filter_detection_cloud(const DepthImageView & depth, int row_length,
                              const DetectedObject & box, const CameraView & view,
                              const GroundRemoval<pcl::PointXYZ> * floor_model, BoxFloor floor,
                              pcl::PointCloud<pcl::PointXYZ> & cloud,
                              CloudBuildReport & report) const;

  /// Fits `model` on the whole frame's scene cloud, cropped and transformed, thinned at the
  /// builder's leaf or at kFloorModelLeafM, whichever is coarser, from pixels sparse enough for
  /// that grid, and folds that back-projection into `report`. Returns false, leaving `model` as
  /// it is, when the frame is refused or holds no depth reading.
  bool fit_floor_model(const DepthImageView & depth, int row_length, const CameraView & view,
                       GroundRemoval<pcl::PointXYZ> & model, CloudBuildReport & report) const;

  /// The depth image the clouds are built from: `depth` itself, or, when its estimated relative
  /// noise exceeds kSmoothedNoiseRel, the image smooth_depth_noise makes of it in `storage`
  /// (replaced; it must outlive the view). Sets the report's depth_noise_rel and depth_smoothed.
  /// An image check_depth_region refuses is returned as it is, for the refusal to be reported
  /// where it is used.
  DepthImageView noise_smoothed(const DepthImageView & depth, int row_length,
                                const CameraIntrinsics & intrinsics,
                                std::vector<std::uint16_t> & storage,
                                CloudBuildReport & report) const;

  /// Clears `clouds`, then: noise_smoothed; fit_floor_model; each detection of an outlined class
  /// (class table) becomes a box cloud without its floor points, or with those at its contact when
  /// its class keeps floor (BoxFloor::kAtContact), and is kept when large enough
  /// (keeps_detection_cloud). A refused frame or one without any depth reading gives no clouds.
  CloudBuildReport build(const DepthImageView & depth, int row_length,
                         const std::vector<DetectedObject> & detections, const CameraView & view,
                         std::vector<pcl::PointCloud<pcl::PointXYZ>> & clouds,
                         const RegionObserver & observe = {}) const;

  const DetectionCloudSettings & settings() const { return settings_; }

private:
  DetectionCloudSettings settings_;
};

}  // namespace veltrax_cv_model
