// Side-by-side detections of two host NPU models on the same colour frames, each run through
// the host runtime's C API as the node runs it (frames resized to the model input, one batch
// of both cameras) and decoded by the node's own decoder.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <string>
#include <vector>

#include "veltrax_cv_model/types.hpp"
#include "veltrax_cv_model/yolo_decode.hpp"

namespace veltrax_demo
{

/// One detection of the reference model and the compared model's closest box of its class.
struct BoxMatch
{
  int frame{0};
  int camera{1};  ///< 1 or 2
  veltrax_cv_model::DetectedObject reference;
  bool found{false};
  int difference_px{0};  ///< largest difference of the four edges, camera pixels
};

struct ModelComparison
{
  std::vector<BoxMatch> matches;  ///< one per reference detection
  int found_within_limit{0};      ///< matches with difference_px <= limit_px
  int max_difference_px{0};       ///< over the found matches
  int unmatched{0};               ///< compared detections matching no reference detection
  int limit_px{2};
};

/// Runs both host model files on every frame pair (RGB, camera size) and matches each reference
/// detection to the compared model's detection of the same class whose largest edge difference
/// is smallest; a match counts as found within `limit_px`. Throws std::runtime_error when a
/// model cannot be read or the runtime refuses it.
ModelComparison compare_models(const std::string & reference_model, const std::string & model,
                               const std::vector<std::array<cv::Mat, 2>> & frames_rgb,
                               const veltrax_cv_model::DecoderSettings & settings,
                               int limit_px = 2);

}  // namespace veltrax_demo
