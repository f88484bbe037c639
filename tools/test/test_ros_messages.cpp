// ROS 2 messages decoded from CDR: the node's input types from hand-built messages, and
// messages whose bytes disagree with their fields.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "bag/cdr_writer.hpp"
#include "bag/ros_messages.hpp"
#include "support/bag_test_support.hpp"

namespace
{

using ::testing::AllOf;
using ::testing::HasSubstr;
using veltrax_bag::CdrWriter;
using namespace veltrax_bag_test;

// An Image message stamped 12 s 345 ns in frame "cam" whose data claims `count` bytes and
// carries `data`.
Bytes image_message(std::uint32_t height, std::uint32_t width, const std::string & encoding,
                    std::uint32_t step, std::uint32_t count, const Bytes & data)
{
  CdrWriter out;
  out.header(12, 345, "cam").put(height).put(width).string(encoding);
  Bytes bytes = out.put<std::uint8_t>(0).put(step).put(count).take();
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

// One buffer per type, with frame names whose lengths push the doubles off their natural
// alignment, so a reader aligning from the buffer start instead of the payload start fails.
TEST(RosMessages, DecodesTheNodesInputTypesFromHandBuiltMessages)
{
  const Bytes image_bytes = image_message(
      2, 3, "rgb8", 9, 18, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18});
  const veltrax_bag::Image image = veltrax_bag::decode_image(view(image_bytes), "image");
  EXPECT_EQ(image.header.stamp_sec, 12);
  EXPECT_EQ(image.header.stamp_nanosec, 345U);
  EXPECT_EQ(image.header.frame_id, "cam");
  EXPECT_EQ(image.height, 2U);
  EXPECT_EQ(image.width, 3U);
  EXPECT_EQ(image.encoding, "rgb8");
  EXPECT_EQ(image.step, 9U);
  ASSERT_EQ(image.data.size(), 18U);
  EXPECT_EQ(image.data.back(), 18);

  CdrWriter info_writer;
  info_writer.header(1, 2, "camera_color_optical_frame")
      .put<std::uint32_t>(480)
      .put<std::uint32_t>(640);
  info_writer.string("plumb_bob").put<std::uint32_t>(5);
  for (int i = 0; i < 5 + 9 + 9 + 12; ++i) {
    info_writer.put<double>(0.5 * i);
  }
  for (std::uint32_t value = 1; value <= 6; ++value) {  // binning x, y; roi x, y, height, width
    info_writer.put(value);
  }
  info_writer.put<std::uint8_t>(1);
  const veltrax_bag::CameraInfo info =
      veltrax_bag::decode_camera_info(view(info_writer.bytes()), "camera_info");
  EXPECT_EQ(info.width, 640U);
  EXPECT_EQ(info.distortion_model, "plumb_bob");
  ASSERT_EQ(info.d.size(), 5U);
  EXPECT_DOUBLE_EQ(info.d[4], 2.0);
  EXPECT_DOUBLE_EQ(info.k[0], 2.5);
  EXPECT_DOUBLE_EQ(info.r[8], 0.5 * 22);
  EXPECT_DOUBLE_EQ(info.p[11], 0.5 * 34);
  EXPECT_EQ(info.binning_y, 2U);
  EXPECT_EQ(info.roi_width, 6U);
  EXPECT_TRUE(info.roi_do_rectify);

  CdrWriter tf_writer;
  tf_writer.put<std::uint32_t>(2);
  for (const char * child : {"base_link", "camera_link"}) {
    tf_writer.header(7, 8, "odom").string(child);
    for (double value : {1.0, 2.0, 3.0, 0.0, 0.0, 0.6, 0.8}) {
      tf_writer.put(value);
    }
  }
  const std::vector<veltrax_bag::TransformStamped> transforms =
      veltrax_bag::decode_tf_message(view(tf_writer.bytes()), "tf");
  ASSERT_EQ(transforms.size(), 2U);
  EXPECT_EQ(transforms[1].header.frame_id, "odom");
  EXPECT_EQ(transforms[1].child_frame_id, "camera_link");
  EXPECT_DOUBLE_EQ(transforms[1].translation.z, 3.0);
  EXPECT_DOUBLE_EQ(transforms[1].rotation_xyzw[2], 0.6);
  EXPECT_DOUBLE_EQ(transforms[1].rotation_xyzw[3], 0.8);

  const Bytes twist_bytes =
      CdrWriter().put(0.25).put(0.0).put(0.0).put(0.0).put(0.0).put(-0.5).bytes();
  const veltrax_bag::Twist twist = veltrax_bag::decode_twist(view(twist_bytes), "twist");
  EXPECT_DOUBLE_EQ(twist.linear.x, 0.25);
  EXPECT_DOUBLE_EQ(twist.angular.z, -0.5);

  const Bytes compressed_bytes = CdrWriter()
                                     .header(3, 4, "cam")
                                     .string("16UC1; compressedDepth png")
                                     .byte_sequence({0x89, 'P'})
                                     .bytes();
  const veltrax_bag::CompressedImage compressed =
      veltrax_bag::decode_compressed_image(view(compressed_bytes), "compressed");
  EXPECT_EQ(compressed.format, "16UC1; compressedDepth png");
  EXPECT_EQ(compressed.data, (Bytes{0x89, 'P'}));

  // A big-endian writer (another middleware) is read too.
  const Bytes big_endian = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 'h', 'i', 0x00};
  EXPECT_EQ(veltrax_bag::decode_string(view(big_endian), "big endian"), "hi");
}

