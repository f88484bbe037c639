// The host NPU runtime: the vendor's record layout and status conventions, output buffer
// ownership, the backends (read back through the product decoder) and fault injection.
#include <gtest/gtest.h>
#include <rknn_api.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <opencv2/imgproc.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host_rknn/host_rknn.hpp"
#include "veltrax_cv_model/yolo_decode.hpp"

namespace
{

using host_rknn::ModelSpec;
using veltrax_cv_model::DetectedObject;

// A context for one model, destroyed at scope end.
struct Runtime
{
  explicit Runtime(const ModelSpec & model_spec) : text(host_rknn::to_yaml(model_spec))
  {
    status = rknn_init(&ctx, text.data(), static_cast<uint32_t>(text.size()), 0, nullptr);
  }
  ~Runtime()
  {
    if (ctx != 0) rknn_destroy(ctx);
  }
  Runtime(const Runtime &) = delete;
  Runtime & operator=(const Runtime &) = delete;

  rknn_tensor_attr attr(rknn_query_cmd cmd, uint32_t index) const
  {
    rknn_tensor_attr a{};
    a.index = index;
    EXPECT_EQ(rknn_query(ctx, cmd, &a, sizeof(a)), RKNN_SUCC);
    return a;
  }

  std::string text;
  rknn_context ctx{0};
  int status{0};
};

// Model-size RGB images as one input buffer, interleaved or (NCHW) planar.
std::vector<uint8_t> batch_buffer(const std::vector<cv::Mat> & images, bool planar = false)
{
  std::vector<uint8_t> buffer;
  for (const cv::Mat & img : images) {
    std::vector<cv::Mat> planes{img};
    if (planar) cv::split(img, planes);
    for (const cv::Mat & p : planes)
      buffer.insert(buffer.end(), p.data, p.data + p.total() * p.elemSize());
  }
  return buffer;
}

rknn_input input_record(std::vector<uint8_t> & buffer, rknn_tensor_format fmt)
{
  rknn_input in{};
  in.buf = buffer.data();
  in.size = static_cast<uint32_t>(buffer.size());
  in.type = RKNN_TENSOR_UINT8;
  in.fmt = fmt;
  return in;
}

// What the node does per cycle: bind, run, fetch int8 outputs into records left at index 0.
int infer(const Runtime & rt, std::vector<uint8_t> & input, std::vector<rknn_output> & outputs,
          rknn_tensor_format fmt = RKNN_TENSOR_NHWC)
{
  rknn_input in = input_record(input, fmt);
  if (const int s = rknn_inputs_set(rt.ctx, 1, &in)) return s;
  if (const int s = rknn_run(rt.ctx, nullptr)) return s;
  outputs.assign(3, rknn_output{});
  return rknn_outputs_get(rt.ctx, 3, outputs.data(), nullptr);
}

veltrax_cv_model::DecoderSettings settings_for(const ModelSpec & model_spec)
{
  veltrax_cv_model::DecoderSettings s;
  const bool nchw = model_spec.input_fmt == RKNN_TENSOR_NCHW;
  s.model_height = static_cast<int32_t>(model_spec.input_dims[nchw ? 2 : 1]);
  s.model_width = static_cast<int32_t>(model_spec.input_dims[nchw ? 3 : 2]);
  s.anchors = model_spec.anchors;
  s.obj_class_num = model_spec.classes;
  s.box_conf_threshold = 0.5f;
  s.nms_threshold = 0.45f;
  return s;
}

std::array<veltrax_cv_model::HeadQuantization, 3> quantization(const Runtime & rt)
{
  std::array<veltrax_cv_model::HeadQuantization, 3> q;
  for (uint32_t i = 0; i < 3; ++i) {
    const rknn_tensor_attr a = rt.attr(RKNN_QUERY_OUTPUT_ATTR, i);
    q[i] = {a.zp, a.scale};
  }
  return q;
}

std::vector<DetectedObject> decode_slot(const Runtime & rt, const ModelSpec & model_spec,
                                        const std::vector<rknn_output> & outputs, int slot,
                                        float scale_w = 1.0f, float scale_h = 1.0f)
{
  std::array<veltrax_cv_model::HeadView, 3> heads;
  for (std::size_t i = 0; i < 3; ++i) {
    heads[i] = {static_cast<const int8_t *>(outputs[i].buf), outputs[i].size};
  }
  return veltrax_cv_model::post_process(heads, quantization(rt), settings_for(model_spec), slot,
                                        scale_w, scale_h)
      .objects;
}

struct Painted
{
  int class_id;
  cv::Rect rect;  // covers rect.x .. rect.x + width - 1
};

// Each painted rectangle has exactly one detection of its class with edges within the
// tolerances of the painted pixel edges, and there is nothing else.
void expect_found(const std::vector<DetectedObject> & objects, const std::vector<Painted> & painted,
                  float tol_x, float tol_y)
{
  EXPECT_EQ(objects.size(), painted.size());
  for (const Painted & p : painted) {
    const auto near = [&](const DetectedObject & o) {
      return o.class_id == p.class_id && std::abs(o.left - p.rect.x) <= tol_x &&
             std::abs(o.right - p.rect.br().x) <= tol_x && std::abs(o.top - p.rect.y) <= tol_y &&
             std::abs(o.bottom - p.rect.br().y) <= tol_y;
    };
    EXPECT_EQ(std::count_if(objects.begin(), objects.end(), near), 1)
        << "class " << p.class_id << " at " << p.rect;
  }
}

cv::Scalar key(int class_id)
{
  const host_rknn::KeyColour & c = host_rknn::key_colours()[static_cast<std::size_t>(class_id)];
  return cv::Scalar(c.r, c.g, c.b);
}

cv::Mat grey_image(int width, int height)
{
  return cv::Mat(height, width, CV_8UC3, cv::Scalar(90, 100, 110));
}

TEST(RknnRuntime, RecordsHaveTheVendorLayout)
{
  EXPECT_EQ(sizeof(rknn_sdk_version), 512u);
  EXPECT_EQ(sizeof(rknn_input_output_num), 8u);
  EXPECT_EQ(sizeof(rknn_tensor_attr), 376u);
  EXPECT_EQ(offsetof(rknn_tensor_attr, fmt), 336u);
  EXPECT_EQ(offsetof(rknn_tensor_attr, zp), 352u);
  EXPECT_EQ(offsetof(rknn_tensor_attr, scale), 356u);
  EXPECT_EQ(sizeof(rknn_input), 32u);
  EXPECT_EQ(sizeof(rknn_output), 24u);
}

TEST(RknnRuntime, RejectsBadContextsAndArgumentsWithVendorCodes)
{
  Runtime rt{ModelSpec{}};
  ASSERT_EQ(rt.status, RKNN_SUCC);
  rknn_context ctx = 123;
  std::string junk = "host_rknn_model: 1\nclasses: zero\n";
  EXPECT_EQ(rknn_init(nullptr, rt.text.data(), 10, 0, nullptr), RKNN_ERR_PARAM_INVALID);
  EXPECT_EQ(rknn_init(&ctx, nullptr, 0, 0, nullptr), RKNN_ERR_PARAM_INVALID);
  EXPECT_EQ(ctx, 0u);  // written on failure too, so a later destroy is refused cleanly
  EXPECT_EQ(rknn_init(&ctx, rt.text.data(), 0, 0, nullptr), RKNN_ERR_PARAM_INVALID);
  EXPECT_EQ(rknn_init(&ctx, junk.data(), static_cast<uint32_t>(junk.size()), 0, nullptr),
            RKNN_ERR_MODEL_INVALID);

  rknn_context gone = 0;
  ASSERT_EQ(rknn_init(&gone, rt.text.data(), static_cast<uint32_t>(rt.text.size()), 0, nullptr),
            RKNN_SUCC);
  EXPECT_EQ(rknn_destroy(gone), RKNN_SUCC);
  rknn_input_output_num num{};
  rknn_output out[3]{};
  for (const rknn_context bad : {rknn_context{0}, gone, rknn_context{0xdeadbeef}}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(rknn_query(bad, RKNN_QUERY_IN_OUT_NUM, &num, sizeof(num)), RKNN_ERR_CTX_INVALID);
    EXPECT_EQ(rknn_inputs_set(bad, 0, nullptr), RKNN_ERR_CTX_INVALID);
    EXPECT_EQ(rknn_run(bad, nullptr), RKNN_ERR_CTX_INVALID);
    EXPECT_EQ(rknn_outputs_get(bad, 3, out, nullptr), RKNN_ERR_CTX_INVALID);
    EXPECT_EQ(rknn_outputs_release(bad, 3, out), RKNN_ERR_CTX_INVALID);
    EXPECT_EQ(rknn_destroy(bad), RKNN_ERR_CTX_INVALID);
  }

  rknn_tensor_attr attr{};
  rknn_sdk_version version{};
  EXPECT_EQ(rknn_query(rt.ctx, RKNN_QUERY_IN_OUT_NUM, &num, 7), RKNN_ERR_PARAM_INVALID);
  EXPECT_EQ(rknn_query(rt.ctx, RKNN_QUERY_OUTPUT_ATTR, &attr, 372), RKNN_ERR_PARAM_INVALID);
  EXPECT_EQ(rknn_query(rt.ctx, RKNN_QUERY_SDK_VERSION, &version, 256), RKNN_ERR_PARAM_INVALID);
  attr.index = 3;
  EXPECT_EQ(rknn_query(rt.ctx, RKNN_QUERY_OUTPUT_ATTR, &attr, sizeof(attr)),
            RKNN_ERR_PARAM_INVALID);
  EXPECT_EQ(rknn_run(rt.ctx, nullptr), RKNN_ERR_INPUT_INVALID);         // nothing bound
  EXPECT_EQ(rknn_outputs_get(rt.ctx, 3, out, nullptr), RKNN_ERR_FAIL);  // nothing run

  std::vector<uint8_t> input(2u * 640 * 640 * 3, 0);
  rknn_input in = input_record(input, RKNN_TENSOR_NHWC);
  in.size -= 1;
  EXPECT_EQ(rknn_inputs_set(rt.ctx, 1, &in), RKNN_ERR_PARAM_INVALID);
  in.size += 1;
  in.type = RKNN_TENSOR_FLOAT32;
  EXPECT_EQ(rknn_inputs_set(rt.ctx, 1, &in), RKNN_ERR_PARAM_INVALID);
  in.type = RKNN_TENSOR_UINT8;
  ASSERT_EQ(rknn_inputs_set(rt.ctx, 1, &in), RKNN_SUCC);
  ASSERT_EQ(rknn_run(rt.ctx, nullptr), RKNN_SUCC);
  EXPECT_EQ(rknn_outputs_get(rt.ctx, 2, out, nullptr), RKNN_ERR_PARAM_INVALID);
  out[1].is_prealloc = 1;  // without a buffer
  EXPECT_EQ(rknn_outputs_get(rt.ctx, 3, out, nullptr), RKNN_ERR_PARAM_INVALID);
  EXPECT_EQ(host_rknn::outstanding_output_buffers(rt.ctx), 0u);  // nothing handed out
}

TEST(RknnRuntime, ReportsTheTensorsOfTheModelFile)
{
  ModelSpec model_spec;
  model_spec.input_dims = {2, 3, 256, 416};
  model_spec.input_fmt = RKNN_TENSOR_NCHW;
  model_spec.classes = 3;
  model_spec.outputs = {{-64, 0.03125f}, {-10, 0.05f}, {5, 0.1f}};
  model_spec.sdk_version = "1.2.3 (test)";
  Runtime rt(model_spec);
  ASSERT_EQ(rt.status, RKNN_SUCC);

  rknn_sdk_version version{};
  ASSERT_EQ(rknn_query(rt.ctx, RKNN_QUERY_SDK_VERSION, &version, sizeof(version)), RKNN_SUCC);
  EXPECT_STREQ(version.api_version, "1.2.3 (test)");
  rknn_input_output_num num{};
  ASSERT_EQ(rknn_query(rt.ctx, RKNN_QUERY_IN_OUT_NUM, &num, sizeof(num)), RKNN_SUCC);
  EXPECT_EQ(num.n_input, 1u);
  EXPECT_EQ(num.n_output, 3u);

  const rknn_tensor_attr in = rt.attr(RKNN_QUERY_INPUT_ATTR, 0);
  EXPECT_EQ(in.fmt, RKNN_TENSOR_NCHW);
  EXPECT_EQ(in.type, RKNN_TENSOR_UINT8);
  EXPECT_EQ(std::vector<uint32_t>(in.dims, in.dims + 4), (std::vector<uint32_t>{2, 3, 256, 416}));
  EXPECT_EQ(in.size, 2u * 3u * 256u * 416u);
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const rknn_tensor_attr out = rt.attr(RKNN_QUERY_OUTPUT_ATTR, i);
    const uint32_t gh = 256u >> (3 + i), gw = 416u >> (3 + i);
    EXPECT_EQ(out.index, i);
    EXPECT_EQ(out.type, RKNN_TENSOR_INT8);
    EXPECT_EQ(std::vector<uint32_t>(out.dims, out.dims + 4),
              (std::vector<uint32_t>{2, 24, gh, gw}));
    EXPECT_EQ(out.size, 2u * 24u * gh * gw);
    EXPECT_EQ(out.zp, model_spec.outputs[i].zp);
    EXPECT_FLOAT_EQ(out.scale, model_spec.outputs[i].scale);
  }
}

