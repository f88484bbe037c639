// Regression tests for faults the decode fuzzer (fuzz/fuzz_decode.cpp) found.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "veltrax_cv_model/yolo_decode.hpp"

namespace veltrax_cv_model
{
namespace
{

// Fault: the slot size was formed as obj_class_num + 5 in int32, so a class count within 5 of
// INT32_MAX (an `obj_class_num` parameter the node passes on unchecked) overflowed a signed
// int before the size check could refuse the model.
TEST(YoloDecodeLimits, SlotSizeOfHugeClassCountIsExactWhenClassCountNearInt32Max)
{
  struct Case
  {
    int32_t classes;
    std::size_t channels;
  };
  const Case cases[] = {
      {std::numeric_limits<int32_t>::max(), std::size_t{2147483647} + 5},
      {std::numeric_limits<int32_t>::max() - 4, std::size_t{2147483643} + 5},
      {8, 13},
  };
  DecoderSettings settings;
  settings.model_width = 64;
  settings.model_height = 32;
  for (const Case & c : cases) {
    SCOPED_TRACE(c.classes);
    settings.obj_class_num = c.classes;
    // Head 2 (stride 32): a 1 x 2 grid.
    EXPECT_EQ(head_slot_elements(settings, 2), 3 * c.channels * 2);
    EXPECT_EQ(head_slot_offset(settings, 2, 2), 3 * c.channels * 2);
  }
}

TEST(YoloDecodeLimits, HeadShorterThanHugeClassCountNeedsDecodesNothing)
{
  DecoderSettings settings;
  settings.model_width = 32;
  settings.model_height = 32;
  settings.obj_class_num = std::numeric_limits<int32_t>::max();
  const std::vector<int8_t> head(4096, 127);
  std::vector<float> boxes;
  std::vector<float> scores;
  std::vector<int32_t> class_ids;
  EXPECT_EQ(decode_head(head.data(), head.size(), 2, settings, HeadQuantization{0, 0.1f}, boxes,
                        scores, class_ids),
            0);
  EXPECT_TRUE(boxes.empty());

  const std::array<HeadView, kHeadCount> views{
      {{head.data(), head.size()}, {head.data(), head.size()}, {head.data(), head.size()}}};
  const std::array<HeadQuantization, kHeadCount> quant{};
  const SlotDetections result = post_process(views, quant, settings, 2, 1.0f, 1.0f);
  EXPECT_EQ(result.candidate_count, 0);
  EXPECT_TRUE(result.objects.empty());
}

}  // namespace
}  // namespace veltrax_cv_model
