// Ground segmentation of robot-frame clouds: a polar-grid ground model built once per frame from
// the scene cloud, then used to split detection clouds into ground and non-ground points.
// No ROS, no logging, no state beyond the model of the last scene.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "veltrax_cv_model/types.hpp"

namespace veltrax_cv_model
{

/// Angular sectors of the polar grid around the robot origin (5 degrees each).
inline constexpr int kGroundSectorCount = 72;
/// Radial bin width of the polar grid, metres.
inline constexpr double kGroundBinWidthM = 0.1;
/// rMax is clamped to this range, metres, which bounds the grid to 1000 bins per sector.
inline constexpr double kGroundMaxRangeM = 100.0;

/// The polar grid's sector of the horizontal direction (x, y), base_footprint: sector k holds the
/// angles atan2(y, x) in [-pi + 5k, -pi + 5(k + 1)) degrees, the last one +pi as well. Exactly
/// what the arc tangent in double gives, found with one division (it is evaluated for every
/// point a frame classifies).
int ground_sector_of(float x, float y);

/// The plane the model levels a scene by: z = c + gx x + gy y (base_footprint, metres).
struct FloorPlane
{
  float c{0.0f};
  float gx{0.0f};
  float gy{0.0f};
  float at(float x, float y) const { return c + gx * x + gy * y; }
};

/// Ground model and ground/non-ground split of clouds in base_footprint (x forward, y left,
/// z up, metres; floor near z = 0 under the robot origin).
///
/// Model (set_input_cloud), built from the whole scene cloud of one camera frame:
///  0. Levelling: steps 1 and 2 are run once on the heights as they are; a least-squares plane
///     through the cell samples within `thres` of it (refitted three times from z = 0, at least
///     10 samples, at most 10 degrees of slope, else z = 0) becomes the floor plane, and every
///     height below is taken above that plane. A floor tilted by a mounting error thus stays in
///     the band at every range; on a level floor the plane is z = 0 up to noise.
///  1. Ground candidates: finite points with horizontal range r = hypot(x, y) in [rMin, rMax]
///     and height z in [tHmin, min(tHmax, hSensor)].
///  2. Polar grid of kGroundSectorCount sectors x kGroundBinWidthM bins. Each cell's ground
///     sample is the mean (r, z) of its candidates lying within tHDiff above the cell's 10 %
///     height quantile: the lowest layer, so object points above the floor do not lift it.
///  3. Per sector, a robust line z = a + b r: the line through two samples (or through the
///     robot origin (0, 0) and one sample, or the flat prior z = 0) with the most samples within
///     `thres`, refitted by least squares on those samples.
///  4. A sample stays ground only if the slope from it to a neighbouring accepted sample (in
///     range) differs from the line's slope b by at most tSDiff, which drops steps and isolated
///     bumps that the line tolerance let through.
///  5. Profile: per bin, the line plus the Gaussian-weighted mean of the accepted samples'
///     residuals over gauss_samples taps (odd; an even count is raised by one) spaced one bin
///     apart with sigma gauss_sigma metres; the line alone where no accepted sample is in reach.
///     Heights are clamped to [tHmin, min(tHmax, hSensor)].
///  6. A sector with fewer than two accepted samples borrows the profile of the nearest sector
///     within 15 degrees that has its own; otherwise it keeps the floor plane.
///
/// Classification (groundRemove): a finite point is ground iff its height above the modelled
/// ground at its (sector, range) is at most tHDiff; the profile is interpolated linearly between
/// bin centres and held constant before the first and beyond the last bin (so points nearer
/// than rMin or farther than rMax use the nearest modelled value). Points below the modelled
/// ground are ground. Non-finite points are dropped: they appear in neither output.
///
/// Degenerate settings never fault: non-finite or non-positive rMax gives no grid (flat prior
/// everywhere), gauss_sigma <= 0 or gauss_samples <= 1 disables smoothing, an empty band keeps
/// the prior. Not thread-safe for concurrent set_input_cloud; groundRemove is const in effect and
/// may run concurrently with other groundRemove calls on the same model.
///
/// Instantiated for pcl::PointXYZ only.
template <typename PointT>
class GroundRemoval
{
public:
  using Cloud = pcl::PointCloud<PointT>;

  /// @param rMin          nearest horizontal range of points that model the ground, m
  /// @param rMax          farthest horizontal range of points that model the ground, m
  /// @param tHmin         lowest height of a ground candidate, m
  /// @param tHmax         highest height of a ground candidate, m
  /// @param tHDiff        height above the modelled ground still counted as ground, m
  /// @param tSDiff        largest slope change (m per m) between neighbouring ground cells
  /// @param hSensor       camera height above the floor, m; caps the candidate band
  /// @param thres         line tolerance of a ground cell sample, m
  /// @param gauss_sigma   smoothing kernel sigma along range, m
  /// @param gauss_samples smoothing kernel taps, one bin (0.1 m) apart
  GroundRemoval(double rMin, double rMax, double tHmin, double tHmax, double tHDiff, double tSDiff,
                double hSensor, double thres, double gauss_sigma, int gauss_samples);
  explicit GroundRemoval(const GroundRemovalParams & params);

  /// Builds the ground model from the transformed scene cloud of a frame (base_footprint).
  /// Replaces any earlier model. Before the first call the model is the flat prior z = 0.
  void set_input_cloud(const Cloud & scene);

  /// Splits `input` (base_footprint) by the current model. Each non-null output is replaced by
  /// an unorganised cloud (height 1) with input's header, holding its points in input order.
  /// `input` may be the cloud behind an output. If both outputs designate the same cloud, it
  /// ends up holding the ground points.
  void groundRemove(const Cloud & input, std::shared_ptr<Cloud> non_ground_out,
                    std::shared_ptr<Cloud> ground_out) const;

  /// Modelled ground height (m, base_footprint) under the horizontal position (x, y): the
  /// floor plane plus the profile.
  float ground_height_at(float x, float y) const;

  /// The floor plane of the last scene (z = 0 before the first and when levelling failed).
  const FloorPlane & floor_plane() const { return plane_; }

  /// Sectors whose profile comes from their own samples (not borrowed, not the prior).
  int own_model_sectors() const { return own_model_sectors_; }

  /// The settings as used (non-finite values replaced, rMax clamped).
  const GroundRemovalParams & params() const { return params_; }

private:
  /// The profile's height above the floor plane under (x, y).
  float profile_height_at(float x, float y) const;

  GroundRemovalParams params_;
  FloorPlane plane_;
  int bin_count_{0};
  float band_low_{0.0f};
  float band_high_{0.0f};
  std::vector<float> profile_;  ///< kGroundSectorCount x bin_count_, height at bin centres
  int own_model_sectors_{0};
};

extern template class GroundRemoval<pcl::PointXYZ>;

}  // namespace veltrax_cv_model