TEST(RknnRuntime, OutputBuffersBelongToTheRuntimeUntilReleased)
{
  ModelSpec model_spec;
  model_spec.backend = host_rknn::Backend::kScripted;
  model_spec.runs = {{{{2, 100, 100, 200, 180, 0.8f, 0.99f}}, {}}};
  Runtime rt(model_spec);
  std::vector<uint8_t> input(2u * 640 * 640 * 3, 0);
  std::vector<rknn_output> outputs;
  ASSERT_EQ(infer(rt, input, outputs), RKNN_SUCC);
  EXPECT_EQ(host_rknn::outstanding_output_buffers(rt.ctx), 3u);
  EXPECT_EQ(outputs[0].size, 2u * 39u * 6400u);

  // A second fetch before release gets buffers of its own; floats are the dequantised values.
  std::vector<rknn_output> floats(3, rknn_output{});
  for (rknn_output & o : floats) o.want_float = 1;
  ASSERT_EQ(rknn_outputs_get(rt.ctx, 3, floats.data(), nullptr), RKNN_SUCC);
  EXPECT_EQ(host_rknn::outstanding_output_buffers(rt.ctx), 6u);
  EXPECT_EQ(floats[1].size, outputs[1].size * sizeof(float));
  const auto * q = static_cast<const int8_t *>(outputs[1].buf);
  const auto * f = static_cast<const float *>(floats[1].buf);
  for (std::size_t k = 0; k < outputs[1].size; k += 997) {
    EXPECT_FLOAT_EQ(f[k], (q[k] - model_spec.outputs[1].zp) * model_spec.outputs[1].scale);
  }

  EXPECT_EQ(rknn_outputs_release(rt.ctx, 3, outputs.data()), RKNN_SUCC);
  EXPECT_EQ(host_rknn::outstanding_output_buffers(rt.ctx), 3u);
  EXPECT_EQ(rknn_outputs_release(rt.ctx, 3, outputs.data()), RKNN_ERR_PARAM_INVALID);  // twice
  // Buffers still held at destroy go with the context (the leak checker watches this).
  EXPECT_EQ(rknn_destroy(rt.ctx), RKNN_SUCC);
  rt.ctx = 0;
}

