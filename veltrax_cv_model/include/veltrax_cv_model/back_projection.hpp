// Back-projection of a rectangle of a registered 16-bit depth image into a voxel-thinned cloud in
// the camera's optical frame. Plain buffers in, a PCL cloud out: no ROS, no logging.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>

#include "veltrax_cv_model/types.hpp"

namespace veltrax_cv_model
{

/// Depth scale: raw depth units (millimetres) per metre.
inline constexpr double kDepthUnitsPerMetre = 1000.0;
/// Depths at or beyond this range (metres) are treated as missing.
inline constexpr float kFarDepthLimitM = 5.0f;

/// Read-only view of a depth image buffer. Does not own the bytes; they must outlive the call.
struct DepthImageView
{
  const std::uint8_t * data{nullptr};  ///< first byte of row 0; no alignment required
  std::size_t size_bytes{0};           ///< bytes readable from data
  int width{0};                        ///< columns, pixels
  int height{0};                       ///< rows, pixels
  std::size_t row_step_bytes{0};       ///< bytes per row; must be 2 * width (no row padding)
  std::string_view encoding;           ///< image encoding name, e.g. "16UC1"
};

/// Pixel rectangle [left, right) x [top, bottom), colour-image pixels (same grid as depth).
struct PixelRect
{
  int left{0};    ///< first column, inclusive
  int right{0};   ///< end column, exclusive
  int top{0};     ///< first row, inclusive
  int bottom{0};  ///< end row, exclusive
};

/// Why a back-projection produced no points. Every refusal leaves the output cloud empty.
enum class BackProjectionStatus {
  kOk,
  kNotSixteenBit,       ///< depth encoding is neither "16UC1" nor "mono16"
  kWidthMismatch,       ///< depth width differs from the colour row length
  kRowPadding,          ///< depth row step is not 2 * width, so v * W + u would miss the pixel
  kBufferTooShort,      ///< the buffer ends before the last pixel of the rectangle
  kRectOutsideImage,    ///< rectangle inverted, negative or beyond the depth image
  kUnusableIntrinsics,  ///< zero or non-finite focal length, or a rectangle so far from the
                        ///< principal point that x or y would overflow a float
  kInvalidLeafSize,     ///< leaf size not a positive finite number with a finite inverse
};

/// Fixed English text for a status, for the caller's log line (no trailing newline).
const char * to_string(BackProjectionStatus status);

/// Outcome of one back-projection.
struct BackProjectionResult
{
  BackProjectionStatus status{BackProjectionStatus::kOk};
  /// True when the voxel filter could not thin the cloud: the grid of the cloud's bounding box
  /// at this leaf size has more than INT32_MAX cells (the condition under which PCL's
  /// VoxelGrid prints "Leaf size is too small for the input dataset. Integer indices would
  /// overflow." and returns its input unchanged). The output then holds every valid pixel's
  /// point in row-major order. The filter is not run in that case, so nothing is printed; the
  /// caller decides how often to report it.
  bool voxel_grid_skipped{false};
  /// Points of the working cloud (the rectangle's pixels with a valid depth).
  std::size_t working_points{0};
};

/// True for the 16-bit single-channel encodings a depth image may carry ("16UC1", "mono16").
bool is_sixteen_bit_depth(std::string_view encoding);

/// Back-projects the pixels of `rect` and thins them with one pcl::VoxelGrid pass.
///
/// Pixel (u, v) is the 16-bit value (host byte order) at element v * row_length + u of the
/// buffer; z = d / 1000.0 (double, then float); a pixel is valid iff 0 < z < 5.0 m and then
/// becomes x = (u - cx) * z / fx, y = (v - cy) * z / fy in float, in the camera optical frame
/// (x right, y down, z forward, metres). Invalid pixels (no reading, or at or beyond the far
/// limit) give no point: a point at the camera's own centre would become an obstacle under the
/// robot once transformed.
///
/// The working cloud of the valid pixels, in row-major order, is thinned by a VoxelGrid with
/// cubic leaf `leaf_size_m` and all other settings at PCL's defaults. `cloud` is
/// replaced by the result: unorganised (height 1, width = size), empty header. When the grid
/// would overflow (see BackProjectionResult::voxel_grid_skipped) the result holds exactly the
/// points PCL would return. An empty rectangle, or one without a valid pixel, gives an empty
/// cloud (width 0, height 1) and status kOk.
///
/// Degenerate input is refused with a status and an empty `cloud`, before any pixel is read:
/// nothing outside [data, data + size_bytes) is ever read, and no point is ever inf or NaN.
///
/// @param depth       the depth image
/// @param row_length  W, the colour image's column count (must equal depth.width)
/// @param rect        pixels to back-project, within the depth image
/// @param intrinsics  pinhole model of the depth camera, pixels
/// @param leaf_size_m voxel edge, metres
/// @param cloud       output, replaced
/// Thread-safe: touches nothing but its arguments.
BackProjectionResult back_project_depth(const DepthImageView & depth, int row_length,
                                        const PixelRect & rect, const CameraIntrinsics & intrinsics,
                                        float leaf_size_m, pcl::PointCloud<pcl::PointXYZ> & cloud);

}  // namespace veltrax_cv_model
