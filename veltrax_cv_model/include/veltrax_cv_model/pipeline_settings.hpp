// The node's parameter values turned into the settings of its pipeline objects: the one place
// where parameter names meet settings fields. The node, the footprint tools and the benchmarks
// all build their settings here. ROS-free.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <variant>

#include "veltrax_cv_model/detection_cloud_builder.hpp"
#include "veltrax_cv_model/obstacle_outliner.hpp"
#include "veltrax_cv_model/yolo_decode.hpp"

namespace veltrax_cv_model
{

/// A parameter's value in the type the parameter table gives it (bool, integer, double, string).
using ParameterValue = std::variant<bool, std::int64_t, double, std::string>;

/// Parameter values by name; a name of the table that is missing takes the table's default.
using ParameterValues = std::map<std::string, ParameterValue, std::less<>>;

/// Everything the node's frame cycle and workers are set up with. Only settings_from_parameters
/// fills it: the defaults are the parameter table's.
struct PipelineSettings
{
  /// Thresholds, anchors and class count; model geometry at the defaults until a model is read.
  DecoderSettings decoder;
  DetectionCloudSettings clouds;      ///< leaf size and floor model
  ClusterSettings clusters;           ///< split, merge and clustering of the outline
  std::array<float, 2> crop_min_m{};  ///< camera1_min, camera2_min (along the optical axis)
  std::array<float, 2> crop_max_m{};  ///< camera1_max, camera2_max
  float person_dis_th_m2{};           ///< person report range, X² + Y² of the floor contact
  int32_t model_batch{};              ///< batch the model must have
  bool draw_result{};
  bool debug{};
  std::string rknn_model_path;
};

/// The settings `values` give, every parameter `values` lacks at the table's default.
/// @throws std::invalid_argument naming the parameter for a name the table does not hold, a
///         value of another type than the table's, a number outside the table's range or an
///         anchor list parse_anchor_text refuses.
PipelineSettings settings_from_parameters(const ParameterValues & values);

}  // namespace veltrax_cv_model