TEST(RknnRuntime, ColourKeyBoxesComeBackThroughTheDecoderAtCameraResolution)
{
  const ModelSpec model_spec;  // 640 x 640, NHWC, 8 classes
  struct Camera
  {
    int width, height;
    std::vector<Painted> painted;
  };
  const Camera cameras[2] = {
      {1280, 720, {{3, {100, 200, 300, 250}}, {6, {900, 100, 181, 501}}, {0, {1200, 650, 80, 70}}}},
      {640, 480, {{4, {0, 0, 50, 50}}, {5, {300, 240, 17, 23}}, {3, {400, 100, 239, 379}}}},
  };
  std::vector<cv::Mat> model_images;
  for (const Camera & cam : cameras) {
    cv::Mat img = grey_image(cam.width, cam.height);
    for (const Painted & p : cam.painted) cv::rectangle(img, p.rect, key(p.class_id), cv::FILLED);
    cv::Mat resized;
    cv::resize(img, resized, cv::Size(640, 640), 0, 0, cv::INTER_LINEAR);  // as the node does
    model_images.push_back(resized);
  }
  Runtime rt(model_spec);
  std::vector<uint8_t> input = batch_buffer(model_images);
  std::vector<rknn_output> outputs;
  ASSERT_EQ(infer(rt, input, outputs), RKNN_SUCC);
  for (int slot = 1; slot <= 2; ++slot) {
    SCOPED_TRACE(::testing::Message() << "slot " << slot);
    const Camera & cam = cameras[slot - 1];
    const float sw = 640.0f / static_cast<float>(cam.width);
    const float sh = 640.0f / static_cast<float>(cam.height);
    const auto objects = decode_slot(rt, model_spec, outputs, slot, sw, sh);
    // One model pixel, plus one camera pixel for the final truncation.
    expect_found(objects, cam.painted, 1.0f / sw + 1.0f, 1.0f / sh + 1.0f);
    for (const DetectedObject & o : objects) {
      EXPECT_NEAR(o.score, 0.9f, 0.01f);
    }
  }
  EXPECT_EQ(rknn_outputs_release(rt.ctx, 3, outputs.data()), RKNN_SUCC);
}

