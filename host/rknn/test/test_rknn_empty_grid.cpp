// Regression test for a fault the model-file fuzzer (fuzz/fuzz_model_file.cpp) found: an input
// narrower or lower than a head's stride gives that head an empty grid, and rknn_run and
// rknn_outputs_get then passed the empty head's null data pointer to memset / memcpy (undefined
// behaviour even for zero bytes; UBSan stops `make sanitize` on it).
#include <gtest/gtest.h>
#include <rknn_api.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <host_rknn/host_rknn.hpp>

namespace
{

TEST(RknnEmptyGrid, RunAndOutputsGetSucceedWhenInputSmallerThanStride)
{
  struct Case
  {
    const char * name;
    std::array<uint32_t, 4> dims;  // NHWC
    uint8_t want_float;
  };
  const Case cases[] = {
      {"narrower_than_stride_8", {1, 16, 6, 3}, 0},
      {"lower_than_stride_8", {1, 4, 16, 3}, 1},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    host_rknn::ModelSpec model_spec;
    model_spec.input_dims = c.dims;
    model_spec.outputs.resize(1);
    std::string text = host_rknn::to_yaml(model_spec);
    rknn_context ctx = 0;
    ASSERT_EQ(rknn_init(&ctx, text.data(), static_cast<uint32_t>(text.size()), 0, nullptr),
              RKNN_SUCC);
    rknn_tensor_attr attr{};
    ASSERT_EQ(rknn_query(ctx, RKNN_QUERY_OUTPUT_ATTR, &attr, sizeof attr), RKNN_SUCC);
    EXPECT_EQ(attr.n_elems, 0u);

    std::vector<uint8_t> image(static_cast<std::size_t>(c.dims[0]) * c.dims[1] * c.dims[2] *
                               c.dims[3]);
    rknn_input input{};
    input.buf = image.data();
    input.size = static_cast<uint32_t>(image.size());
    input.type = RKNN_TENSOR_UINT8;
    input.fmt = RKNN_TENSOR_NHWC;
    ASSERT_EQ(rknn_inputs_set(ctx, 1, &input), RKNN_SUCC);
    ASSERT_EQ(rknn_run(ctx, nullptr), RKNN_SUCC);
    rknn_output output{};
    output.want_float = c.want_float;
    ASSERT_EQ(rknn_outputs_get(ctx, 1, &output, nullptr), RKNN_SUCC);
    EXPECT_EQ(output.size, 0u);
    EXPECT_EQ(rknn_outputs_release(ctx, 1, &output), RKNN_SUCC);
    EXPECT_EQ(rknn_destroy(ctx), RKNN_SUCC);
  }
}

}  // namespace
