// Faults that only show on the robot's CPU (AArch64) and not on an x86-64 PC. The suite runs on
// both: natively with `make test` and under qemu-aarch64 with `make cross-test`.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "veltrax_cv_model/back_projection.hpp"
#include "veltrax_cv_model/yolo_decode.hpp"

namespace veltrax_cv_model
{
namespace
{

// Fault pinned: head bytes read through plain `char` (or any unsigned byte type) decode 0x80 as
// +128 instead of -128 on AArch64, where `char` is unsigned. The runtime hands the heads over as
// untyped memory; only the int8_t view of it gives the model's values.
TEST(Portability, RawHeadBytesDecodeAsSignedInt8OnEveryCpu)
{
  const std::uint8_t raw_min = 0x80;  // -128 as the NPU writes it
  const std::uint8_t raw_max = 0x7F;  // 127
  // An 8 x 8 model gives head 0 one cell per anchor.
  DecoderSettings s;
  s.model_width = 8;
  s.model_height = 8;
  s.obj_class_num = 2;
  s.box_conf_threshold = 0.5f;  // zp 0: the raw threshold is 0
  const std::size_t n = head_slot_elements(s, 0);
  ASSERT_EQ(n, 3u * 7u);
  std::vector<std::uint8_t> bytes(n, raw_min);  // anchors 1 and 2: objectness -128, rejected
  // Anchor 0: x, y, w, h, objectness, class 0, class 1 (one cell, so one value per plane).
  const std::uint8_t anchor0[] = {raw_max, raw_min, raw_max, raw_min, raw_max, raw_min, raw_max};
  std::copy(std::begin(anchor0), std::end(anchor0), bytes.begin());

  std::vector<float> boxes;
  std::vector<float> scores;
  std::vector<int32_t> class_ids;
  const int count =
      decodeBoxes(static_cast<const int8_t *>(static_cast<const void *>(bytes.data())),
                  bytes.size(), 0, s, {0, 0.1f}, boxes, scores, class_ids);
  ASSERT_EQ(count, 1);  // read unsigned, the two rejected anchors (raw 128 >= 0) would pass
  const float hi = 1.0f / (1.0f + std::exp(-12.7f));
  const float lo = 1.0f / (1.0f + std::exp(12.8f));
  const float w = 4 * hi * hi * 10;  // anchor (10, 13)
  const float h = 4 * lo * lo * 13;
  EXPECT_NEAR(boxes[0], (hi * 2 - 0.5f) * 8 - w / 2, 1e-4);  // about -8
  EXPECT_NEAR(boxes[1], (lo * 2 - 0.5f) * 8 - h / 2, 1e-4);  // about -4; +12 if read unsigned
  EXPECT_NEAR(boxes[2], w, 1e-4);
  EXPECT_NEAR(boxes[3], h, 1e-6);
  EXPECT_EQ(class_ids[0], 1);  // raw 127 beats raw -128; read unsigned, 128 would win
  EXPECT_FLOAT_EQ(scores[0], hi);
}

// Rounds to float here and now: keeps the compiler from fusing the caller's a * b + c.
float rounded(float v)
{
  volatile float stored = v;
  return stored;
}

// Fault pinned: the decoder's and the back-projection's float results must follow their fixed
// evaluation order to the last bit. GCC fuses a * b + c into one rounding on AArch64 by default
// but never on x86-64 without FMA, so a formula written in a fusable shape drifts on the robot
// only. The expected values round every step on its own.
TEST(Portability, DecoderAndBackProjectionFloatsFollowTheirOrderBitForBit)
{
  // Decoder: every raw value in all four box channels, one cell each, spread over the rows,
  // columns and anchors of head 1 (stride 16), so each box also shows which anchor scaled it.
  DecoderSettings s;
  s.obj_class_num = 1;
  s.box_conf_threshold = 0.5f;
  const HeadQuantization quant{-3, 0.0371f};
  const int head = 1;
  const float anchors[3][2] = {{30, 61}, {62, 45}, {59, 119}};
  const HeadGeometry g = head_geometry(s, head);
  std::vector<int8_t> values(head_slot_elements(s, head), -128);
  const std::size_t plane = g.cells();
  for (int q = -128; q <= 127; ++q) {
    const std::size_t anchor = static_cast<std::size_t>(q + 128) % 3;
    const std::size_t cell = anchor * 6 * plane + static_cast<std::size_t>(q + 128) * 3 + 7;
    for (std::size_t k = 0; k < 4; ++k) values[cell + k * plane] = static_cast<int8_t>(q);
    values[cell + 4 * plane] = 127;
  }
  std::vector<float> boxes;
  std::vector<float> scores;
  std::vector<int32_t> class_ids;
  std::vector<CandidateCell> cells;
  ASSERT_EQ(
      decodeBoxes(values.data(), values.size(), head, s, quant, boxes, scores, class_ids, &cells),
      256);
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const CandidateCell & c = cells[i];
    const int q = (c.row * g.grid_w + c.col - 7) / 3 - 128;
    SCOPED_TRACE(q);
    ASSERT_EQ(c.anchor, (q + 128) % 3);
    const float sig = sigmoid(dequantize(static_cast<int8_t>(q), quant));
    const float b = rounded(rounded(sig * 2.0f) - 0.5f);
    const float sz = rounded(sig * 2.0f);
    const float w = rounded(rounded(sz * sz) * anchors[c.anchor][0]);
    const float h = rounded(rounded(sz * sz) * anchors[c.anchor][1]);
    const float cx = rounded(rounded(b + static_cast<float>(c.col)) * 16.0f);
    const float cy = rounded(rounded(b + static_cast<float>(c.row)) * 16.0f);
    const float * box = &boxes[4 * i];
    EXPECT_EQ(box[0], rounded(cx - rounded(w / 2.0f)));
    EXPECT_EQ(box[1], rounded(cy - rounded(h / 2.0f)));
    EXPECT_EQ(box[2], w);
    EXPECT_EQ(box[3], h);
  }

  // Back-projection: x = (u - cx) * z / fx, one pixel per call (a one-point voxel keeps it).
  const CameraIntrinsics k{525.3f, 524.7f, 319.61f, 240.37f};
  const int width = 640;
  const int height = 480;
  std::vector<std::uint8_t> depth(static_cast<std::size_t>(width) * height * 2);
  for (int v = 0; v < height; v += 29) {
    for (int u = 0; u < width; u += 37) {
      const auto d = static_cast<std::uint16_t>(1 + (u * 131 + v * 17) % 4998);
      std::memcpy(&depth[2 * (static_cast<std::size_t>(v) * width + u)], &d, 2);
      const DepthImageView view{
          depth.data(), depth.size(), width, height, 2 * static_cast<std::size_t>(width), "16UC1"};
      pcl::PointCloud<pcl::PointXYZ> cloud;
      ASSERT_EQ(back_project_depth(view, width, {u, u + 1, v, v + 1}, k, 0.01f, cloud).status,
                BackProjectionStatus::kOk);
      ASSERT_EQ(cloud.size(), 1u);
      const auto z = static_cast<float>(d / 1000.0);
      SCOPED_TRACE(testing::Message() << "u " << u << " v " << v << " d " << d);
      EXPECT_EQ(cloud[0].x, rounded(rounded(rounded(static_cast<float>(u) - k.cx) * z) / k.fx));
      EXPECT_EQ(cloud[0].y, rounded(rounded(rounded(static_cast<float>(v) - k.cy) * z) / k.fy));
      EXPECT_EQ(cloud[0].z, z);
    }
  }
}

}  // namespace
}  // namespace veltrax_cv_model
