#include "veltrax_cv_model/pipeline_settings.hpp"

#include <cmath>
#include <stdexcept>
#include <string_view>

#include "veltrax_cv_model/anchor_table.hpp"
#include "veltrax_cv_model/parameter_table.hpp"

namespace veltrax_cv_model
{
namespace
{

ParameterType type_of(const ParameterValue & value)
{
  switch (value.index()) {
    case 0:
      return ParameterType::kBool;
    case 1:
      return ParameterType::kInteger;
    case 2:
      return ParameterType::kDouble;
    default:
      return ParameterType::kString;
  }
}

// Reads the values the settings are made of: given ones checked against the table, missing ones
// from the table's defaults.
class TableReader
{
public:
  explicit TableReader(const ParameterValues & values) : values_(values)
  {
    for (const auto & [name, value] : values_) {
      const ParameterInfo * info = find_parameter(name);
      if (info == nullptr) {
        throw std::invalid_argument("parameter '" + name + "' is not a parameter of the node");
      }
      if (type_of(value) != info->type) {
        throw std::invalid_argument("parameter '" + name + "' must be of type " +
                                    std::string(to_string(info->type)) + ", got " +
                                    std::string(to_string(type_of(value))));
      }
    }
  }

  double number(std::string_view name) const
  {
    const ParameterInfo & info = entry(name);
    const auto given = values_.find(name);
    double value = 0.0;
    if (given == values_.end()) {
      value = default_number(name);
    } else if (const auto * b = std::get_if<bool>(&given->second)) {
      value = *b ? 1.0 : 0.0;
    } else if (const auto * i = std::get_if<std::int64_t>(&given->second)) {
      value = static_cast<double>(*i);
    } else {
      value = std::get<double>(given->second);
    }
    if (!(value >= info.min_value && value <= info.max_value)) {
      throw std::invalid_argument("parameter '" + std::string(name) + "' must lie in " +
                                  format_number(info.min_value) + ".." +
                                  format_number(info.max_value) + ", got " + format_number(value));
    }
    return value;
  }

  float real(std::string_view name) const { return static_cast<float>(number(name)); }
  int32_t integer(std::string_view name) const
  {
    const double value = number(name);
    if (!(std::abs(value) <= 2147483647.0)) {
      throw std::invalid_argument("parameter '" + std::string(name) + "' is out of range");
    }
    return static_cast<int32_t>(value);
  }
  bool flag(std::string_view name) const { return number(name) != 0.0; }

  std::string text(std::string_view name) const
  {
    const ParameterInfo & info = entry(name);
    const auto given = values_.find(name);
    return given == values_.end() ? std::string(info.default_value)
                                  : std::get<std::string>(given->second);
  }

private:
  static const ParameterInfo & entry(std::string_view name)
  {
    const ParameterInfo * info = find_parameter(name);
    if (info == nullptr) {
      throw std::logic_error("parameter '" + std::string(name) + "' is not in the parameter table");
    }
    return *info;
  }

  static std::string format_number(double value)
  {
    if (std::isinf(value)) {
      return value < 0 ? "-inf" : "inf";
    }
    std::string text = std::to_string(value);
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.') {
      text.pop_back();
    }
    return text;
  }

  const ParameterValues & values_;
};

}  // namespace

PipelineSettings settings_from_parameters(const ParameterValues & values)
{
  const TableReader table(values);
  PipelineSettings settings;

  DecoderSettings & decoder = settings.decoder;
  decoder.obj_class_num = table.integer("obj_class_num");
  decoder.box_conf_threshold = table.real("box_conf_threshold");
  decoder.nms_threshold = table.real("nms_threshold");
  // The list keeps the built-in anchors past its last field (parse_anchor_text): start from them.
  AnchorTable anchors = kDefaultAnchors;
  try {
    parse_anchor_text(table.text("anchors"), anchors);
  } catch (const std::out_of_range & e) {
    throw std::invalid_argument("parameter 'anchors' holds an unusable value: " +
                                std::string(e.what()));
  } catch (const std::invalid_argument & e) {
    throw std::invalid_argument("parameter 'anchors' is not a comma-terminated number list: " +
                                std::string(e.what()));
  }
  decoder.anchors = anchors;

  settings.clouds.leaf_size_m = table.real("downsample_leaf_size");
  GroundRemovalParams & ground = settings.clouds.ground;
  ground.rMin = table.number("/ground_removal/rMin");
  ground.rMax = table.number("/ground_removal/rMax");
  ground.tHmin = table.number("/ground_removal/tHmin");
  ground.tHmax = table.number("/ground_removal/tHmax");
  ground.tHDiff = table.number("/ground_removal/tHDiff");
  ground.tSDiff = table.number("/ground_removal/tSDiff");
  ground.hSensor = table.number("/ground_removal/hSensor");
  ground.thres = table.number("/ground_removal/thres");
  ground.gauss_sigma = table.number("/ground_removal/gauss_sigma");
  ground.gauss_samples = table.integer("/ground_removal/gauss_samples");

  ClusterSettings & clusters = settings.clusters;
  clusters.method = table.integer("cluster_method");
  clusters.merge_dis_m = table.real("merge_dis");
  clusters.center_threshold_m = table.real("center_threshold");
  clusters.kd_search_radius_m = table.real("KDTreeSearchRadius");
  clusters.kd_min_cluster_size = table.integer("KDTreeMinClusterSize");
  clusters.kd_max_cluster_size = table.integer("KDTreeMaxClusterSize");
  clusters.grid_step_m = table.real("grid_step");
  clusters.grid_kernel_size = table.integer("grid_kernelSize");
  clusters.grid_th = table.integer("grid_th");

  settings.crop_min_m = {table.real("camera1_min"), table.real("camera2_min")};
  settings.crop_max_m = {table.real("camera1_max"), table.real("camera2_max")};
  settings.person_dis_th_m2 = table.real("person_dis_th");
  settings.model_batch = table.integer("model_batch");
  settings.draw_result = table.flag("draw_result");
  settings.debug = table.flag("debug");
  settings.rknn_model_path = table.text("rknn_model_path");
  return settings;
}

}  // namespace veltrax_cv_model
