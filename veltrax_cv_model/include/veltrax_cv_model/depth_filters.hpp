// Clean-up of a registered 16-bit depth image before its readings become points: how large its
// random noise is, an edge-keeping smoothing that averages that noise down, and the removal of
// flying pixels, the readings a sensor invents between an object's edge and what lies behind it.
// Plain buffers, no ROS, no logging. Every function here needs an image that passed
// check_depth_region for the whole frame, and never makes a reading where the sensor gave none
// (0, or at or beyond kFarDepthLimitM).
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "veltrax_cv_model/back_projection.hpp"

namespace veltrax_cv_model
{

/// Rows between two rows estimate_relative_depth_noise samples.
inline constexpr int kNoiseSampleRowStride = 16;
/// Fewest sampled triples that make a noise estimate.
inline constexpr int kMinNoiseSamples = 1000;

/// Relative noise above which a depth image is smoothed before back-projection. At the far depth
/// limit it moves a reading by 1 cm, a few pixels' spacing there; sensors that report in
/// disparity steps estimate close to 0 and are left as they are.
inline constexpr float kSmoothedNoiseRel = 0.002f;

/// Radius, pixels, of the neighbourhood smooth_depth_noise averages: 5 x 5 readings cut the
/// noise about five-fold.
inline constexpr int kSmoothingRadiusPx = 2;

/// Angle, radians, between a pixel's ray and the line to its neighbour's point below which the
/// two do not lie on one surface (10 degrees, as laser scanners' veil filters use): a surface
/// seen that obliquely is rarer than the smear between two surfaces at different depths.
inline constexpr float kFlyingPixelAngleRad = 0.17453293f;

/// Widest smear, pixels, a depth sensor leaves between two surfaces at a depth edge. A run of
/// readings that shows a surface reaches one pixel beyond it on each side it covers, so a run
/// from a smear pixel always takes a step on a surface beside the smear.
inline constexpr int kSmearWidthPx = 2;

/// Largest ratio between the inverse-depth steps of a steady run. On a plane inverse depth is
/// affine in the pixel coordinates, so its steps along a line are equal, however oblique the
/// plane. A structured-light sensor reports disparity in whole steps (1/8 pixel: 2.85 mm * z^2,
/// z in metres, at f = 525 px, one step in inverse depth at every range), so a plane steeper
/// than kFlyingPixelAngleRad climbs at least one such step per pixel out to 3.8 m (beyond the
/// crop range) and shows a staircase of k and k + 1 steps, k >= 1: at most twice each other. The
/// surface beside a smear climbs less than a steep step per pixel, a fraction of the jump the
/// smear bridges, so a run through both is steady only where the smear reading lies where that
/// surface, continued, would be.
inline constexpr float kSteadyStepRatio = 2.0f;

/// Relative noise (standard deviation over depth) of the image's readings, estimated from the
/// side-by-side triples of every kNoiseSampleRowStride-th row. Inverse depth is affine in the pixel
/// coordinates on any plane, so the second difference of three neighbouring readings along a row,
/// relative to the middle one (d/d_left + d/d_right - 2), is zero there and carries sqrt(6) times
/// the relative noise of one reading. Its robust spread (1.4826 times the median magnitude) ignores
/// depth edges and curved surfaces, which hold a minority of the triples. Triples with a missing
/// reading are skipped. Returns 0 when fewer than kMinNoiseSamples triples are found.
float estimate_relative_depth_noise(const DepthImageView & depth, int row_length);

/// Copies the image into `out` (width * height readings, row-major, no padding), or only its rows
/// [first_row, end_row) (clamped to the image): `out` is sized for the whole image and its other
/// rows are left as they were.
void copy_depth(const DepthImageView & depth, int row_length, std::vector<std::uint16_t> & out,
                int first_row = 0, int end_row = std::numeric_limits<int>::max());

/// A sigma filter (Lee) over the whole image into `out` (as copy_depth; replaced): each valid
/// reading becomes the rounded mean of the valid readings of its (2 kSmoothingRadiusPx + 1)^2
/// neighbourhood within two noise deviations (2 * noise_rel * m) of m, the median of the valid
/// readings of its 3 x 3 neighbourhood. The median, not the reading itself, is the reference: a
/// reading two deviations off would otherwise average only with readings as far off and stay
/// where the noise put it. A depth step of more than two deviations (an object's edge) is kept;
/// missing readings stay missing and are never averaged in. `noise_rel` <= 0 copies the image.
void smooth_depth_noise(const DepthImageView & depth, int row_length, float noise_rel,
                        std::vector<std::uint16_t> & out);

/// Sets to 0 in `out` the flying pixels of `rect` in `depth`: readings that lie between two
/// opposite neighbours (left and right, above and below, or across either diagonal) that are
/// farther apart than a surface seen at kFlyingPixelAngleRad from the ray would be over two
/// pixels (a steep step, d * cot(angle) times the pixel spacing over the focal length, twice),
/// while the reading differs from each by more than half a steep step. The sensor smears a
/// depth step over one or two such pixels, often one disparity step off one side; as points they
/// would join an object to what stands behind it. A surface seen at a grazing angle (a low box's
/// top, a wall along the view) steps that far too, but steadily, and is kept: a reading stays
/// when, along each line it lies between its neighbours on, a steady run (kSteadyStepRatio)
/// continues it, either the kSmearWidthPx readings on both sides or the kSmearWidthPx + 1 on one
/// side, and one of those runs climbs more than a steep step per pixel. The run through a reading
/// does (its neighbours are two steep steps apart); a run ending at it shows the last reading of
/// a grazing surface before its far edge. The last reading of a less oblique surface is judged
/// as before: a reading one disparity step beyond such an edge continues it as steadily, and
/// there the smear is the likelier. A reading within half a steep step of a neighbour continues
/// that neighbour's surface and is kept, so an edge's own pixels stay; so does every pixel on
/// the image border. A run that meets a missing reading or leaves the image shows nothing. Only
/// the rows of `rect` are written, so `out` needs to hold the image as copy_depth gives it in
/// those rows only; readings are taken from `depth`. The intrinsics' focal lengths must be
/// positive and finite (check_depth_region).
void clear_flying_pixels(const DepthImageView & depth, int row_length, const PixelRect & rect,
                         const CameraIntrinsics & intrinsics, std::vector<std::uint16_t> & out);

/// A view of `readings` (as copy_depth gives them) with the geometry and encoding of `like`.
/// `readings` must outlive the view and not be resized while it is used.
DepthImageView depth_view_of(const std::vector<std::uint16_t> & readings,
                             const DepthImageView & like);

}  // namespace veltrax_cv_model
