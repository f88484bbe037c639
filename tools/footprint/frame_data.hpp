// A recorded RGB-D frame folder as the footprint tools read it: `*_color.png`, `*_depth_mm.png`
// and `camera_info.yaml` (as in veltrax_cv_model/test/data/rgbd), plus `frame.yaml` with the
// camera's transform into base_footprint, the boxes a detector would report and, optionally, the
// true footprint of each object.
#pragma once

#include <array>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <opencv2/core.hpp>

#include "veltrax_cv_model/types.hpp"

namespace veltrax_footprint
{

/// Corners of a polygon in the ground plane of base_footprint (x forward, y left), metres.
using Polygon = std::vector<cv::Point2f>;

/// Pixel box x1, y1, x2, y2; x2 and y2 are exclusive, as the detector's right and bottom edges.
using PixelBox = std::array<int, 4>;

/// Refusal of a frame folder or one of its files; the text names the file and the fault.
class FrameError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

/// One box as the detector would report it.
struct LabelledBox
{
  std::string label;  ///< obstacle, person, bottle or blood: the classes the node outlines
  int class_id{0};    ///< the label's id in the node's class table
  PixelBox box{};
};

/// One object and its true footprint.
struct TruthObject
{
  std::string name;
  int box_index{0};  ///< index into the frame's boxes: the box the object is scored through
  Polygon hull;      ///< true footprint, convex, counter-clockwise; empty until derived
  /// Where footprint_truth looks for the object's pixels (wider than the object, so that its
  /// own box can be the bounding box of what it finds); its box when not given.
  PixelBox search_box{};
};

/// The content of frame.yaml.
struct FrameDescription
{
  /// Optical frame (x right, y down, z forward) -> base_footprint (z up along the floor normal,
  /// floor at z = 0).
  Eigen::Matrix4f camera_to_base{Eigen::Matrix4f::Identity()};
  std::vector<LabelledBox> boxes;
  std::vector<TruthObject> truth;

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

/// A whole frame folder.
struct FrameData
{
  std::string name;  ///< the folder's name
  cv::Mat color;     ///< 8-bit BGR
  cv::Mat depth_mm;  ///< CV_16UC1, millimetres, 0 = no reading; registered to `color`
  veltrax_cv_model::CameraIntrinsics intrinsics;
  FrameDescription description;
};

/// Parses frame.yaml text: `T_base_cam` (16 numbers, row-major), `boxes` (list of {label, box})
/// and optionally `truth` (list of {name, box_index, hull: [[x, y], ...], search_box}; search_box
/// defaults to the box at box_index). Throws FrameError naming the first fault: a wrong count,
/// an unknown label, a box index outside the list, an inverted box.
FrameDescription parse_frame_yaml(const std::string & text);

/// frame.yaml text for `description`, preceded by `header_comment` (each line prefixed "# ").
/// Coordinates are written with 4 decimals (0.1 mm), the transform with 6.
std::string emit_frame_yaml(const FrameDescription & description,
                            const std::string & header_comment);

/// fx, fy, cx, cy from the camera_matrix of a ROS camera_info.yaml text. Throws FrameError.
veltrax_cv_model::CameraIntrinsics parse_camera_info(const std::string & text);

/// Reads a frame folder: the single `*_color.png` and `*_depth_mm.png` in it (same size; depth
/// 16-bit), camera_info.yaml and frame.yaml. Every box must lie inside the image. Throws
/// FrameError.
FrameData load_frame_dir(const std::filesystem::path & dir);

/// The boxes as the detector's records (score 1), in the frame's order.
std::vector<veltrax_cv_model::DetectedObject> detections_of(const FrameDescription & description);

}  // namespace veltrax_footprint
