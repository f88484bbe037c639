#include "veltrax_cv_model/types.hpp"

#include <cmath>

namespace veltrax_cv_model
{

bool CameraIntrinsics::usable() const
{
  return std::isfinite(fx) && std::isfinite(fy) && std::isfinite(cx) && std::isfinite(cy) &&
         fx != 0.0f && fy != 0.0f;
}

}  // namespace veltrax_cv_model
