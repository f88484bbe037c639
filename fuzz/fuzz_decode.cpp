// Decoding of random quantised heads: geometry, class counts, quantisation and thresholds from
// the input, head buffers exactly as long as the input says (so ASan sees every overread).

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "fuzz_support.hpp"
#include "veltrax_cv_model/yolo_decode.hpp"

namespace vcm = veltrax_cv_model;

namespace
{

using fuzz_support::check;
using fuzz_support::pick_int;
using fuzz_support::raw_float;

// A heap block of exactly `size` bytes, filled by cycling `pattern`.
struct HeadBuffer
{
  std::unique_ptr<int8_t[]> bytes;
  std::size_t size{0};
};

HeadBuffer make_head(std::size_t size, const std::vector<int8_t> & pattern)
{
  HeadBuffer head;
  head.size = size;
  head.bytes.reset(new int8_t[size == 0 ? 1 : size]);
  for (std::size_t i = 0; i < size; ++i) {
    head.bytes[i] = pattern.empty() ? static_cast<int8_t>(i * 37) : pattern[i % pattern.size()];
  }
  return head;
}

bool is_descending(const std::vector<float> & scores, int lo, int hi)
{
  for (int i = lo; i < hi; ++i) {
    const float a = scores[static_cast<std::size_t>(i)];
    const float b = scores[static_cast<std::size_t>(i + 1)];
    if (std::isfinite(a) && std::isfinite(b) && a < b) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, std::size_t size)
{
  FuzzedDataProvider fdp(data, size);
  const bool wide = fdp.ConsumeBool();

  vcm::DecoderSettings settings;
  settings.model_width = pick_int(fdp, wide, -4, 256);
  settings.model_height = pick_int(fdp, wide, -4, 256);
  for (auto & stride : settings.strides) {
    stride = pick_int(fdp, wide, -1, 64);
  }
  bool anchors_non_negative = true;
  for (auto & anchor : settings.anchors) {
    anchor = pick_int(fdp, wide, 0, 400);
    anchors_non_negative = anchors_non_negative && anchor >= 0;
  }
  settings.obj_class_num = pick_int(fdp, wide, -2, 12);
  settings.box_conf_threshold =
      wide ? raw_float(fdp) : fdp.ConsumeFloatingPointInRange<float>(0.0f, 1.0f);
  settings.nms_threshold =
      wide ? raw_float(fdp) : fdp.ConsumeFloatingPointInRange<float>(0.0f, 1.0f);

  std::array<vcm::HeadQuantization, vcm::kHeadCount> quant{};
  bool scales_finite = true;
  for (auto & q : quant) {
    q.zp = pick_int(fdp, wide, -128, 127);
    q.scale = wide ? raw_float(fdp) : fdp.ConsumeFloatingPointInRange<float>(1e-4f, 1.0f);
    scales_finite = scales_finite && std::isfinite(q.scale);
  }
  const int slot = fdp.ConsumeIntegralInRange<int>(-1, 3);
  const int image_width = fdp.ConsumeIntegralInRange<int>(1, 4096);
  const int image_height = fdp.ConsumeIntegralInRange<int>(1, 4096);

  // Each head either fits its slot give or take a few bytes, or has a length of its own. Heads
  // stay small enough (a few thousand candidates) that the quadratic suppression does not turn
  // runs into timeouts; its cost at a real model's size is measured in bench/bench_decode.
  std::array<HeadBuffer, vcm::kHeadCount> heads;
  const std::vector<int8_t> pattern = fdp.ConsumeBytes<int8_t>(fdp.ConsumeIntegralInRange(0, 512));
  for (int i = 0; i < vcm::kHeadCount; ++i) {
    const std::size_t slot_end =
        vcm::head_slot_offset(settings, i, slot) + vcm::head_slot_elements(settings, i);
    std::size_t length = fdp.ConsumeIntegralInRange<std::size_t>(0, 4096);
    if (fdp.ConsumeBool() && slot_end <= (std::size_t{1} << 13)) {
      const auto delta = fdp.ConsumeIntegralInRange<int>(-2, 2);
      length = delta < 0 && slot_end < 2 ? 0 : slot_end + static_cast<std::size_t>(delta);
    }
    heads[static_cast<std::size_t>(i)] = make_head(length, pattern);
  }
  std::array<vcm::HeadView, vcm::kHeadCount> views{};
  for (std::size_t i = 0; i < views.size(); ++i) {
    views[i] = {fdp.ConsumeBool() ? nullptr : heads[i].bytes.get(), heads[i].size};
  }

  const bool model_positive = settings.model_width > 0 && settings.model_height > 0;
  const float scale_w =
      model_positive ? static_cast<float>(settings.model_width) / static_cast<float>(image_width)
                     : 1.0f;
  const float scale_h =
      model_positive ? static_cast<float>(settings.model_height) / static_cast<float>(image_height)
                     : 1.0f;
  const vcm::SlotDetections result =
      vcm::post_process(views, quant, settings, slot, scale_w, scale_h);

  check(result.candidate_count >= 0, "result.candidate_count >= 0");
  check(result.objects.size() <= static_cast<std::size_t>(result.candidate_count),
        "result.objects.size() <= static_cast<std::size_t>(result.candidate_count)");
  float previous = 2.0f;
  for (const vcm::DetectedObject & object : result.objects) {
    check(object.class_id >= 0 && object.class_id < settings.obj_class_num,
          "object.class_id >= 0 && object.class_id < settings.obj_class_num");
    if (scales_finite) {
      check(std::isfinite(object.score) && object.score >= 0.0f && object.score <= 1.0f,
            "std::isfinite(object.score) && object.score >= 0.0f && object.score <= 1.0f");
      check(object.score <= previous, "object.score <= previous");
      previous = object.score;
    }
    if (model_positive) {
      check(object.left >= 0 && object.top >= 0, "object.left >= 0 && object.top >= 0");
      check(object.right <= image_width && object.bottom <= image_height,
            "object.right <= image_width && object.bottom <= image_height");
      if (anchors_non_negative) {
        check(object.left <= object.right && object.top <= object.bottom,
              "object.left <= object.right && object.top <= object.bottom");
      }
    }
  }

  // The building blocks on their own: one head, then a sort over an arbitrary sub-range and a
  // suppression over a ranking that may name entries outside the candidate lists.
  const int head = fdp.ConsumeIntegralInRange<int>(-1, vcm::kHeadCount);
  const HeadBuffer & buffer = heads[static_cast<std::size_t>(std::clamp(head, 0, 2))];
  std::vector<float> boxes;
  std::vector<float> scores;
  std::vector<int32_t> class_ids;
  std::vector<vcm::CandidateCell> cells;
  const int appended = vcm::decodeBoxes(buffer.bytes.get(), buffer.size, head, settings,
                                        quant[static_cast<std::size_t>(std::clamp(head, 0, 2))],
                                        boxes, scores, class_ids, &cells);
  check(appended >= 0, "appended >= 0");
  const auto count = static_cast<std::size_t>(appended);
  check(boxes.size() == 4 * count && scores.size() == count && class_ids.size() == count &&
            cells.size() == count,
        "the four candidate lists agree with the count");
  const vcm::HeadGeometry geometry = vcm::head_geometry(settings, head);
  for (const vcm::CandidateCell & cell : cells) {
    check(cell.anchor >= 0 && cell.anchor < vcm::kAnchorsPerHead,
          "cell.anchor >= 0 && cell.anchor < vcm::kAnchorsPerHead");
    check(
        cell.row >= 0 && cell.row < geometry.grid_h && cell.col >= 0 && cell.col < geometry.grid_w,
        "candidate cell inside the grid");
  }

  std::vector<int32_t> indices(count + fdp.ConsumeIntegralInRange<std::size_t>(0, 2));
  for (std::size_t i = 0; i < indices.size(); ++i) {
    indices[i] = static_cast<int32_t>(i);
  }
  const int lo = fdp.ConsumeIntegralInRange<int>(-2, appended + 2);
  const int hi = fdp.ConsumeIntegralInRange<int>(-2, appended + 2);
  std::vector<float> sorted = scores;
  vcm::quickSortDescending(sorted, lo, hi, indices);
  check(sorted.size() == scores.size(), "sorted.size() == scores.size()");
  if (lo >= 0 && lo < hi &&
      static_cast<std::size_t>(hi) < std::min(sorted.size(), indices.size())) {
    check(is_descending(sorted, lo, hi), "sorted range descends");
    // std::sort needs a strict weak order, which NaN scores (a NaN scale) do not give.
    if (std::all_of(scores.begin(), scores.end(), [](float v) { return !std::isnan(v); })) {
      std::vector<float> expected = scores;
      std::sort(expected.begin() + lo, expected.begin() + hi + 1, std::greater<float>());
      std::vector<float> got = sorted;
      std::sort(got.begin() + lo, got.begin() + hi + 1, std::greater<float>());
      check(std::equal(got.begin(), got.end(), expected.begin()),
            "the sort only permutes its range");
    }
  } else {
    check(std::equal(sorted.begin(), sorted.end(), scores.begin(),
                     [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }),
          "a refused sort range leaves the scores untouched");
  }
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (fdp.ConsumeBool()) {
      indices[i] = fdp.ConsumeIntegralInRange<int32_t>(-2, appended + 2);
    }
  }
  const std::vector<int32_t> before = indices;
  vcm::suppress_per_class(boxes, class_ids, settings.nms_threshold, indices);
  for (std::size_t i = 0; i < indices.size(); ++i) {
    check(indices[i] == before[i] || indices[i] == -1,
          "indices[i] == before[i] || indices[i] == -1");
  }
  return 0;
}
