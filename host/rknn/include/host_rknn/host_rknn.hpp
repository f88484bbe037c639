// Test and tool hooks of the host NPU runtime (host/rknn). Product code never includes this:
// it talks to the runtime through rknn_api.h only, exactly as on the robot.
//
// Here: the model file as a record (to write model files from tests and tools), the class key
// colours of the colour-key backend, and a probe of the runtime-owned output buffers.
#pragma once

#include <rknn_api.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host_rknn
{

/// One colour in R, G, B order.
struct KeyColour
{
  uint8_t r{0};
  uint8_t g{0};
  uint8_t b{0};
};

/// Number of classes that have a key colour (ids 0 .. 7).
inline constexpr int kKeyColourCount = 8;

/// Key colour of each class id, in R, G, B order as the model input sees it (the node feeds RGB).
/// Every channel is 0, 128 or 255 and each colour has one channel at 0 and one at 255.
const std::array<KeyColour, kKeyColourCount> & key_colours();

/// One detection the runtime is to produce, in model-input pixels (corners, x right, y down).
struct Detection
{
  int32_t class_id{0};
  float x1{0.0f};
  float y1{0.0f};
  float x2{0.0f};
  float y2{0.0f};
  float score{0.9f};        ///< class score as a probability (sigmoid of the written logit)
  float objectness{0.99f};  ///< objectness as a probability
};

/// What one rknn_run of the scripted backend produces, per batch slot.
struct ScriptedRun
{
  std::vector<Detection> slot1;
  std::vector<Detection> slot2;
};

/// An injected failure of one call kind: the status it returns (negative; 0 means none) from
/// the from_call-th call of that kind on a context (1 is the first call) up to and including the
/// until_call-th (0: to the end), so a runtime can die for good or come back.
struct Fault
{
  int32_t status{0};
  uint32_t from_call{1};
  uint32_t until_call{0};
};

struct Faults
{
  Fault init;
  Fault query_in_out_num;
  Fault query_input_attr;
  Fault query_output_attr;
  Fault query_sdk_version;
  Fault inputs_set;
  Fault run;
  Fault outputs_get;
};

/// Quantisation of one output head.
struct OutputQuantization
{
  int32_t zp{-64};
  float scale{1.0f / 32.0f};
  /// onnx backend: zp and scale are measured from the network's float outputs at rknn_init.
  bool measured{false};
};

enum class Backend {
  kColourKey,
  kScripted,
  kOnnx,
};

/// The network of the onnx backend and how the runtime feeds it.
struct OnnxSettings
{
  std::string path;  ///< the .onnx file; relative paths start at the working directory
  /// The network's own batch: 1 runs it once per batch slot, otherwise it must equal the input's.
  uint32_t batch{1};
  /// Pixel values the network expects: 255 feeds 0 .. 255, 1 feeds 0 .. 1.
  float input_range{1.0f};
  /// Output names for strides 8, 16, 32; empty: the outputs are matched by their grid size.
  std::vector<std::string> output_names;
};

/// The content of a host model file (format in host/rknn/README.md).
struct ModelSpec
{
  std::string sdk_version{"1.5.2 (host stand-in)"};
  std::string driver_version{"0.8.2 (host stand-in)"};
  bool has_input{true};  ///< false: a model with no input tensor
  std::array<uint32_t, 4> input_dims{2, 640, 640, 3};
  rknn_tensor_format input_fmt{
      RKNN_TENSOR_NHWC};  ///< NHWC: dims are [n, h, w, c]; NCHW: [n, c, h, w]
  int32_t classes{8};
  std::array<int32_t, 18> anchors{10, 13, 16,  30,  33, 23,  30,  61,  62,
                                  45, 59, 119, 116, 90, 156, 198, 373, 326};
  /// Output heads of strides 8, 16, 32 in that order; fewer than three is allowed. The default
  /// spans logits -2 .. 5.97: raw -128 is a clear "nothing here" (objectness 0.12) and scores up
  /// to 0.997 fit, at a step that keeps boxes within about a pixel (host/rknn/README.md).
  std::vector<OutputQuantization> outputs{
      {-64, 1.0f / 32.0f}, {-64, 1.0f / 32.0f}, {-64, 1.0f / 32.0f}};
  Backend backend{Backend::kColourKey};
  int32_t min_region_area_px{16};  ///< colour key: smaller regions are ignored
  int32_t colour_tolerance{4};     ///< colour key: largest difference per channel
  std::vector<ScriptedRun> runs;   ///< scripted: run k uses runs[k mod n]
  OnnxSettings onnx;               ///< onnx backend only
  Faults faults;
};

/// The model file text of `model_spec`; parse_model(to_yaml(model_spec)) gives `model_spec` back.
std::string to_yaml(const ModelSpec & model_spec);

/// Parses model file text. Throws std::runtime_error naming the offending key when the text is
/// not a valid model file.
ModelSpec parse_model(const std::string & text);

/// Writes to_yaml(model_spec) to `path`; false when the file cannot be written.
bool write_model_file(const std::string & path, const ModelSpec & model_spec);

/// Quantises float head values to int8 as the NPU's affine output does: round(v / scale) + zp,
/// saturated to -128 .. 127; NaN becomes -128 ("nothing here"). Returns the count of NaN values.
std::size_t quantize_head(const float * values, std::size_t count, OutputQuantization quantization,
                          int8_t * out);

/// Output buffers handed out by rknn_outputs_get on `context` and not yet released; 0 for an
/// unknown context.
std::size_t outstanding_output_buffers(rknn_context context);

}  // namespace host_rknn