TEST(RosMessages, RefusesMessagesShorterOrLongerThanTheirFieldsSayNamingTheOffset)
{
  using Decode = std::function<void(veltrax_bag::ByteView, const std::string &)>;
  const Decode as_string = [](auto m, const auto & s) { veltrax_bag::decode_string(m, s); };
  const Decode as_image = [](auto m, const auto & s) { veltrax_bag::decode_image(m, s); };
  const Decode as_tf = [](auto m, const auto & s) { veltrax_bag::decode_tf_message(m, s); };
  // Name, decoder, message, what the refusal says.
  const std::vector<std::tuple<const char *, Decode, Bytes, std::string>> cases = {
      {"string longer than the message",
       as_string,
       {0, 1, 0, 0, 20, 0, 0, 0, 'h', 'i', 0},
       "offset 8: needs 20 bytes, only 3 left"},
      {"string without its NUL",
       as_string,
       {0, 1, 0, 0, 2, 0, 0, 0, 'h', 'i'},
       "lacks its terminating NUL"},
      {"no encapsulation header", as_string, {0, 1}, "offset 0: needs 4 bytes"},
      {"parameter-list encapsulation", as_string, {0, 3, 0, 0, 0, 0, 0, 0}, "is not plain CDR"},
      {"bytes after the last field", as_string,
       CdrWriter().string("hi").put<std::uint32_t>(5).bytes(), "5 bytes left after the last field"},
      {"image data cut short", as_image, image_message(1, 4, "mono8", 4, 4, {1, 2}),
       "sequence of 4 elements runs past the end (2 bytes left)"},
      {"image data not rows times step", as_image, image_message(2, 4, "mono8", 4, 1, {7}),
       "image of 2 rows of 4 bytes carries 1 bytes"},
      // A corrupt count must be refused before anything the size of the count is allocated.
      {"transform count beyond the message", as_tf,
       CdrWriter().put<std::uint32_t>(0x40000000).bytes(),
       "sequence of 1073741824 elements runs past the end (0 bytes left)"},
  };
  for (const auto & [name, decode, message, expected] : cases) {
    SCOPED_TRACE(name);
    EXPECT_THAT(bag_error_text([&] { decode(view(message), "/topic"); }),
                AllOf(HasSubstr("/topic: offset"), HasSubstr(expected)));
  }
}

}  // namespace
