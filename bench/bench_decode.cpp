// Decoder post-processing of both batch slots of a 640 x 640 model, and the host NPU runtime's
// colour-key batch (bind + run + fetch) that feeds it on the PC.
#include <benchmark/benchmark.h>
#include <rknn_api.h>

#include <array>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "host_rknn/host_rknn.hpp"
#include "veltrax_cv_model/yolo_decode.hpp"

namespace
{

using veltrax_cv_model::DecoderSettings;
using veltrax_cv_model::HeadQuantization;
using veltrax_cv_model::HeadView;

constexpr HeadQuantization kQuant{-64, 1.0f / 32.0f};

// Both slots of the three heads, with `per_slot` cells passing the objectness threshold, spread
// over the heads by their cell counts; clusters of neighbouring cells mimic one object seen by
// several anchors, so suppression has work to do.
struct Heads
{
  Heads(const DecoderSettings & s, int per_slot, unsigned seed)
  {
    std::mt19937 rng(seed);
    for (int h = 0; h < 3; ++h) {
      data[h].assign(2 * veltrax_cv_model::head_slot_elements(s, h), -128);
    }
    const int cpa = s.channels_per_anchor();
    for (int slot = 1; slot <= 2; ++slot) {
      for (int n = 0; n < per_slot; ++n) {
        const int h = rng() % 21 < 16 ? 0 : (rng() % 5 < 4 ? 1 : 2);
        const auto g = veltrax_cv_model::head_geometry(s, h);
        const int a = static_cast<int>(rng() % 3);
        const int r = static_cast<int>(rng() % static_cast<unsigned>(g.grid_h));
        const int c = static_cast<int>(rng() % static_cast<unsigned>(g.grid_w));
        int8_t * cell = data[h].data() + veltrax_cv_model::head_slot_offset(s, h, slot) +
                        static_cast<std::size_t>(a) * cpa * g.cells() +
                        static_cast<std::size_t>(r) * g.grid_w + c;
        for (int k = 0; k < cpa; ++k) {
          cell[static_cast<std::size_t>(k) * g.cells()] =
              static_cast<int8_t>(static_cast<int>(rng() % 160) - 100);
        }
        cell[4 * g.cells()] = 60;  // logit 3.9: passes any usual threshold
      }
    }
  }

  std::array<HeadView, 3> views() const
  {
    return {HeadView{data[0].data(), data[0].size()}, HeadView{data[1].data(), data[1].size()},
            HeadView{data[2].data(), data[2].size()}};
  }

  std::array<std::vector<int8_t>, 3> data;
};

void BM_PostProcessBothSlots(benchmark::State & state)
{
  DecoderSettings s;
  s.obj_class_num = 8;
  s.nms_threshold = 0.45f;
  const Heads heads(s, static_cast<int>(state.range(0)), 42u);
  const auto views = heads.views();
  const std::array<HeadQuantization, 3> quant{kQuant, kQuant, kQuant};
  std::size_t kept = 0;
  for (auto _ : state) {
    const auto one = veltrax_cv_model::post_process(views, quant, s, 1, 0.5f, 0.888889f);
    const auto two = veltrax_cv_model::post_process(views, quant, s, 2, 0.5f, 0.888889f);
    kept = one.objects.size() + two.objects.size();
    benchmark::DoNotOptimize(kept);
  }
  state.counters["candidates_per_slot"] = static_cast<double>(state.range(0));
  state.counters["kept_both_slots"] = static_cast<double>(kept);
}
// Typical frame (~50 candidates per image), a pathological one (a low threshold on clutter) and
// the worst a 640 x 640 model can hand over (as many candidates as cells: a broken model).
BENCHMARK(BM_PostProcessBothSlots)->Arg(50)->Arg(3000)->Arg(25200)->Unit(benchmark::kMicrosecond);

void BM_HostRuntimeColourKeyBatch(benchmark::State & state)
{
  const host_rknn::ModelSpec model_spec;  // 640 x 640 NHWC, batch 2, 8 classes, colour key
  std::string text = host_rknn::to_yaml(model_spec);
  rknn_context ctx = 0;
  if (rknn_init(&ctx, text.data(), static_cast<uint32_t>(text.size()), 0, nullptr) != RKNN_SUCC) {
    state.SkipWithError("rknn_init failed");
    return;
  }
  std::vector<uint8_t> input;
  for (int slot = 0; slot < 2; ++slot) {
    cv::Mat img(640, 640, CV_8UC3, cv::Scalar(90, 100, 110));
    for (int k = 0; k < 4; ++k) {
      const host_rknn::KeyColour c = host_rknn::key_colours()[static_cast<std::size_t>(k) + 3];
      cv::rectangle(img, cv::Rect(40 + 140 * k, 60 + 100 * slot, 90, 200),
                    cv::Scalar(c.r, c.g, c.b), cv::FILLED);
    }
    input.insert(input.end(), img.data, img.data + img.total() * 3);
  }
  rknn_input in{};
  in.buf = input.data();
  in.size = static_cast<uint32_t>(input.size());
  in.type = RKNN_TENSOR_UINT8;
  in.fmt = RKNN_TENSOR_NHWC;
  for (auto _ : state) {
    rknn_output out[3]{};
    if (rknn_inputs_set(ctx, 1, &in) != RKNN_SUCC || rknn_run(ctx, nullptr) != RKNN_SUCC ||
        rknn_outputs_get(ctx, 3, out, nullptr) != RKNN_SUCC) {
      state.SkipWithError("inference failed");
      break;
    }
    benchmark::DoNotOptimize(out[0].buf);
    rknn_outputs_release(ctx, 3, out);
  }
  rknn_destroy(ctx);
}
BENCHMARK(BM_HostRuntimeColourKeyBatch)->Unit(benchmark::kMillisecond);

}  // namespace
