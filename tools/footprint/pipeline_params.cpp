#include "footprint/pipeline_params.hpp"

#include <yaml-cpp/yaml.h>

#include <fstream>
#include <map>
#include <sstream>

#include "veltrax_cv_model/parameter_table.hpp"

namespace veltrax_footprint
{
namespace
{

using veltrax_cv_model::ParameterInfo;
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

class ParameterValues
{
public:
  explicit ParameterValues(const YAML::Node & parameters)
  {
    for (const auto & entry : parameters) {
      const std::string name = entry.first.as<std::string>();
      const ParameterInfo * info = veltrax_cv_model::find_parameter(name);
      if (info == nullptr) {
        throw ParamsError("parameter '" + name + "' is not a parameter of the node");
      }
      if (!entry.second.IsScalar() || yaml_type(entry.second) != info->type) {
        throw ParamsError("parameter '" + name + "' must be of type " +
                          std::string(veltrax_cv_model::to_string(info->type)));
      }
      values_[name] = entry.second;
    }
  }

  template <typename T>
  T get(const char * name) const
  {
    const auto found = values_.find(name);
    if (found != values_.end()) {
      return found->second.as<T>();
    }
    const ParameterInfo * info = veltrax_cv_model::find_parameter(name);
    if (info == nullptr || info->default_value.empty()) {
      throw ParamsError(std::string("parameter '") + name + "' has no built-in default");
    }
    return YAML::Load(std::string(info->default_value)).as<T>();
  }

private:
  std::map<std::string, YAML::Node> values_;
};

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
  const ParameterValues values(parameters);

  PipelineParams params;
  params.clouds.leaf_size_m = values.get<float>("downsample_leaf_size");
  veltrax_cv_model::GroundRemovalParams & ground = params.clouds.ground;
  ground.rMin = values.get<double>("/ground_removal/rMin");
  ground.rMax = values.get<double>("/ground_removal/rMax");
  ground.tHmin = values.get<double>("/ground_removal/tHmin");
  ground.tHmax = values.get<double>("/ground_removal/tHmax");
  ground.tHDiff = values.get<double>("/ground_removal/tHDiff");
  ground.tSDiff = values.get<double>("/ground_removal/tSDiff");
  ground.hSensor = values.get<double>("/ground_removal/hSensor");
  ground.thres = values.get<double>("/ground_removal/thres");
  ground.gauss_sigma = values.get<double>("/ground_removal/gauss_sigma");
  ground.gauss_samples = values.get<int>("/ground_removal/gauss_samples");

  veltrax_cv_model::ClusterSettings & clusters = params.clusters;
  clusters.method = values.get<int>("cluster_method");
  clusters.merge_dis_m = values.get<float>("merge_dis");
  clusters.center_threshold_m = values.get<float>("center_threshold");
  clusters.kd_search_radius_m = values.get<float>("KDTreeSearchRadius");
  clusters.kd_min_cluster_size = values.get<int>("KDTreeMinClusterSize");
  clusters.kd_max_cluster_size = values.get<int>("KDTreeMaxClusterSize");
  clusters.grid_step_m = values.get<float>("grid_step");
  clusters.grid_kernel_size = values.get<int>("grid_kernelSize");
  clusters.grid_th = values.get<int>("grid_th");

  params.crop_min_m = {values.get<float>("camera1_min"), values.get<float>("camera2_min")};
  params.crop_max_m = {values.get<float>("camera1_max"), values.get<float>("camera2_max")};
  return params;
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
