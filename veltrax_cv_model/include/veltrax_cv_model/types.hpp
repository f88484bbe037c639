// Plain records shared by the detector, the depth geometry and the node. No ROS types here.
#pragma once

#include <cstdint>

namespace veltrax_cv_model
{

/// One detection of the YOLO head, in pixels of the camera image it was found in.
/// Invariants as produced by the decoder: 0 <= left <= right <= image width and
/// 0 <= top <= bottom <= image height. A box whose four edges are all 0 counts as empty.
struct DetectedObject
{
  int32_t class_id{0};  ///< index into the node's label table, 0 .. obj_class_num - 1
  int32_t left{0};
  int32_t top{0};
  int32_t right{0};
  int32_t bottom{0};
  float score{0.0f};  ///< sigmoid of the best class score, in (0, 1)
};

/// Pinhole intrinsics of one depth camera, in pixels (the k matrix of its camera info).
struct CameraIntrinsics
{
  float fx{0.0f};
  float fy{0.0f};
  float cx{0.0f};
  float cy{0.0f};

  /// Back-projection divides by both focal lengths; zero or non-finite ones are unusable.
  bool usable() const;
};

/// The ten ground-removal settings, in the argument order of the GroundRemoval constructor.
/// Lengths in metres, in the robot frame (base_footprint, z up).
struct GroundRemovalParams
{
  double rMin{0.0};          ///< nearest horizontal range of points that model the ground
  double rMax{0.0};          ///< farthest horizontal range of points that model the ground
  double tHmin{0.0};         ///< lowest height of a ground candidate
  double tHmax{0.0};         ///< highest height of a ground candidate
  double tHDiff{0.0};        ///< height above the modelled ground still counted as ground
  double tSDiff{0.0};        ///< largest slope change between neighbouring ground cells
  double hSensor{0.0};       ///< sensor height above the floor
  double thres{0.0};         ///< acceptance threshold of the ground model
  double gauss_sigma{0.0};   ///< width of the smoothing kernel
  int32_t gauss_samples{0};  ///< number of samples of the smoothing kernel
};

}  // namespace veltrax_cv_model
