// Decoding of the three quantised YOLOv5 output heads into ranked, per-class suppressed
// detections. Plain buffers in, plain records out: no ROS, no NPU runtime, no logging. Nothing
// keeps state between calls, so any thread may call any function; head buffers are only read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "veltrax_cv_model/anchor_table.hpp"
#include "veltrax_cv_model/types.hpp"

namespace veltrax_cv_model
{

/// Number of output heads (strides 8, 16, 32, finest grid first).
inline constexpr int kHeadCount = 3;
/// Anchors per head.
inline constexpr int kAnchorsPerHead = 3;
/// Channels of an anchor before the class scores: x, y, w, h, objectness.
inline constexpr int kBoxChannels = 5;

/// Affine quantisation of one output head: real = (q - zp) * scale.
struct HeadQuantization
{
  int32_t zp{0};
  float scale{0.0f};
};

/// Model geometry and thresholds the decoder works from. All sizes in model-input pixels.
struct DecoderSettings
{
  int32_t model_width{640};
  int32_t model_height{640};
  std::array<int32_t, kHeadCount> strides{8, 16, 32};
  /// Anchor sizes in model pixels: head i, anchor a has width anchors[6i + 2a] and height
  /// anchors[6i + 2a + 1].
  AnchorTable anchors{kDefaultAnchors};
  int32_t obj_class_num{3};
  float box_conf_threshold{0.4f};  ///< objectness threshold, as a probability
  float nms_threshold{0.3f};       ///< overlap above which a lower-ranked box is suppressed

  /// obj_class_num + 5.
  int32_t channels_per_anchor() const { return obj_class_num + kBoxChannels; }
};

static_assert(std::tuple_size<AnchorTable>::value == std::size_t{2} * kAnchorsPerHead * kHeadCount,
              "one width and height per anchor of every head");

/// Grid of one head. All zero for a head index outside 0..2 or a non-positive stride.
struct HeadGeometry
{
  int32_t stride{0};
  int32_t grid_h{0};  ///< model_height / stride (integer division)
  int32_t grid_w{0};  ///< model_width / stride (integer division)

