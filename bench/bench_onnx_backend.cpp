// The host NPU runtime's onnx backend on the generated YOLOv5s-layout network (random weights,
// batch 2, 640 x 640, 8 classes): a whole rknn_run, and the int8 quantisation of its heads alone.
#include <benchmark/benchmark.h>
#include <rknn_api.h>

#include <opencv2/core.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host_rknn/host_rknn.hpp"

namespace
{

constexpr const char * kModel = ONNX_MODELS_DIR "/yolov5s_random_640.yaml";
// Values per batch-2 head of strides 8, 16, 32: 2 x 39 x grid^2.
constexpr std::size_t kHeadValues[3] = {std::size_t{2} * 39 * 6400, std::size_t{2} * 39 * 1600,
                                        std::size_t{2} * 39 * 400};

void BM_OnnxYolov5sBatch2Run(benchmark::State & state)
{
  std::ifstream file(kModel, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::string bytes = text.str();
  rknn_context ctx = 0;
  if (rknn_init(&ctx, bytes.data(), static_cast<uint32_t>(bytes.size()), 0, nullptr) != RKNN_SUCC) {
    state.SkipWithError("cannot load the generated YOLOv5s-layout model");
    return;
  }
  cv::theRNG().state = 5;
  cv::Mat images(2 * 640, 640, CV_8UC3);
  cv::randu(images, 0, 256);
  rknn_input input{};
  input.buf = images.data;
  input.size = static_cast<uint32_t>(images.total() * images.elemSize());
  input.type = RKNN_TENSOR_UINT8;
  input.fmt = RKNN_TENSOR_NHWC;
  rknn_inputs_set(ctx, 1, &input);
  for (auto _ : state) {
    benchmark::DoNotOptimize(rknn_run(ctx, nullptr));
  }
  rknn_destroy(ctx);
}
BENCHMARK(BM_OnnxYolov5sBatch2Run)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_QuantiseYolov5sHeads(benchmark::State & state)
{
  std::vector<std::vector<float>> heads;
  std::vector<std::vector<int8_t>> quantised;
  cv::theRNG().state = 5;
  for (const std::size_t values : kHeadValues) {
    heads.emplace_back(values);
    cv::randn(cv::Mat(1, static_cast<int>(values), CV_32F, heads.back().data()), 0.0, 3.0);
    quantised.emplace_back(values);
  }
  const host_rknn::OutputQuantization quantisation{-10, 0.07f};
  for (auto _ : state) {
    for (std::size_t i = 0; i < heads.size(); ++i) {
      host_rknn::quantize_head(heads[i].data(), heads[i].size(), quantisation, quantised[i].data());
    }
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_QuantiseYolov5sHeads)->Unit(benchmark::kMicrosecond);

}  // namespace