// Largest edge error, in model pixels, of the float boxes decoded from `rounds` paintings of
// two random rectangles per image (one per image half) with sides of min_side to max_side.
float worst_edge_error(const Runtime & rt, const ModelSpec & model_spec, int min_side, int max_side,
                       int rounds, unsigned seed)
{
  std::mt19937 rng(seed);
  const auto pick = [&](int lo, int hi) {
    return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1));
  };
  const veltrax_cv_model::DecoderSettings s = settings_for(model_spec);
  const auto quant = quantization(rt);
  float worst = 0.0f;
  for (int round = 0; round < rounds; ++round) {
    std::vector<cv::Mat> images{grey_image(640, 640), grey_image(640, 640)};
    std::vector<std::vector<Painted>> painted(2);
    for (std::size_t slot = 0; slot < 2; ++slot) {
      for (int half = 0; half < 2; ++half) {
        const int w = pick(min_side, max_side), h = pick(min_side, std::min(max_side, 316));
        const cv::Rect r(pick(0, 640 - w), 324 * half + pick(0, 316 - h), w, h);
        painted[slot].push_back({pick(0, 7), r});
        cv::rectangle(images[slot], r, key(painted[slot].back().class_id), cv::FILLED);
      }
    }
    std::vector<uint8_t> input = batch_buffer(images);
    std::vector<rknn_output> outputs;
    EXPECT_EQ(infer(rt, input, outputs), RKNN_SUCC);
    for (int slot = 1; slot <= 2; ++slot) {
      std::vector<float> boxes, scores;
      std::vector<int32_t> ids;
      for (int head = 0; head < 3; ++head) {
        const std::size_t off = veltrax_cv_model::head_slot_offset(s, head, slot);
        veltrax_cv_model::decodeBoxes(static_cast<const int8_t *>(outputs[head].buf) + off,
                                      outputs[head].size - off, head, s, quant[head], boxes, scores,
                                      ids);
      }
      EXPECT_EQ(ids.size(), 2u) << "round " << round << " slot " << slot;
      for (const Painted & p : painted[static_cast<std::size_t>(slot - 1)]) {
        float best = INFINITY;
        for (std::size_t c = 0; c < ids.size(); ++c) {
          const float * b = &boxes[4 * c];
          if (ids[c] != p.class_id) continue;
          best = std::min(best, std::max({std::abs(b[0] - p.rect.x), std::abs(b[1] - p.rect.y),
                                          std::abs(b[0] + b[2] - p.rect.br().x),
                                          std::abs(b[1] + b[3] - p.rect.br().y)}));
        }
        worst = std::max(worst, best);
      }
    }
    rknn_outputs_release(rt.ctx, 3, outputs.data());
  }
  return worst;
}

