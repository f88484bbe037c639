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

}  // namespace veltrax_cv_model
