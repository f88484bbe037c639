// What the node does with each class its detector knows: one table, read by the overlays, the
// reports, the detection clouds and the tools. ROS-free and constant.
#pragma once

#include <array>
#include <string_view>

namespace veltrax_cv_model
{

/// How the node handles one class of the detector.
struct ClassInfo
{
  int id;
  std::string_view label;
  bool drawn;        ///< boxed on the overlay images (flat litter is left undrawn)
  bool litter;       ///< reported on /perception/yolov5/trashes (camera 1)
  bool person;       ///< reported on /perception/yolov5/person within person_dis_th
  bool outlined;     ///< lifted into a detection cloud and outlined for the costmap
  bool keeps_floor;  ///< its cloud keeps its floor points: it lies on the floor itself
};

/// The label table of the node, ids 0 to 7.
inline constexpr std::array<ClassInfo, 8> kClassTable{{
    // id, label,     drawn, litter, person, outlined, keeps_floor
    {0, "paper", false, false, false, false, false},
    {1, "mask", false, true, false, false, false},
    {2, "thread", false, false, false, false, false},
    {3, "obstacle", true, false, false, true, false},
    {4, "bottle", true, true, false, true, true},
    {5, "blood", true, true, false, true, true},
    {6, "person", true, false, true, true, false},
    {7, "reflection", true, false, false, false, false},
}};

/// The entry of `class_id`; nullptr for an id the table does not hold (a model may predict more
/// classes than the node knows).
constexpr const ClassInfo * class_info(int class_id)
{
  return class_id >= 0 && class_id < static_cast<int>(kClassTable.size()) ? &kClassTable[class_id]
                                                                          : nullptr;
}

}  // namespace veltrax_cv_model