TEST(RknnRuntime, ColourKeyBoxesDecodeWithinAboutAPixelOfThePainting)
{
  // No resize here: only the int8 grid limits the precision. One raw step of a large anchor's
  // size moves an edge by more than a pixel, so big boxes get a looser bound.
  const ModelSpec model_spec;
  Runtime rt(model_spec);
  EXPECT_LE(worst_edge_error(rt, model_spec, 4, 256, 40, 7u), 1.1f);
  EXPECT_LE(worst_edge_error(rt, model_spec, 256, 600, 20, 8u), 3.5f);
}

TEST(RknnRuntime, ColourKeyIgnoresSpecksNearMissesAndUnknownClasses)
{
  ModelSpec model_spec;
  model_spec.classes = 3;  // key colours 3 .. 7 mean nothing to this model
  model_spec.input_fmt = RKNN_TENSOR_NCHW;
  model_spec.input_dims = {2, 3, 640, 640};
  Runtime rt(model_spec);
  std::vector<cv::Mat> images{grey_image(640, 640), grey_image(640, 640)};
  cv::rectangle(images[0], cv::Rect(10, 10, 3, 5), key(1), cv::FILLED);      // 15 px: a speck
  cv::rectangle(images[0], cv::Rect(100, 100, 4, 4), key(1), cv::FILLED);    // 16 px: found
  cv::rectangle(images[0], cv::Rect(300, 300, 50, 50), key(4), cv::FILLED);  // unknown class
  const cv::Scalar k2 = key(2);
  cv::rectangle(images[1], cv::Rect(50, 50, 80, 80), k2 + cv::Scalar(5, 0, 0), cv::FILLED);
  cv::rectangle(images[1], cv::Rect(400, 50, 80, 80), k2 + cv::Scalar(-4, 4, -4), cv::FILLED);

  std::vector<uint8_t> input = batch_buffer(images, /*planar=*/true);
  std::vector<rknn_output> outputs;
  ASSERT_EQ(infer(rt, input, outputs, RKNN_TENSOR_NCHW), RKNN_SUCC);
  expect_found(decode_slot(rt, model_spec, outputs, 1), {{1, {100, 100, 4, 4}}}, 1.0f, 1.0f);
  expect_found(decode_slot(rt, model_spec, outputs, 2), {{2, {400, 50, 80, 80}}}, 1.0f, 1.0f);
  rknn_outputs_release(rt.ctx, 3, outputs.data());
}

TEST(RknnRuntime, ScriptedRunsCycleAndKeepTheirScores)
{
  ModelSpec model_spec;
  model_spec.backend = host_rknn::Backend::kScripted;
  model_spec.classes = 3;
  model_spec.runs = {
      {{{0, 10, 20, 110, 220, 0.7f, 0.99f}}, {{2, 300, 300, 340, 330, 0.6f, 0.99f}}},
      {{}, {}},
      // The second detection's objectness is below the decoder's threshold: not reported.
      {{{1, 500, 500, 639, 639, 0.95f, 0.99f}, {1, 0, 400, 60, 470, 0.8f, 0.2f}}, {}},
  };
  Runtime rt(model_spec);
  std::vector<uint8_t> input(2u * 640 * 640 * 3, 0);
  for (int run = 0; run < 5; ++run) {
    const host_rknn::ScriptedRun & expected = model_spec.runs[static_cast<std::size_t>(run % 3)];
    std::vector<rknn_output> outputs;
    ASSERT_EQ(infer(rt, input, outputs), RKNN_SUCC);
    for (int slot = 1; slot <= 2; ++slot) {
      SCOPED_TRACE(::testing::Message() << "run " << run << " slot " << slot);
      const auto & dets = slot == 1 ? expected.slot1 : expected.slot2;
      std::vector<Painted> reported;
      if (!dets.empty()) {
        const host_rknn::Detection & d = dets[0];
        reported.push_back(
            {d.class_id, cv::Rect(cv::Point2f(d.x1, d.y1), cv::Point2f(d.x2, d.y2))});
      }
      const auto objects = decode_slot(rt, model_spec, outputs, slot);
      expect_found(objects, reported, 1.0f, 1.0f);
      if (!objects.empty()) {
        EXPECT_NEAR(objects[0].score, dets[0].score, 0.01f);
      }
    }
    rknn_outputs_release(rt.ctx, 3, outputs.data());
  }
}

