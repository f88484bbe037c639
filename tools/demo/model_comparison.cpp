#include "demo/model_comparison.hpp"

#include <rknn_api.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace veltrax_demo
{

namespace
{

using veltrax_cv_model::DetectedObject;
using veltrax_cv_model::SlotDetections;

// One host model behind the C API, fed and decoded as the node's detector does.
class HostDetector
{
public:
  HostDetector(const std::string & path, const veltrax_cv_model::DecoderSettings & settings)
      : settings_(settings)
  {
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file || bytes.empty()) {
      throw std::runtime_error("cannot read model " + path);
    }
    if (rknn_init(&context_, bytes.data(), static_cast<uint32_t>(bytes.size()), 0, nullptr) !=
        RKNN_SUCC) {
      throw std::runtime_error("the host NPU runtime refuses model " + path);
    }
    rknn_tensor_attr input{};
    rknn_query(context_, RKNN_QUERY_INPUT_ATTR, &input, sizeof(input));
    const bool nchw = input.fmt == RKNN_TENSOR_NCHW;
    model_size_ = cv::Size(static_cast<int>(nchw ? input.dims[3] : input.dims[2]),
                           static_cast<int>(nchw ? input.dims[2] : input.dims[1]));
    input_bytes_ = input.size;
    settings_.model_width = model_size_.width;
    settings_.model_height = model_size_.height;
    for (uint32_t i = 0; i < veltrax_cv_model::kHeadCount; ++i) {
      rknn_tensor_attr output{};
      output.index = i;
      if (rknn_query(context_, RKNN_QUERY_OUTPUT_ATTR, &output, sizeof(output)) != RKNN_SUCC) {
        rknn_destroy(context_);
        throw std::runtime_error("model " + path + " has fewer than three heads");
      }
      quant_[i] = {output.zp, output.scale};
    }
  }

  ~HostDetector() { rknn_destroy(context_); }
  HostDetector(const HostDetector &) = delete;
  HostDetector & operator=(const HostDetector &) = delete;

  std::array<SlotDetections, 2> detect(const std::array<cv::Mat, 2> & rgb)
  {
    std::vector<uint8_t> batch;
    batch.reserve(input_bytes_);
    for (const cv::Mat & image : rgb) {
      cv::Mat resized;
      cv::resize(image, resized, model_size_, 0, 0, cv::INTER_LINEAR);
      batch.insert(batch.end(), resized.datastart, resized.dataend);
    }
    batch.resize(input_bytes_);
    rknn_input input{};
    input.buf = batch.data();
    input.size = static_cast<uint32_t>(batch.size());
    input.type = RKNN_TENSOR_UINT8;
    input.fmt = RKNN_TENSOR_NHWC;
    std::array<rknn_output, veltrax_cv_model::kHeadCount> outputs{};
    if (rknn_inputs_set(context_, 1, &input) != RKNN_SUCC ||
        rknn_run(context_, nullptr) != RKNN_SUCC ||
        rknn_outputs_get(context_, veltrax_cv_model::kHeadCount, outputs.data(), nullptr) !=
            RKNN_SUCC) {
      throw std::runtime_error("the host NPU runtime failed a run");
    }
    std::array<veltrax_cv_model::HeadView, veltrax_cv_model::kHeadCount> heads;
    for (std::size_t i = 0; i < heads.size(); ++i) {
      heads[i] = {static_cast<const int8_t *>(outputs[i].buf), outputs[i].size};
    }
    std::array<SlotDetections, 2> result;
    for (int slot = 1; slot <= 2; ++slot) {
      const cv::Mat & image = rgb[static_cast<std::size_t>(slot - 1)];
      result[static_cast<std::size_t>(slot - 1)] = veltrax_cv_model::post_process(
          heads, quant_, settings_, slot,
          static_cast<float>(model_size_.width) / static_cast<float>(image.cols),
          static_cast<float>(model_size_.height) / static_cast<float>(image.rows));
    }
    rknn_outputs_release(context_, veltrax_cv_model::kHeadCount, outputs.data());
    return result;
  }

private:
  veltrax_cv_model::DecoderSettings settings_;
  rknn_context context_{0};
  cv::Size model_size_;
  std::size_t input_bytes_{0};
  std::array<veltrax_cv_model::HeadQuantization, veltrax_cv_model::kHeadCount> quant_{};
};

int edge_difference(const DetectedObject & a, const DetectedObject & b)
{
  return std::max({std::abs(a.left - b.left), std::abs(a.top - b.top), std::abs(a.right - b.right),
                   std::abs(a.bottom - b.bottom)});
}

}  // namespace

ModelComparison compare_models(const std::string & reference_model, const std::string & model,
                               const std::vector<std::array<cv::Mat, 2>> & frames_rgb,
                               const veltrax_cv_model::DecoderSettings & settings, int limit_px)
{
  HostDetector reference(reference_model, settings);
  HostDetector compared(model, settings);
  ModelComparison comparison;
  comparison.limit_px = limit_px;
  for (std::size_t k = 0; k < frames_rgb.size(); ++k) {
    const std::array<SlotDetections, 2> expected = reference.detect(frames_rgb[k]);
    const std::array<SlotDetections, 2> actual = compared.detect(frames_rgb[k]);
    for (std::size_t camera = 0; camera < 2; ++camera) {
      const std::vector<DetectedObject> & candidates = actual[camera].objects;
      std::vector<bool> used(candidates.size(), false);
      for (const DetectedObject & want : expected[camera].objects) {
        BoxMatch match{static_cast<int>(k), static_cast<int>(camera) + 1, want};
        std::size_t best = candidates.size();
        for (std::size_t i = 0; i < candidates.size(); ++i) {
          if (candidates[i].class_id == want.class_id &&
              (best == candidates.size() ||
               edge_difference(candidates[i], want) < edge_difference(candidates[best], want))) {
            best = i;
          }
        }
        if (best < candidates.size()) {
          used[best] = true;
          match.difference_px = edge_difference(candidates[best], want);
          match.found = match.difference_px <= limit_px;
        }
        if (match.found) {
          ++comparison.found_within_limit;
          comparison.max_difference_px =
              std::max(comparison.max_difference_px, match.difference_px);
        }
        comparison.matches.push_back(match);
      }
      comparison.unmatched += static_cast<int>(std::count(used.begin(), used.end(), false));
    }
  }
  return comparison;
}

}  // namespace veltrax_demo