  std::size_t cells() const
  {
    return grid_h > 0 && grid_w > 0 ? static_cast<std::size_t>(grid_h) * grid_w : 0;
  }
};

/// Grid cell and anchor a candidate was decoded from (for tracing).
struct CandidateCell
{
  int32_t anchor{0};
  int32_t row{0};
  int32_t col{0};
};

/// One head's int8 tensor as returned by the runtime: all batch slots, slot after slot.
/// `size` counts values (bytes) readable from `data`.
struct HeadView
{
  const int8_t * data{nullptr};
  std::size_t size{0};
};

/// Where a model-pixel box goes in the camera image: factors are model size / image size.
struct ModelToImage
{
  int32_t model_width{0};
  int32_t model_height{0};
  float scale_w{1.0f};
  float scale_h{1.0f};
};

/// Result of decoding one batch slot.
struct SlotDetections
{
  int candidate_count{0};               ///< candidates before suppression
  std::vector<DetectedObject> objects;  ///< survivors in descending score order
};

HeadGeometry head_geometry(const DecoderSettings & settings, int head);

/// Values of one batch slot of `head`: 3 * channels_per_anchor * grid_h * grid_w.
/// 0 for an invalid head or a class count below 1.
std::size_t head_slot_elements(const DecoderSettings & settings, int head);

/// Value offset of batch slot `slot` (1-based: 1 is camera 1) inside `head`'s tensor; slot 2
/// starts one whole slot further on. Slots below 1 give 0.
std::size_t head_slot_offset(const DecoderSettings & settings, int head, int slot);

/// (q - zp) * scale in single precision.
float dequantize(int8_t q, HeadQuantization quant);

/// 1 / (1 + e^-v).
float sigmoid(float v);

/// The objectness threshold as a raw int8 value: a cell passes when its raw objectness is
/// >= the result. Saturates to -128 / 127; a threshold that gives no number (scale 0 with a
/// threshold of 0.5, or a threshold outside [0, 1]) gives 127.
int32_t quantized_threshold(float box_conf_threshold, HeadQuantization quant);

/// Decodes one head of one batch slot, anchor by anchor, row by row, column by column, and
/// appends each cell whose raw objectness passes the quantised threshold to the three parallel
/// lists: `boxes` gets x, y (top-left corner), w, h in model pixels, `scores` the sigmoid of the
/// best class score (ties keep the lower class id), `class_ids` that class. When `cells` is not
/// null it gets one entry per appended candidate.
/// @param data first value of the slot; `available` values are readable from it. Nothing is
///   read when `available` is smaller than head_slot_elements() or `data` is null.
/// @return number of candidates appended; 0 for an invalid head or a class count below 1.
int decodeBoxes(const int8_t * data, std::size_t available, int head,
                const DecoderSettings & settings, HeadQuantization quant,
                std::vector<float> & boxes, std::vector<float> & scores,
                std::vector<int32_t> & class_ids, std::vector<CandidateCell> * cells = nullptr);

/// Sorts scores[lo..hi] into descending order in place, applying the same moves to `indices`.
/// The element moves are those of the classic first-element-pivot quicksort (they decide the
/// order of equal scores); recursion depth stays logarithmic even for all-equal input. Does
/// nothing when lo >= hi or the range does not lie within both lists.
void quickSortDescending(std::vector<float> & scores, int lo, int hi,
                         std::vector<int32_t> & indices);

/// Overlap of two boxes given by corners (x1, y1, x2, y2), sizes counted inclusively (+1),
/// formed in double precision and returned as float. 0 when the union is not positive.
float boxIoU(float ax1, float ay1, float ax2, float ay2, float bx1, float by1, float bx2,
             float by2);

/// Per-class suppression over a ranking: for each class (ascending) and each ranked entry
/// indices[p] != -1 of that class, every later entry of the same class whose boxIoU with it is
/// strictly greater than `nms_threshold` is set to -1. `boxes` holds x, y, w, h per candidate.
/// Entries outside the candidate lists are left alone.
void suppress_per_class(const std::vector<float> & boxes, const std::vector<int32_t> & class_ids,
                        float nms_threshold, std::vector<int32_t> & indices);

/// Maps corners in model pixels to a detection in camera pixels: each corner is clamped to the
/// model frame (<= 0 gives 0, >= the limit gives the limit, otherwise truncated toward zero),
/// divided by its scale factor and truncated toward zero. A quotient that is not a number
/// gives 0; one beyond the int32 range saturates.
DetectedObject to_camera_object(float x1, float y1, float x2, float y2, int32_t class_id,
                                float score, const ModelToImage & mapping);

/// Observers of post_process for tracing; each may be left empty. Called on the caller's thread
/// while post_process runs.
struct DecodeTrace
{
  /// A cell passed the objectness threshold: where it lies and its box x, y, w, h (model px).
  std::function<void(const CandidateCell & cell, const float * box)> candidate;
  /// Every head is decoded: candidates before suppression.
  std::function<void(int candidate_count)> decoded;
  /// A survivor at `rank` (0 is the best score), corners in model pixels before mapping.
  std::function<void(int rank, float x1, float y1, float x2, float y2)> kept;
};

/// Everything for one batch slot: decode the three heads, rank by score, suppress per class and
/// map the survivors to camera pixels. `heads` hold the whole tensors (both slots); a head
/// whose tensor is too short for the slot contributes nothing. `trace`, when given, sees the
/// steps.
SlotDetections post_process(const std::array<HeadView, kHeadCount> & heads,
                            const std::array<HeadQuantization, kHeadCount> & quant,
                            const DecoderSettings & settings, int slot, float scale_w,
                            float scale_h, const DecodeTrace * trace = nullptr);

}  // namespace veltrax_cv_model