// The node's calls in its order (set-up, then `cycles` inference cycles); the first failing
// call as "<call>@<n-th call of its kind>", or "ok".
std::string first_failure(rknn_context ctx, int cycles)
{
  rknn_sdk_version version{};
  if (rknn_query(ctx, RKNN_QUERY_SDK_VERSION, &version, sizeof(version)) < 0) return "sdk@1";
  rknn_input_output_num num{};
  if (rknn_query(ctx, RKNN_QUERY_IN_OUT_NUM, &num, sizeof(num)) < 0) return "in_out_num@1";
  rknn_tensor_attr attr{};
  if (rknn_query(ctx, RKNN_QUERY_INPUT_ATTR, &attr, sizeof(attr)) < 0) return "input_attr@1";
  for (uint32_t i = 0; i < num.n_output; ++i) {
    attr.index = i;
    if (rknn_query(ctx, RKNN_QUERY_OUTPUT_ATTR, &attr, sizeof(attr)) < 0) {
      return "output_attr@" + std::to_string(i + 1);
    }
  }
  std::vector<uint8_t> input(2u * 640 * 640 * 3, 0);
  rknn_input in = input_record(input, RKNN_TENSOR_NHWC);
  for (int n = 1; n <= cycles; ++n) {
    if (rknn_inputs_set(ctx, 1, &in) < 0) return "inputs_set@" + std::to_string(n);
    if (rknn_run(ctx, nullptr) < 0) return "run@" + std::to_string(n);
    rknn_output out[3]{};
    if (rknn_outputs_get(ctx, 3, out, nullptr) < 0) return "outputs_get@" + std::to_string(n);
    rknn_outputs_release(ctx, 3, out);
  }
  return "ok";
}

TEST(RknnRuntime, InjectedFaultsStartAtTheirCall)
{
  using host_rknn::Faults;
  struct Case
  {
    host_rknn::Fault Faults::*kind;
    uint32_t from_call;
    const char * expected;
  };
  const Case cases[] = {
      {&Faults::query_sdk_version, 1, "sdk@1"},
      {&Faults::query_in_out_num, 1, "in_out_num@1"},
      {&Faults::query_input_attr, 1, "input_attr@1"},
      {&Faults::query_output_attr, 2, "output_attr@2"},
      {&Faults::query_output_attr, 4, "ok"},  // only three outputs are queried
      {&Faults::inputs_set, 1, "inputs_set@1"},
      {&Faults::run, 3, "run@3"},
      {&Faults::outputs_get, 2, "outputs_get@2"},
  };
  for (const Case & c : cases) {
    ModelSpec model_spec;
    model_spec.faults.*(c.kind) = {RKNN_ERR_DEVICE_UNAVAILABLE, c.from_call};
    Runtime rt(host_rknn::parse_model(host_rknn::to_yaml(model_spec)));  // through the file format
    ASSERT_EQ(rt.status, RKNN_SUCC);
    EXPECT_EQ(first_failure(rt.ctx, 4), c.expected);
  }
  ModelSpec failing_init;
  failing_init.faults.init = {RKNN_ERR_MODEL_INVALID, 1};
  Runtime rt(failing_init);
  EXPECT_EQ(rt.status, RKNN_ERR_MODEL_INVALID);
  EXPECT_EQ(rt.ctx, 0u);
}

TEST(RknnRuntime, AFaultWithAnEndLetsTheRuntimeComeBack)
{
  ModelSpec model_spec;
  model_spec.faults.run = {RKNN_ERR_DEVICE_UNAVAILABLE, 2, 3};
  Runtime rt(host_rknn::parse_model(host_rknn::to_yaml(model_spec)));
  ASSERT_EQ(rt.status, RKNN_SUCC);
  std::vector<uint8_t> input(2u * 640 * 640 * 3, 0);
  rknn_input in = input_record(input, RKNN_TENSOR_NHWC);
  std::vector<int> statuses;
  for (int n = 1; n <= 5; ++n) {
    ASSERT_EQ(rknn_inputs_set(rt.ctx, 1, &in), RKNN_SUCC);
    statuses.push_back(rknn_run(rt.ctx, nullptr));
  }
  EXPECT_EQ(statuses, (std::vector<int>{RKNN_SUCC, RKNN_ERR_DEVICE_UNAVAILABLE,
                                        RKNN_ERR_DEVICE_UNAVAILABLE, RKNN_SUCC, RKNN_SUCC}));

  model_spec.faults.run = {RKNN_ERR_DEVICE_UNAVAILABLE, 3, 2};
  EXPECT_THROW(host_rknn::parse_model(host_rknn::to_yaml(model_spec)), std::runtime_error);
}

