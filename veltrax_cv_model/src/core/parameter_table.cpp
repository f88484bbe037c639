#include "veltrax_cv_model/parameter_table.hpp"

#include <stdexcept>
#include <string>

namespace veltrax_cv_model
{

double default_number(std::string_view name)
{
  const ParameterInfo * info = find_parameter(name);
  if (info == nullptr || info->default_value.empty() || info->type == ParameterType::kString) {
    throw std::logic_error("parameter '" + std::string(name) + "' has no numeric default");
  }
  if (info->type == ParameterType::kBool) {
    return info->default_value == "true" ? 1.0 : 0.0;
  }
  return std::stod(std::string(info->default_value));
}

GroundRemovalParams default_ground_removal_params()
{
  GroundRemovalParams params;
  params.rMin = default_number("/ground_removal/rMin");
  params.rMax = default_number("/ground_removal/rMax");
  params.tHmin = default_number("/ground_removal/tHmin");
  params.tHmax = default_number("/ground_removal/tHmax");
  params.tHDiff = default_number("/ground_removal/tHDiff");
  params.tSDiff = default_number("/ground_removal/tSDiff");
  params.hSensor = default_number("/ground_removal/hSensor");
  params.thres = default_number("/ground_removal/thres");
  params.gauss_sigma = default_number("/ground_removal/gauss_sigma");
  params.gauss_samples = static_cast<int32_t>(default_number("/ground_removal/gauss_samples"));
  return params;
}

}  // namespace veltrax_cv_model
