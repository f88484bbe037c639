// Host model files: any text either parses or throws std::runtime_error; a parsed model
// round-trips through its own text and runs the node's call sequence on the runtime.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <rknn_api.h>
#include <host_rknn/host_rknn.hpp>
#include "fuzz_support.hpp"

namespace
{

using fuzz_support::check;

// Larger inputs are parsed and queried but not run, to keep each execution short.
constexpr uint64_t kMaxRunInputBytes = 1u << 20;

void run_model(rknn_context ctx, const host_rknn::ModelSpec & model, bool want_float)
{
  rknn_input_output_num num{};
  if (rknn_query(ctx, RKNN_QUERY_IN_OUT_NUM, &num, sizeof num) != RKNN_SUCC) {
    return;
  }
  check(num.n_output == model.outputs.size(), "num.n_output == model.outputs.size()");
  check(num.n_input == (model.has_input ? 1u : 0u), "num.n_input == (model.has_input ? 1u : 0u)");
  rknn_sdk_version version{};
  if (rknn_query(ctx, RKNN_QUERY_SDK_VERSION, &version, sizeof version) == RKNN_SUCC) {
    check(std::memchr(version.api_version, '\0', sizeof version.api_version) != nullptr,
          "std::memchr(version.api_version, '\\0', sizeof version.api_version) != nullptr");
    check(std::memchr(version.drv_version, '\0', sizeof version.drv_version) != nullptr,
          "std::memchr(version.drv_version, '\\0', sizeof version.drv_version) != nullptr");
  }
  std::vector<rknn_tensor_attr> output_attrs(num.n_output);
  for (uint32_t i = 0; i < num.n_output; ++i) {
    output_attrs[i].index = i;
    if (rknn_query(ctx, RKNN_QUERY_OUTPUT_ATTR, &output_attrs[i], sizeof(rknn_tensor_attr)) !=
        RKNN_SUCC) {
      return;
    }
  }
  rknn_tensor_attr bad_index{};
  bad_index.index = num.n_output;
  check(rknn_query(ctx, RKNN_QUERY_OUTPUT_ATTR, &bad_index, sizeof bad_index) != RKNN_SUCC,
        "rknn_query(ctx, RKNN_QUERY_OUTPUT_ATTR, &bad_index, sizeof bad_index) != RKNN_SUCC");
  if (num.n_input == 0) {
    return;
  }
  rknn_tensor_attr input_attr{};
  if (rknn_query(ctx, RKNN_QUERY_INPUT_ATTR, &input_attr, sizeof input_attr) != RKNN_SUCC) {
    return;
  }
  uint64_t input_bytes = 1;
  for (const uint32_t d : model.input_dims) {
    input_bytes *= d;
  }
  if (input_bytes > kMaxRunInputBytes) {
    return;
  }
  check(input_attr.size == input_bytes, "input_attr.size == input_bytes");

  std::vector<uint8_t> image(input_bytes);
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<uint8_t>(i * 131u);
  }
  rknn_input input{};
  input.index = 0;
  input.buf = image.data();
  input.size = static_cast<uint32_t>(image.size());
  input.type = RKNN_TENSOR_UINT8;
  input.fmt = model.input_fmt;
  if (rknn_inputs_set(ctx, 1, &input) != RKNN_SUCC || rknn_run(ctx, nullptr) != RKNN_SUCC) {
    return;
  }

  // Runtime-owned buffers, then the caller's own buffers of exactly the reported size.
  std::vector<rknn_output> outputs(num.n_output);
  for (rknn_output & out : outputs) {
    out.want_float = want_float ? 1 : 0;
  }
  if (rknn_outputs_get(ctx, num.n_output, outputs.data(), nullptr) == RKNN_SUCC) {
    for (uint32_t i = 0; i < num.n_output; ++i) {
      const uint64_t expected =
          static_cast<uint64_t>(output_attrs[i].n_elems) * (want_float ? sizeof(float) : 1);
      check(outputs[i].size == expected, "outputs[i].size == expected");
      if (outputs[i].size > 0) {
        // Touch the last byte: ASan reports a buffer shorter than its reported size.
        volatile uint8_t last = static_cast<const uint8_t *>(outputs[i].buf)[outputs[i].size - 1];
        static_cast<void>(last);
      }
    }
    check(rknn_outputs_release(ctx, num.n_output, outputs.data()) == RKNN_SUCC,
          "rknn_outputs_release(ctx, num.n_output, outputs.data()) == RKNN_SUCC");
    check(host_rknn::outstanding_output_buffers(ctx) == 0,
          "host_rknn::outstanding_output_buffers(ctx) == 0");
  }
  std::vector<std::vector<uint8_t>> owned(num.n_output);
  for (uint32_t i = 0; i < num.n_output; ++i) {
    owned[i].resize(static_cast<std::size_t>(output_attrs[i].n_elems) *
                    (want_float ? sizeof(float) : 1));
    outputs[i] = rknn_output{};
    outputs[i].want_float = want_float ? 1 : 0;
    outputs[i].is_prealloc = 1;
    outputs[i].buf = owned[i].empty() ? nullptr : owned[i].data();
    outputs[i].size = static_cast<uint32_t>(owned[i].size());
  }
  if (rknn_outputs_get(ctx, num.n_output, outputs.data(), nullptr) == RKNN_SUCC) {
    check(rknn_outputs_release(ctx, num.n_output, outputs.data()) == RKNN_SUCC,
          "rknn_outputs_release(ctx, num.n_output, outputs.data()) == RKNN_SUCC");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char *>(data), size);
  host_rknn::ModelSpec model;
  try {
    model = host_rknn::parse_model(text);
  } catch (const std::runtime_error &) {
    rknn_context ctx = 1;
    std::vector<char> bytes(text.begin(), text.end());
    if (!bytes.empty()) {
      check(rknn_init(&ctx, bytes.data(), static_cast<uint32_t>(bytes.size()), 0, nullptr) !=
                RKNN_SUCC,
            "rknn_init(&ctx, bytes.data(), static_cast<uint32_t>(bytes.size()), 0, nullptr) != "
            "RKNN_SUCC");
      check(ctx == 0, "ctx == 0");
    }
    return 0;
  }

  const std::string yaml = host_rknn::to_yaml(model);
  check(host_rknn::to_yaml(host_rknn::parse_model(yaml)) == yaml,
        "host_rknn::to_yaml(host_rknn::parse_model(yaml)) == yaml");
  // An onnx model names a network file outside the fuzzed text: loading whatever path the
  // input names (a device, a huge file) is not what this target checks.
  if (model.backend == host_rknn::Backend::kOnnx) {
    return 0;
  }

  std::vector<char> bytes(text.begin(), text.end());
  rknn_context ctx = 0;
  const int status = rknn_init(&ctx, bytes.data(), static_cast<uint32_t>(bytes.size()), 0, nullptr);
  if (status != RKNN_SUCC) {
    check(model.faults.init.status != 0 && ctx == 0, "model.faults.init.status != 0 && ctx == 0");
    return 0;
  }
  run_model(ctx, model, size % 2 == 1);
  check(rknn_destroy(ctx) == RKNN_SUCC, "rknn_destroy(ctx) == RKNN_SUCC");
  check(rknn_destroy(ctx) == RKNN_ERR_CTX_INVALID, "rknn_destroy(ctx) == RKNN_ERR_CTX_INVALID");
  return 0;
}