TEST(RknnRuntime, ModelsOutsideTheNodesContractAreReportedAsDeclared)
{
  ModelSpec batch1;
  batch1.input_dims = {1, 640, 640, 3};
  Runtime one(batch1);
  EXPECT_EQ(one.attr(RKNN_QUERY_INPUT_ATTR, 0).dims[0], 1u);
  EXPECT_EQ(one.attr(RKNN_QUERY_OUTPUT_ATTR, 0).size, 39u * 6400u);  // a single slot

  ModelSpec two_outputs;
  two_outputs.outputs.resize(2);
  Runtime two(two_outputs);
  EXPECT_EQ(first_failure(two.ctx, 1), "outputs_get@1");  // the node asks for three

  ModelSpec no_input;
  no_input.has_input = false;
  Runtime none(no_input);
  EXPECT_EQ(first_failure(none.ctx, 1), "input_attr@1");
  EXPECT_EQ(rknn_inputs_set(none.ctx, 0, nullptr), RKNN_ERR_PARAM_INVALID);

  // Found by the model-file fuzzer: an input narrower or lower than a head's stride gives that
  // head an empty grid, whose null data pointer run and outputs_get passed to memset / memcpy
  // (undefined even for zero bytes; UBSan stops `make sanitize` on it).
  for (const std::array<uint32_t, 4> dims :
       {std::array<uint32_t, 4>{1, 16, 6, 3}, std::array<uint32_t, 4>{1, 4, 16, 3}}) {
    SCOPED_TRACE(::testing::Message() << dims[1] << " x " << dims[2]);
    ModelSpec tiny;
    tiny.input_dims = dims;
    tiny.outputs.resize(1);
    Runtime rt(tiny);
    ASSERT_EQ(rt.status, RKNN_SUCC);
    EXPECT_EQ(rt.attr(RKNN_QUERY_OUTPUT_ATTR, 0).n_elems, 0u);
    std::vector<uint8_t> input(std::size_t{dims[1]} * dims[2] * dims[3]);
    rknn_input in = input_record(input, RKNN_TENSOR_NHWC);
    ASSERT_EQ(rknn_inputs_set(rt.ctx, 1, &in), RKNN_SUCC);
    ASSERT_EQ(rknn_run(rt.ctx, nullptr), RKNN_SUCC);
    for (const uint8_t want_float : {0, 1}) {
      rknn_output out{};
      out.want_float = want_float;
      ASSERT_EQ(rknn_outputs_get(rt.ctx, 1, &out, nullptr), RKNN_SUCC);
      EXPECT_EQ(out.size, 0u);
      EXPECT_EQ(rknn_outputs_release(rt.ctx, 1, &out), RKNN_SUCC);
    }
  }
}

TEST(RknnRuntime, ShippedModelFilesLoad)
{
  for (const char * name : {"colour_key_640.yaml", "scripted_example.yaml"}) {
    std::ifstream file(std::string(VELTRAX_MODELS_DIR) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string bytes = text.str();
    rknn_context ctx = 0;
    EXPECT_EQ(rknn_init(&ctx, bytes.data(), static_cast<uint32_t>(bytes.size()), 0, nullptr),
              RKNN_SUCC)
        << name;
    EXPECT_EQ(first_failure(ctx, 3), "ok") << name;
    rknn_destroy(ctx);
  }
}

TEST(RknnRuntime, ContextsServeSeveralThreads)
{
  ModelSpec model_spec;
  model_spec.backend = host_rknn::Backend::kScripted;
  model_spec.runs = {{{{1, 10, 10, 50, 50, 0.9f, 0.99f}}, {}}};
  Runtime shared(model_spec);
  Runtime own(model_spec);
  const auto work = [&model_spec](const Runtime & rt) {
    std::vector<uint8_t> input(2u * 640 * 640 * 3, 0);
    for (int i = 0; i < 20; ++i) {
      std::vector<rknn_output> outputs;
      EXPECT_EQ(infer(rt, input, outputs), RKNN_SUCC);
      EXPECT_EQ(decode_slot(rt, model_spec, outputs, 1).size(), 1u);
      EXPECT_EQ(rknn_outputs_release(rt.ctx, 3, outputs.data()), RKNN_SUCC);
    }
  };
  std::thread a(work, std::cref(shared)), b(work, std::cref(shared)), c(work, std::cref(own));
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(host_rknn::outstanding_output_buffers(shared.ctx), 0u);
}

// A model file for one of the generated networks (host/rknn/models/make_onnx_models.py).
ModelSpec onnx_model(const std::string & file, uint32_t network_batch = 1)
{
  ModelSpec model_spec;
  model_spec.backend = host_rknn::Backend::kOnnx;
  model_spec.onnx.path = std::string(ONNX_MODELS_DIR) + "/" + file;
  model_spec.onnx.batch = network_batch;
  return model_spec;
}

TEST(RknnRuntime, OnnxModelsOutsideTheLayoutAreRefusedWithWhatWasFound)
{
  struct Case
  {
    const char * file;
    const char * line;  // part of the runtime's ERROR line
  };
  const Case cases[] = {
      {"missing.onnx", "cannot be read"},
      {"bad_not_onnx.onnx", "is not an ONNX model"},
      {"bad_input_rank.onnx",
       "input 'images' is [3, 640, 640]; the model file needs [1, 3, 640, 640]"},
      {"bad_input_size.onnx", "input 'images' is [1, 3, 320, 320]"},
      {"bad_two_outputs.onnx", "2 outputs found; three heads needed"},
      {"bad_narrow_heads.onnx", "is [1, 27, 80, 80]: too few channels for 8 classes"},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.file);
    testing::internal::CaptureStderr();
    Runtime rt(onnx_model(c.file));
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rt.status, RKNN_ERR_MODEL_INVALID);
    EXPECT_EQ(rt.ctx, 0u);
    EXPECT_NE(printed.find(std::string("E host_rknn: onnx model ") + ONNX_MODELS_DIR),
              std::string::npos);
    EXPECT_NE(printed.find(c.line), std::string::npos) << printed;
  }
}

