#include "veltrax_cv_model/yolo_decode.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <utility>

namespace veltrax_cv_model
{

namespace
{

// A float that is not a number, or lies beyond int32, must not reach a plain cast (that is UB).
int32_t truncate_to_int32(float v)
{
  if (std::isnan(v)) {
    return 0;
  }
  if (v >= 2147483648.0f) {
    return std::numeric_limits<int32_t>::max();
  }
  if (v <= -2147483648.0f) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(v);
}

int32_t clamp_to_frame(float v, int32_t limit)
{
  if (v <= 0.0f) {
    return 0;
  }
  if (v >= static_cast<float>(limit)) {
    return limit;
  }
  return truncate_to_int32(v);
}

// One partition step with the first element as pivot; returns the pivot's final position.
int partition_descending(std::vector<float> & scores, int lo, int hi,
                         std::vector<int32_t> & indices)
{
  const float key = scores[lo];
  const int32_t key_index = indices[lo];
  int l = lo;
  int h = hi;
  while (l < h) {
    while (l < h && scores[h] <= key) {
      --h;
    }
    scores[l] = scores[h];
    indices[l] = indices[h];
    while (l < h && scores[l] >= key) {
      ++l;
    }
    scores[h] = scores[l];
    indices[h] = indices[l];
  }
  scores[l] = key;
  indices[l] = key_index;
  return l;
}

void sort_range(std::vector<float> & scores, int lo, int hi, std::vector<int32_t> & indices)
{
  // The two sides are disjoint, so sorting them in either order gives the same result; recursing
  // into the smaller one bounds the stack depth by log2(n) (all-equal scores give n - 1 levels
  // otherwise, which is 25 200 for a full 640 x 640 grid).
  while (lo < hi) {
    const int l = partition_descending(scores, lo, hi, indices);
    if (l - lo < hi - l) {
      sort_range(scores, lo, l - 1, indices);
      lo = l + 1;
    } else {
      sort_range(scores, l + 1, hi, indices);
      hi = l - 1;
    }
  }
}

}  // namespace

HeadGeometry head_geometry(const DecoderSettings & settings, int head)
{
  HeadGeometry g;
  if (head < 0 || head >= kHeadCount) {
    return g;
  }
  const int32_t stride = settings.strides[static_cast<std::size_t>(head)];
  if (stride <= 0 || settings.model_width <= 0 || settings.model_height <= 0) {
    return g;
  }
  g.stride = stride;
  g.grid_h = settings.model_height / stride;
  g.grid_w = settings.model_width / stride;
  return g;
}

std::size_t head_slot_elements(const DecoderSettings & settings, int head)
{
  if (settings.obj_class_num < 1) {
    return 0;
  }
  return static_cast<std::size_t>(kAnchorsPerHead) *
         (static_cast<std::size_t>(settings.obj_class_num) + kBoxChannels) *
         head_geometry(settings, head).cells();
}

std::size_t head_slot_offset(const DecoderSettings & settings, int head, int slot)
{
  if (slot <= 1) {
    return 0;
  }
  return static_cast<std::size_t>(slot - 1) * head_slot_elements(settings, head);
}

float dequantize(int8_t q, HeadQuantization quant)
{
  return (static_cast<float>(q) - static_cast<float>(quant.zp)) * quant.scale;
}

float sigmoid(float v) { return 1.0f / (1.0f + std::exp(-v)); }

int32_t quantized_threshold(float box_conf_threshold, HeadQuantization quant)
{
  const float v =
      -std::log(1.0f / box_conf_threshold - 1.0f) / quant.scale + static_cast<float>(quant.zp);
  if (std::isnan(v)) {
    return 127;
  }
  if (v <= -128.0f) {
    return -128;
  }
  if (v >= 127.0f) {
    return 127;
  }
  return static_cast<int32_t>(v);
}

int decodeBoxes(const int8_t * data, std::size_t available, int head,
                const DecoderSettings & settings, HeadQuantization quant,
                std::vector<float> & boxes, std::vector<float> & scores,
                std::vector<int32_t> & class_ids, std::vector<CandidateCell> * cells)
{
  const std::size_t needed = head_slot_elements(settings, head);
  if (data == nullptr || needed == 0 || available < needed) {
    return 0;
  }
  const HeadGeometry g = head_geometry(settings, head);
  const std::size_t plane = g.cells();
  const std::size_t cpa = static_cast<std::size_t>(settings.obj_class_num) + kBoxChannels;
  const int32_t threshold = quantized_threshold(settings.box_conf_threshold, quant);
  const auto stride = static_cast<float>(g.stride);

  int appended = 0;
  for (int a = 0; a < kAnchorsPerHead; ++a) {
    const std::size_t anchor_base = static_cast<std::size_t>(a) * cpa * plane;
    const std::size_t anchor_entry =
        6 * static_cast<std::size_t>(head) + 2 * static_cast<std::size_t>(a);
    const auto anchor_w = static_cast<float>(settings.anchors[anchor_entry]);
    const auto anchor_h = static_cast<float>(settings.anchors[anchor_entry + 1]);
    const int8_t * objectness = data + anchor_base + 4 * plane;
    for (int32_t r = 0; r < g.grid_h; ++r) {
      for (int32_t c = 0; c < g.grid_w; ++c) {
        const std::size_t cell = static_cast<std::size_t>(r) * g.grid_w + c;
        if (objectness[cell] < threshold) {
          continue;
        }
        const int8_t * v = data + anchor_base + cell;
        const float bx = sigmoid(dequantize(v[0], quant)) * 2.0f - 0.5f;
        const float by = sigmoid(dequantize(v[plane], quant)) * 2.0f - 0.5f;
        const float sw = sigmoid(dequantize(v[2 * plane], quant)) * 2.0f;
        const float sh = sigmoid(dequantize(v[3 * plane], quant)) * 2.0f;
        const float w = sw * sw * anchor_w;
        const float h = sh * sh * anchor_h;
        const float cx = (bx + static_cast<float>(c)) * stride;
        const float cy = (by + static_cast<float>(r)) * stride;
        boxes.push_back(cx - w / 2.0f);
        boxes.push_back(cy - h / 2.0f);
        boxes.push_back(w);
        boxes.push_back(h);

        // Byte-wise search: only the winner is dequantised.
        int8_t best = v[5 * plane];
        int32_t best_class = 0;
        for (int32_t m = 1; m < settings.obj_class_num; ++m) {
          const int8_t candidate = v[(5 + static_cast<std::size_t>(m)) * plane];
          if (candidate > best) {
            best = candidate;
            best_class = m;
          }
        }
        scores.push_back(sigmoid(dequantize(best, quant)));
        class_ids.push_back(best_class);
        if (cells != nullptr) {
          cells->push_back(CandidateCell{a, r, c});
        }
        ++appended;
      }
    }
  }
  return appended;
}

void quickSortDescending(std::vector<float> & scores, int lo, int hi,
                         std::vector<int32_t> & indices)
{
  if (lo >= hi || lo < 0) {
    return;
  }
  const std::size_t end = static_cast<std::size_t>(hi);
  if (end >= scores.size() || end >= indices.size()) {
    return;
  }
  sort_range(scores, lo, hi, indices);
}

float boxIoU(float ax1, float ay1, float ax2, float ay2, float bx1, float by1, float bx2, float by2)
{
  // The +1 terms are double, so the sums are formed in double and narrowed on assignment.
  const float iw = static_cast<float>(std::max(0.0, std::min(ax2, bx2) - std::max(ax1, bx1) + 1.0));
  const float ih = static_cast<float>(std::max(0.0, std::min(ay2, by2) - std::max(ay1, by1) + 1.0));
  const float inter = iw * ih;
  const float uni = static_cast<float>((ax2 - ax1 + 1.0) * (ay2 - ay1 + 1.0) +
                                       (bx2 - bx1 + 1.0) * (by2 - by1 + 1.0) - inter);
  if (uni <= 0.0f) {
    return 0.0f;
  }
  return inter / uni;
}

void suppress_per_class(const std::vector<float> & boxes, const std::vector<int32_t> & class_ids,
                        float nms_threshold, std::vector<int32_t> & indices)
{
  const std::size_t count = std::min(boxes.size() / 4, class_ids.size());
  // Suppression within one class never touches another class's entries, so the ranked
  // positions can be bucketed by class up front; each bucket keeps ranking order, which gives
  // the same comparisons in the same order as scanning all positions once per class, without
  // the N x N walk over other classes' entries.
  std::map<int32_t, std::vector<std::size_t>> positions_by_class;
  for (std::size_t p = 0; p < indices.size(); ++p) {
    const int32_t n = indices[p];
    if (n >= 0 && static_cast<std::size_t>(n) < count) {
      positions_by_class[class_ids[static_cast<std::size_t>(n)]].push_back(p);
    }
  }
  for (const auto & bucket : positions_by_class) {
    const std::vector<std::size_t> & positions = bucket.second;
    for (std::size_t i = 0; i < positions.size(); ++i) {
      const int32_t n = indices[positions[i]];
      if (n == -1) {
        continue;
      }
      const float * a = &boxes[4 * static_cast<std::size_t>(n)];
      for (std::size_t j = i + 1; j < positions.size(); ++j) {
        const int32_t m = indices[positions[j]];
        if (m == -1) {
          continue;
        }
        const float * b = &boxes[4 * static_cast<std::size_t>(m)];
        const float iou =
            boxIoU(a[0], a[1], a[0] + a[2], a[1] + a[3], b[0], b[1], b[0] + b[2], b[1] + b[3]);
        if (iou > nms_threshold) {
          indices[positions[j]] = -1;
        }
      }
    }
  }
}

DetectedObject to_camera_object(float x1, float y1, float x2, float y2, int32_t class_id,
                                float score, const ModelToImage & mapping)
{
  // The clamped corner is a whole number converted back to float before the division, as the
  // runtime factors are float.
  const auto map = [](float v, int32_t limit, float factor) {
    return truncate_to_int32(static_cast<float>(clamp_to_frame(v, limit)) / factor);
  };
  DetectedObject object;
  object.class_id = class_id;
  object.left = map(x1, mapping.model_width, mapping.scale_w);
  object.top = map(y1, mapping.model_height, mapping.scale_h);
  object.right = map(x2, mapping.model_width, mapping.scale_w);
  object.bottom = map(y2, mapping.model_height, mapping.scale_h);
  object.score = score;
  return object;
}

SlotDetections post_process(const std::array<HeadView, kHeadCount> & heads,
                            const std::array<HeadQuantization, kHeadCount> & quant,
                            const DecoderSettings & settings, int slot, float scale_w,
                            float scale_h, const DecodeTrace * trace)
{
  std::vector<float> boxes;
  std::vector<float> scores;
  std::vector<int32_t> class_ids;
  std::vector<CandidateCell> cells;
  const bool trace_candidates = trace != nullptr && trace->candidate;
  SlotDetections result;
  for (int i = 0; i < kHeadCount; ++i) {
    const HeadView & view = heads[static_cast<std::size_t>(i)];
    const std::size_t offset = head_slot_offset(settings, i, slot);
    if (view.data == nullptr || view.size <= offset) {
      continue;
    }
    const std::size_t first = scores.size();
    cells.clear();
    result.candidate_count += decodeBoxes(view.data + offset, view.size - offset, i, settings,
                                          quant[static_cast<std::size_t>(i)], boxes, scores,
                                          class_ids, trace_candidates ? &cells : nullptr);
    for (std::size_t k = 0; trace_candidates && k < cells.size(); ++k) {
      trace->candidate(cells[k], &boxes[4 * (first + k)]);
    }
  }
  if (trace != nullptr && trace->decoded) {
    trace->decoded(result.candidate_count);
  }

  const int n = result.candidate_count;
  std::vector<int32_t> indices(static_cast<std::size_t>(n));
  for (int p = 0; p < n; ++p) {
    indices[static_cast<std::size_t>(p)] = p;
  }
  quickSortDescending(scores, 0, n - 1, indices);
  suppress_per_class(boxes, class_ids, settings.nms_threshold, indices);

  const ModelToImage mapping{settings.model_width, settings.model_height, scale_w, scale_h};
  for (int p = 0; p < n; ++p) {
    const int32_t k = indices[static_cast<std::size_t>(p)];
    if (k == -1) {
      continue;
    }
    const float * b = &boxes[4 * static_cast<std::size_t>(k)];
    if (trace != nullptr && trace->kept) {
      trace->kept(p, b[0], b[1], b[0] + b[2], b[1] + b[3]);
    }
    result.objects.push_back(to_camera_object(b[0], b[1], b[0] + b[2], b[1] + b[3],
                                              class_ids[static_cast<std::size_t>(k)],
                                              scores[static_cast<std::size_t>(p)], mapping));
  }
  return result;
}

}  // namespace veltrax_cv_model
