#include "footprint/pipeline_params.hpp"

#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <fstream>
#include <sstream>

#include "veltrax_cv_model/parameter_table.hpp"

namespace veltrax_footprint
{
namespace
{

using veltrax_cv_model::ParameterType;

// The type a YAML scalar has as a ROS 2 parameter: the rule the node's parameter file test
// applies (true/false bool, a whole number int, other numbers double, the rest string).
ParameterType yaml_type(const YAML::Node & value)
{
  bool as_bool = false;
  long as_long = 0;
  double as_double = 0.0;
  if (YAML::convert<bool>::decode(value, as_bool)) {
    return ParameterType::kBool;
  }
  if (YAML::convert<long>::decode(value, as_long)) {
    return ParameterType::kInteger;
  }
  if (YAML::convert<double>::decode(value, as_double)) {
    return ParameterType::kDouble;
  }
  return ParameterType::kString;
}

// The file's value in the type its YAML form has; settings_from_parameters holds it to the
// table's type.
veltrax_cv_model::ParameterValue parameter_value(const YAML::Node & value)
{
  switch (yaml_type(value)) {
    case ParameterType::kBool:
      return value.as<bool>();
    case ParameterType::kInteger:
      return static_cast<std::int64_t>(value.as<long>());
    case ParameterType::kDouble:
      return value.as<double>();
    case ParameterType::kString:
      break;
  }
  return value.as<std::string>();
}

}  // namespace

PipelineParams parse_pipeline_params(const std::string & yaml_text)
{
  YAML::Node root;
  try {
    root = YAML::Load(yaml_text);
  } catch (const YAML::Exception & e) {
    throw ParamsError(std::string("not YAML: ") + e.what());
  }
  YAML::Node parameters;
  for (const auto & entry : root) {
    if (entry.second.IsMap() && entry.second["ros__parameters"]) {
      parameters = entry.second["ros__parameters"];
      break;
    }
  }
  if (!parameters || !parameters.IsMap()) {
    throw ParamsError("no <node>: ros__parameters map");
  }
  veltrax_cv_model::ParameterValues values;
  for (const auto & entry : parameters) {
    const std::string name = entry.first.as<std::string>();
    if (!entry.second.IsScalar()) {
      throw ParamsError("parameter '" + name + "' is not a single value");
    }
    values[name] = parameter_value(entry.second);
  }
  try {
    return veltrax_cv_model::settings_from_parameters(values);
  } catch (const std::invalid_argument & e) {
    throw ParamsError(e.what());
  }
}

PipelineParams load_pipeline_params(const std::string & path)
{
  std::ifstream in(path);
  if (!in) {
    throw ParamsError("cannot read " + path);
  }
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return parse_pipeline_params(text.str());
  } catch (const ParamsError & e) {
    throw ParamsError(path + ": " + e.what());
  }
}

veltrax_cv_model::CameraView camera_view(const PipelineParams & params, int camera,
                                         const veltrax_cv_model::CameraIntrinsics & intrinsics,
                                         const Eigen::Matrix4f & camera_to_base)
{
  const std::size_t slot = camera == 2 ? 1 : 0;
  return veltrax_cv_model::CameraView{intrinsics, params.crop_min_m[slot], params.crop_max_m[slot],
                                      camera_to_base};
}

}  // namespace veltrax_footprint