TEST(RknnRuntime, OnnxNanOutputsBecomeEmptyCellsWithOneWarning)
{
  Runtime rt(onnx_model("bad_nan_outputs.onnx"));
  ASSERT_EQ(rt.status, RKNN_SUCC);
  std::vector<uint8_t> input = batch_buffer({grey_image(640, 640), grey_image(640, 640)});
  std::vector<rknn_output> outputs;
  testing::internal::CaptureStderr();
  ASSERT_EQ(infer(rt, input, outputs), RKNN_SUCC);
  rknn_outputs_release(rt.ctx, 3, outputs.data());
  ASSERT_EQ(infer(rt, input, outputs), RKNN_SUCC);
  const std::string printed = testing::internal::GetCapturedStderr();
  for (const rknn_output & out : outputs) {
    const auto * values = static_cast<const int8_t *>(out.buf);
    EXPECT_EQ(std::count(values, values + out.size, int8_t{-128}), static_cast<long>(out.size));
  }
  EXPECT_EQ(decode_slot(rt, onnx_model(""), outputs, 1).size(), 0u);
  // Every value of both slots, in one line for the context rather than one per run.
  EXPECT_NE(printed.find("run 1 gave 655200 NaN output values, written as -128"), std::string::npos)
      << printed;
  EXPECT_EQ(printed.find("run 2"), std::string::npos);
  rknn_outputs_release(rt.ctx, 3, outputs.data());
}

TEST(RknnRuntime, OnnxYolov5sLayoutRunsBothSlotsInOneBatchWithMeasuredQuantisation)
{
  // Under qemu the two passes of this full-size network take OpenCV's emulated vector code about
  // 7 minutes, a quarter of the cross build's test budget, and say nothing about the robot; the
  // quantisation they check runs there through the small networks of the other onnx tests.
  // Under ThreadSanitizer they take longer than the test's limit in one thread of OpenCV's dnn,
  // which that build does not instrument.
  if (HOST_TESTS_EMULATED || HOST_TESTS_THREAD_SANITIZER) {
    GTEST_SKIP() << "full-size network under an emulator or ThreadSanitizer";
  }
  ModelSpec model_spec = onnx_model("yolov5s_random_640.onnx", 2);
  for (host_rknn::OutputQuantization & q : model_spec.outputs) {
    q.measured = true;
  }
  Runtime rt(model_spec);
  ASSERT_EQ(rt.status, RKNN_SUCC);
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const rknn_tensor_attr a = rt.attr(RKNN_QUERY_OUTPUT_ATTR, i);
    const uint32_t grid = 80u >> i;
    EXPECT_EQ(std::vector<uint32_t>(a.dims, a.dims + 4),
              (std::vector<uint32_t>{2, 39, grid, grid}));
    EXPECT_EQ(a.type, RKNN_TENSOR_INT8);
    // Measured from the grey calibration batch: a range that holds 0, spread over 255 steps.
    EXPECT_GT(a.scale, 0.0f);
    EXPECT_GT(a.zp, -128);
    EXPECT_LT(a.zp, 127);
    EXPECT_NE(a.scale, host_rknn::OutputQuantization{}.scale);
  }

  // A different image per slot: the slots differ, and the float outputs are the int8 ones
  // dequantised, as the vendor's runtime hands them out.
  cv::theRNG().state = 18;
  cv::Mat noise(640, 640, CV_8UC3);
  cv::randu(noise, 0, 256);
  std::vector<uint8_t> input = batch_buffer({grey_image(640, 640), noise});
  std::vector<rknn_output> outputs;
  ASSERT_EQ(infer(rt, input, outputs), RKNN_SUCC);
  std::vector<rknn_output> floats(3, rknn_output{});
  for (rknn_output & f : floats) f.want_float = 1;
  ASSERT_EQ(rknn_outputs_get(rt.ctx, 3, floats.data(), nullptr), RKNN_SUCC);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const auto * q = static_cast<const int8_t *>(outputs[i].buf);
    const auto * f = static_cast<const float *>(floats[i].buf);
    const std::size_t slot = outputs[i].size / 2;
    EXPECT_FALSE(std::equal(q, q + slot, q + slot));
    const rknn_tensor_attr a = rt.attr(RKNN_QUERY_OUTPUT_ATTR, static_cast<uint32_t>(i));
    EXPECT_FLOAT_EQ(f[slot + 7], (q[slot + 7] - a.zp) * a.scale);
  }
  rknn_outputs_release(rt.ctx, 3, outputs.data());
  rknn_outputs_release(rt.ctx, 3, floats.data());
}

}  // namespace
