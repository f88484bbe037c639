// The node's parameter file read into the settings of its pipeline objects, the way the node
// binds them: every name and built-in default from the node's parameter table, values from the
// file where it has them.
#pragma once

#include <stdexcept>
#include <string>

#include "veltrax_cv_model/pipeline_settings.hpp"

namespace veltrax_footprint
{

/// Refusal of a parameter file; the text names the file or parameter and the fault.
class ParamsError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

/// The node's settings, made from the file's values by the node's own binding.
using PipelineParams = veltrax_cv_model::PipelineSettings;

/// Parameters from the text of a ROS 2 parameter file: the map under the first top-level key
/// that holds `ros__parameters` (the node's name, or `/**`). A parameter the file does not set
/// keeps the table's default. As the node does, a value of the wrong type is refused (1 where
/// a double is expected), and so is a name the table does not hold. Throws ParamsError.
PipelineParams parse_pipeline_params(const std::string & yaml_text);

/// parse_pipeline_params of the file at `path`. Throws ParamsError.
PipelineParams load_pipeline_params(const std::string & path);

/// The crop range of camera 1 or 2 as a view of `intrinsics` mounted at `camera_to_base`.
veltrax_cv_model::CameraView camera_view(const PipelineParams & params, int camera,
                                         const veltrax_cv_model::CameraIntrinsics & intrinsics,
                                         const Eigen::Matrix4f & camera_to_base);

}  // namespace veltrax_footprint
