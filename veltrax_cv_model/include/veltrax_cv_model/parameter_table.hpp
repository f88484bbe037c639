// Every parameter the node reads: name, type, built-in default, unit and meaning. The node reads
// no name that is missing here, warns about overrides that are not here, and the tests hold
// config/params.yaml and the README's parameter table to it. ROS-free and constant.
#pragma once

#include <array>
#include <limits>
#include <string_view>

#include "veltrax_cv_model/types.hpp"

namespace veltrax_cv_model
{

enum class ParameterType { kBool, kInteger, kDouble, kString };

struct ParameterInfo
{
  std::string_view name;
  ParameterType type;
  std::string_view default_value;  ///< as the node starts without the parameter; "" for none
  std::string_view unit;
  std::string_view meaning;
  double min_value{-std::numeric_limits<double>::infinity()};  ///< smallest value accepted
  double max_value{std::numeric_limits<double>::infinity()};   ///< largest value accepted
};

inline constexpr std::array<ParameterInfo, 39> kParameterTable{{
    {"rknn_model_path", ParameterType::kString, "", "",
     "NPU model file; set by the launch file's model_path, not in config/params.yaml"},
    {"box_conf_threshold", ParameterType::kDouble, "0.4", "", "objectness threshold"},
    {"nms_threshold", ParameterType::kDouble, "0.3", "",
     "overlap above which a lower-ranked box of the same class is dropped"},
    {"model_batch", ParameterType::kInteger, "2", "", "batch the model must have"},
    // The output heads are sized from it: a count no model has would overflow that arithmetic.
    {"obj_class_num", ParameterType::kInteger, "3", "",
     "classes the model predicts (8 for the label table)", 1, 1000},
    {"anchors", ParameterType::kString,
     "10,13,16,30,33,23,30,61,62,45,59,119,116,90,156,198,373,326,", "model px",
     "18 comma-terminated anchor sizes; more than 18 is refused"},
    {"draw_result", ParameterType::kBool, "false", "", "draw detections on the camera images"},
    {"debug", ParameterType::kBool, "false", "",
     "publish overlays and per-camera detection clouds"},
    {"downsample_leaf_size", ParameterType::kDouble, "0.001", "m",
     "voxel edge of the back-projection"},
    {"camera1_min", ParameterType::kDouble, "0.0", "m",
     "near end of the crop along camera 1's optical axis"},
    {"camera1_max", ParameterType::kDouble, "3.0", "m",
     "far end of the crop along camera 1's optical axis"},
    {"camera2_min", ParameterType::kDouble, "0.2", "m",
     "near end of the crop along camera 2's optical axis"},
    {"camera2_max", ParameterType::kDouble, "3.0", "m",
     "far end of the crop along camera 2's optical axis"},
    {"/ground_removal/rMin", ParameterType::kDouble, "0.2", "m",
     "nearest horizontal range of the points that model the floor"},
    {"/ground_removal/rMax", ParameterType::kDouble, "5.0", "m",
     "farthest horizontal range of the points that model the floor; beyond it the last modelled "
     "height holds"},
    {"/ground_removal/tHmin", ParameterType::kDouble, "-0.15", "m",
     "lowest height of a floor candidate"},
    {"/ground_removal/tHmax", ParameterType::kDouble, "0.15", "m",
     "highest height of a floor candidate"},
    {"/ground_removal/tHDiff", ParameterType::kDouble, "0.025", "m",
     "height above the modelled floor still counted as floor"},
    {"/ground_removal/tSDiff", ParameterType::kDouble, "0.3", "m/m",
     "largest slope change between neighbouring floor cells"},
    {"/ground_removal/hSensor", ParameterType::kDouble, "0.5", "m",
     "camera height above the floor; caps the candidate band"},
    {"/ground_removal/thres", ParameterType::kDouble, "0.05", "m",
     "how far a cell may sit from its sector's floor line and still be floor"},
    {"/ground_removal/gauss_sigma", ParameterType::kDouble, "0.2", "m",
     "width of the smoothing kernel along range"},
    {"/ground_removal/gauss_samples", ParameterType::kInteger, "5", "",
     "taps of the smoothing kernel, 0.1 m apart"},
    {"cluster_method", ParameterType::kInteger, "3", "",
     "1 Euclidean, 2 k-means along x, 3 grid components"},
    {"merge_dis", ParameterType::kDouble, "0.8", "m",
     "a detection cloud longer than this along x is split"},
    {"center_threshold", ParameterType::kDouble, "0.5", "m",
     "split clusters whose centroids are closer than this merge again"},
    {"KDTreeSearchRadius", ParameterType::kDouble, "0.1", "m",
     "Euclidean method: neighbour distance"},
    {"KDTreeMinClusterSize", ParameterType::kInteger, "30", "points",
     "Euclidean method: smallest cluster kept"},
    {"KDTreeMaxClusterSize", ParameterType::kInteger, "25000", "points",
     "Euclidean method: largest cluster kept"},
    {"grid_step", ParameterType::kDouble, "0.01", "m", "grid method: cell size"},
    {"grid_kernelSize", ParameterType::kInteger, "3", "cells", "grid method: closing kernel side"},
    {"grid_th", ParameterType::kInteger, "5", "points", "grid method: points of an occupied cell"},
    {"person_dis_th", ParameterType::kDouble, "2.0", "m²",
     "a person is reported when X² + Y² of its floor contact (camera frame) is at most this"},
    {"publish_web", ParameterType::kBool, "false", "", "read and logged only"},
    {"satisNum", ParameterType::kInteger, "50", "", "read and logged only"},
    {"satisThreshold", ParameterType::kDouble, "1.0", "", "read and logged only"},
    {"motion_compensation", ParameterType::kInteger, "0", "", "read and logged only"},
    {"isVel", ParameterType::kBool, "false", "", "read and logged only"},
    {"isTF", ParameterType::kBool, "false", "", "read and logged only"},
}};

/// The entry named `name`; nullptr when the table has none.
constexpr const ParameterInfo * find_parameter(std::string_view name)
{
  for (const ParameterInfo & info : kParameterTable) {
    if (info.name == name) {
      return &info;
    }
  }
  return nullptr;
}

inline constexpr std::string_view to_string(ParameterType type)
{
  switch (type) {
    case ParameterType::kBool:
      return "bool";
    case ParameterType::kInteger:
      return "int";
    case ParameterType::kDouble:
      return "double";
    case ParameterType::kString:
      return "string";
  }
  return "";
}

/// The table's default of a numeric or boolean parameter as a number; throws std::logic_error
/// for a name the table does not hold or that has no numeric default.
double default_number(std::string_view name);

}  // namespace veltrax_cv_model
