#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "veltrax_cv_model/yolo_decode.hpp"

namespace veltrax_cv_model
{
namespace
{

// One head tensor with `slots` batch slots, every value -128 (nothing passes any threshold).
struct HeadTensor
{
  HeadTensor(const DecoderSettings & s, int head_index, int slots = 1)
      : settings(s),
        head(head_index),
        geometry(head_geometry(s, head_index)),
        values(head_slot_elements(s, head_index) * static_cast<std::size_t>(slots), -128)
  {
  }

  // Box channels and objectness, then the class scores, of one cell.
  void set_cell(int slot, int anchor, int row, int col, std::vector<int8_t> channels)
  {
    const std::size_t plane = geometry.cells();
    const std::size_t base =
        head_slot_offset(settings, head, slot) +
        static_cast<std::size_t>(anchor) * settings.channels_per_anchor() * plane +
        static_cast<std::size_t>(row) * geometry.grid_w + col;
    for (std::size_t k = 0; k < channels.size(); ++k) {
      values[base + k * plane] = channels[k];
    }
  }

  HeadView view() const { return HeadView{values.data(), values.size()}; }

  DecoderSettings settings;
  int head;
  HeadGeometry geometry;
  std::vector<int8_t> values;
};

struct Candidates
{
  std::vector<float> boxes;
  std::vector<float> scores;
  std::vector<int32_t> class_ids;
  std::vector<CandidateCell> cells;
  int count{0};
};

Candidates decode(const HeadTensor & t, HeadQuantization q)
{
  Candidates c;
  c.count = decodeBoxes(t.values.data(), t.values.size(), t.head, t.settings, q, c.boxes, c.scores,
                        c.class_ids, &c.cells);
  return c;
}

TEST(YoloDecode, QuantizedThresholdFollowsZeroPointScaleAndSaturates)
{
  struct Case
  {
    float threshold;
    HeadQuantization quant;
    int32_t expected;
  };
  const Case cases[] = {
      {0.4f, {0, 0.1f}, -4},       // v = -4.0547, truncated toward zero
      {0.6f, {0, 0.1f}, 4},        // v = +4.0547
      {0.5f, {-37, 0.02f}, -37},   // logit 0 lands on the zero point
      {0.4f, {10, 0.1f}, 5},       // 5.945 truncated
      {0.01f, {0, 0.01f}, -128},   // v = -459
      {0.99f, {0, 0.01f}, 127},    // v = +459
      {0.4f, {-126, 0.1f}, -128},  // v = -130.05
      {0.5f, {0, 0.0f}, 127},      // 0 / 0: no number, so only 127 passes
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(::testing::Message() << "threshold " << c.threshold << " zp " << c.quant.zp);
    EXPECT_EQ(quantized_threshold(c.threshold, c.quant), c.expected);
  }
}

TEST(YoloDecode, CellsPassAtTheThresholdInAnchorRowColumnOrder)
{
  DecoderSettings s;
  HeadTensor t(s, 2);  // T = -4 with zp 0, scale 0.1, threshold 0.4
  t.set_cell(1, 2, 4, 0, {0, 0, 0, 0, 127});
  t.set_cell(1, 1, 2, 3, {0, 0, 0, 0, -5});
  t.set_cell(1, 0, 1, 1, {0, 0, 0, 0, -4});
  const Candidates c = decode(t, {0, 0.1f});
  ASSERT_EQ(c.count, 2);
  EXPECT_EQ(c.cells[0].anchor, 0);
  EXPECT_EQ(c.cells[0].row, 1);
  EXPECT_EQ(c.cells[0].col, 1);
  EXPECT_EQ(c.cells[1].anchor, 2);
  EXPECT_EQ(c.cells[1].row, 4);
}

TEST(YoloDecode, BestClassNeedsAStrictlyGreaterRawValue)
{
  struct Case
  {
    int32_t classes;
    std::vector<int8_t> scores;
    int32_t expected;
  };
  const Case cases[] = {
      {4, {5, 5, 5, 5}, 0},
      {4, {1, 9, 9, 2}, 1},
      {4, {1, 2, 3, 9}, 3},
      {4, {-128, -128, -127, -128}, 2},
      // One class: the plane after class 0 is anchor 1's x offset and must not be read as a class.
      {1, {-50, 127}, 0},
  };
  for (const Case & k : cases) {
    SCOPED_TRACE(::testing::Message() << "expected class " << k.expected);
    DecoderSettings s;
    s.obj_class_num = k.classes;
    HeadTensor t(s, 0);
    std::vector<int8_t> channels(5 + k.scores.size(), 0);
    channels[4] = 50;
    std::copy(k.scores.begin(), k.scores.end(), channels.begin() + 5);
    t.set_cell(1, 0, 7, 7, channels);
    const Candidates c = decode(t, {0, 0.1f});
    ASSERT_EQ(c.count, 1);
    EXPECT_EQ(c.class_ids[0], k.expected);
    EXPECT_FLOAT_EQ(c.scores[0], sigmoid(0.1f * k.scores[static_cast<std::size_t>(k.expected)]));
  }
}

TEST(YoloDecode, DegenerateGeometryReadsNothing)
{
  DecoderSettings s;
  HeadTensor t(s, 0);
  t.set_cell(1, 0, 0, 0, {0, 0, 0, 0, 127});
  std::vector<float> boxes, scores;
  std::vector<int32_t> ids;
  const HeadQuantization q{0, 0.1f};
  const std::size_t n = t.values.size();
  EXPECT_EQ(decodeBoxes(t.values.data(), n - 1, 0, s, q, boxes, scores, ids), 0);  // too short
  EXPECT_EQ(decodeBoxes(nullptr, n, 0, s, q, boxes, scores, ids), 0);
  EXPECT_EQ(decodeBoxes(t.values.data(), n, 3, s, q, boxes, scores, ids), 0);  // no such head
  for (int32_t classes : {0, -5}) {
    DecoderSettings none = s;
    none.obj_class_num = classes;
    EXPECT_EQ(head_slot_elements(none, 0), 0u);
    EXPECT_EQ(decodeBoxes(t.values.data(), n, 0, none, q, boxes, scores, ids), 0);
  }
  DecoderSettings tiny = s;
  tiny.model_width = 31;  // narrower than the coarsest stride
  EXPECT_EQ(head_slot_elements(tiny, 2), 0u);
  EXPECT_TRUE(boxes.empty() && scores.empty() && ids.empty());
}

TEST(YoloDecode, SlotTwoStartsOneWholeSlotFurtherOn)
{
  DecoderSettings s;  // 640 x 640, 3 classes: 24 planes per slot
  EXPECT_EQ(head_slot_offset(s, 0, 2), 24u * 6400u);
  EXPECT_EQ(head_slot_offset(s, 2, 2), 24u * 400u);
  DecoderSettings wide = s;
  wide.model_width = 416;
  wide.model_height = 256;
  wide.obj_class_num = 8;
  EXPECT_EQ(head_slot_offset(wide, 2, 2), 39u * (8u * 13u));

  std::array<HeadTensor, 3> heads{HeadTensor(s, 0, 2), HeadTensor(s, 1, 2), HeadTensor(s, 2, 2)};
  heads[1].set_cell(1, 0, 10, 10, {0, 0, 0, 0, 127, 0, 90, 0});  // camera 1: class 1
  heads[1].set_cell(2, 0, 20, 20, {0, 0, 0, 0, 127, 0, 0, 90});  // camera 2: class 2
  const std::array<HeadView, 3> views{heads[0].view(), heads[1].view(), heads[2].view()};
  const std::array<HeadQuantization, 3> q{{{0, 0.1f}, {0, 0.1f}, {0, 0.1f}}};

  // The node traces through the same call: the cell and the model-pixel corners it keeps.
  std::vector<std::array<float, 4>> traced;
  DecodeTrace trace;
  trace.candidate = [&](const CandidateCell & cell, const float *) {
    traced.push_back({static_cast<float>(cell.anchor), static_cast<float>(cell.row),
                      static_cast<float>(cell.col), -1.0f});
  };
  trace.kept = [&](int rank, float x1, float, float, float) {
    traced.push_back({static_cast<float>(rank), x1, -1.0f, -1.0f});
  };
  const SlotDetections one = post_process(views, q, s, 1, 0.5f, 1.0f, &trace);
  EXPECT_EQ(traced, (std::vector<std::array<float, 4>>{{0, 10, 10, -1}, {0, 153, -1, -1}}));
  const SlotDetections two = post_process(views, q, s, 2, 1.0f, 1.0f);
  ASSERT_EQ(one.objects.size(), 1u);
  ASSERT_EQ(two.objects.size(), 1u);
  EXPECT_EQ(one.objects[0].class_id, 1);
  EXPECT_EQ(one.objects[0].left, (168 - 15) * 2);  // anchor (30, 61) at cell centre x 168
  EXPECT_EQ(two.objects[0].class_id, 2);
  EXPECT_EQ(two.objects[0].top, 297);  // 328 - 30.5, truncated

  // A tensor holding only slot 1 gives slot 2 nothing rather than reading past its end.
  std::array<HeadView, 3> short_views = views;
  for (HeadView & v : short_views) v.size /= 2;
  EXPECT_EQ(post_process(short_views, q, s, 2, 1.0f, 1.0f).candidate_count, 0);
}

TEST(YoloDecode, BoxIouCountsSizesInclusively)
{
  struct Case
  {
    std::array<float, 8> corners;
    float expected;
  };
  const Case cases[] = {
      {{0, 0, 9, 9, 5, 0, 14, 9}, 50.0f / 150.0f}, {{0, 0, 9, 9, 0, 0, 9, 9}, 1.0f},
      {{0, 0, 9, 9, 10, 0, 19, 9}, 0.0f},           // touching edges share no pixel
      {{0, 0, 9, 9, 9, 9, 18, 18}, 1.0f / 199.0f},  // one shared pixel
      {{0, 0, -1, -1, 0, 0, -1, -1}, 0.0f},         // union 0
  };
  for (const Case & c : cases) {
    const auto & b = c.corners;
    SCOPED_TRACE(::testing::Message() << "expected " << c.expected);
    EXPECT_FLOAT_EQ(boxIoU(b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]), c.expected);
    EXPECT_FLOAT_EQ(boxIoU(b[4], b[5], b[6], b[7], b[0], b[1], b[2], b[3]), c.expected);
  }
}

TEST(YoloDecode, SuppressionNeedsStrictlyGreaterOverlapWithinOneClass)
{
  // x, y, w, h: corners (0,0,9,9), (5,0,14,9), (0,0,9,9) again and (10,0,19,9).
  const std::vector<float> boxes{0, 0, 9, 9, 5, 0, 9, 9, 0, 0, 9, 9, 10, 0, 9, 9};
  const float half = boxIoU(0, 0, 9, 9, 5, 0, 14, 9);  // 1/3
  struct Case
  {
    const char * name;
    std::vector<int32_t> classes;
    float threshold;
    std::vector<int32_t> expected;
  };
  const Case cases[] = {
      {"lower-ranked overlap dropped", {0, 0, 1, 2}, 0.3f, {0, -1, 2, 3}},
      {"overlap equal to threshold kept", {0, 0, 1, 2}, half, {0, 1, 2, 3}},
      {"identical boxes of different classes kept", {0, 1, 2, 3}, 0.3f, {0, 1, 2, 3}},
      {"identical boxes of one class", {4, 1, 4, 2}, 0.3f, {0, 1, -1, 3}},
      // Box 1 overlaps boxes 0 and 3, which do not overlap: once suppressed it suppresses nothing.
      {"a suppressed box suppresses nothing", {0, 0, 1, 0}, 0.3f, {0, -1, 2, 3}},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int32_t> indices{0, 1, 2, 3};
    suppress_per_class(boxes, c.classes, c.threshold, indices);
    EXPECT_EQ(indices, c.expected);
  }
  // The ranking decides who suppresses whom, and entries outside the lists are left alone.
  std::vector<int32_t> ranked{1, 7, 0, 3, -1};
  suppress_per_class(boxes, {0, 0, 1, 0}, 0.3f, ranked);
  EXPECT_EQ(ranked, (std::vector<int32_t>{1, 7, -1, -1, -1}));
}

TEST(YoloDecode, CameraBoxesAreClampedThenScaledAndTruncated)
{
  struct Case
  {
    const char * name;
    std::array<float, 4> corners;
    ModelToImage mapping;
    std::array<int32_t, 4> expected;  // left, top, right, bottom
  };
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  const ModelToImage to_1280x720{640, 640, 640.0f / 1280.0f, 640.0f / 720.0f};
  const Case cases[] = {
      {"inside: truncated", {-10.0f, 100.7f, 40.0f, 160.7f}, to_1280x720, {0, 112, 80, 180}},
      {"clamped to the model frame", {320, 0, 700, 640}, to_1280x720, {640, 0, 1280, 720}},
      {"non-square model", {0, 0, 700, 500}, {640, 384, 1, 1}, {0, 0, 640, 384}},
      {"zero factor saturates", {10, 10, 20, 20}, {640, 640, 0, 1}, {kMax, 10, kMax, 20}},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    const auto & b = c.corners;
    const DetectedObject o = to_camera_object(b[0], b[1], b[2], b[3], 4, 0.75f, c.mapping);
    EXPECT_EQ((std::array<int32_t, 4>{o.left, o.top, o.right, o.bottom}), c.expected);
    EXPECT_EQ(o.class_id, 4);
    EXPECT_EQ(o.score, 0.75f);
  }
}

TEST(YoloDecode, QuickSortMovesEqualScoresAsTheClassicAlgorithm)
{
  // Hand-run first-element-pivot partitions; a stable sort would give other tie orders.
  struct Case
  {
    std::vector<float> scores;
    std::vector<int32_t> order;
  };
  const Case cases[] = {
      {{0.5f, 0.9f, 0.5f, 0.7f, 0.5f}, {1, 3, 2, 0, 4}},
      {{0.3f, 0.3f, 0.3f, 0.8f}, {3, 1, 2, 0}},
      {{0.4f, 0.6f, 0.4f, 0.6f, 0.4f, 0.6f}, {5, 1, 3, 2, 4, 0}},
  };
  for (const Case & c : cases) {
    std::vector<float> scores = c.scores;
    std::vector<int32_t> indices(scores.size());
    std::iota(indices.begin(), indices.end(), 0);
    quickSortDescending(scores, 0, static_cast<int>(scores.size()) - 1, indices);
    EXPECT_EQ(indices, c.order);
    EXPECT_TRUE(std::is_sorted(scores.rbegin(), scores.rend()));
  }
  // Positions outside the lists leave them untouched.
  std::vector<float> few{0.1f, 0.9f};
  std::vector<int32_t> few_idx{0, 1};
  quickSortDescending(few, 0, 2, few_idx);
  quickSortDescending(few, -1, 1, few_idx);
  EXPECT_EQ(few_idx, (std::vector<int32_t>{0, 1}));
}

// Regression: equal or ascending scores made the plain recursion nest once per element, which
// overflowed a thread's stack for the 25 200 candidates of a 640 x 640 model. The sort runs on a
// 256 KiB stack here.
TEST(YoloDecode, QuickSortOfAFullGridNeedsNoDeepStack)
{
  const int n = 25200;
  std::vector<int32_t> identity(n);
  std::iota(identity.begin(), identity.end(), 0);
  for (const bool ascending : {false, true}) {
    std::vector<float> scores(n, 0.5f);
    for (int i = 0; ascending && i < n; ++i) scores[static_cast<std::size_t>(i)] = 1e-5f * i;
    std::vector<int32_t> indices = identity;
    std::pair<std::vector<float> *, std::vector<int32_t> *> job{&scores, &indices};
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    const auto body = [](void * arg) -> void * {
      auto * j = static_cast<decltype(job) *>(arg);
      quickSortDescending(*j->first, 0, static_cast<int>(j->first->size()) - 1, *j->second);
      return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, &job), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(indices,
              ascending ? std::vector<int32_t>(identity.rbegin(), identity.rend()) : identity);
  }
}

// Regression (decode fuzzer): the slot size was formed as obj_class_num + 5 in int32, so a class
// count within 5 of INT32_MAX (a parameter the node passes on unchecked) overflowed before the
// size check could refuse the model.
TEST(YoloDecode, HugeClassCountsGiveExactSlotSizesAndDecodeNothing)
{
  DecoderSettings s;
  s.model_width = 64;  // head 2 (stride 32): a 1 x 2 grid
  s.model_height = 32;
  const std::pair<int32_t, std::size_t> cases[] = {
      {std::numeric_limits<int32_t>::max(), 6 * std::size_t{2147483652}},
      {std::numeric_limits<int32_t>::max() - 4, 6 * std::size_t{2147483648}},
      {8, 6u * 13u}};
  for (const auto & [classes, slot] : cases) {
    SCOPED_TRACE(classes);
    s.obj_class_num = classes;
    EXPECT_EQ(head_slot_elements(s, 2), slot);
    EXPECT_EQ(head_slot_offset(s, 2, 2), slot);
  }
  s.model_width = 32;
  s.obj_class_num = std::numeric_limits<int32_t>::max();
  const std::vector<int8_t> head(4096, 127);
  std::vector<float> boxes, scores;
  std::vector<int32_t> ids;
  EXPECT_EQ(decodeBoxes(head.data(), head.size(), 2, s, {0, 0.1f}, boxes, scores, ids), 0);
  EXPECT_TRUE(boxes.empty());
  const HeadView view{head.data(), head.size()};
  const SlotDetections result = post_process({view, view, view}, {}, s, 2, 1.0f, 1.0f);
  EXPECT_EQ(result.candidate_count, 0);
  EXPECT_TRUE(result.objects.empty());
}

}  // namespace
}  // namespace veltrax_cv_model
