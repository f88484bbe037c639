// cv_bridge stand-in: conversions the node relies on (camera colour to bgr8/rgb8, depth kept in
// millimetres) and the refusals that protect it from malformed camera messages.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cv_bridge/cv_bridge.h"

namespace
{
sensor_msgs::msg::Image make_image(const std::string & encoding, uint32_t width, uint32_t height,
                                   uint32_t step, std::vector<uint8_t> data)
{
  sensor_msgs::msg::Image msg;
  msg.header.frame_id = "camera1_color_optical_frame";
  msg.header.stamp.sec = 12;
  msg.header.stamp.nanosec = 345;
  msg.encoding = encoding;
  msg.width = width;
  msg.height = height;
  msg.step = step;
  msg.data = std::move(data);
  return msg;
}

sensor_msgs::msg::Image make_u16_image(const std::string & encoding, std::vector<uint16_t> values)
{
  std::vector<uint8_t> bytes(values.size() * 2);
  std::memcpy(bytes.data(), values.data(), bytes.size());
  const auto width = static_cast<uint32_t>(values.size());
  return make_image(encoding, width, 1, width * 2, bytes);
}

std::string thrown_text(const sensor_msgs::msg::Image & msg, const std::string & encoding)
{
  try {
    cv_bridge::toCvCopy(msg, encoding);
  } catch (const cv_bridge::Exception & e) {
    return e.what();
  }
  return "<no exception>";
}
}  // namespace

TEST(CvBridge, ImageEncodingsDescribeGenericAndNamedEncodings)
{
  namespace enc = sensor_msgs::image_encodings;
  EXPECT_EQ(enc::numChannels("8UC3"), 3);
  EXPECT_EQ(enc::bitDepth("16UC1"), 16);
  EXPECT_EQ(enc::numChannels("32FC"), 1);
  EXPECT_EQ(enc::bitDepth(enc::BGRA16), 16);
  EXPECT_EQ(enc::numChannels(enc::YUV422), 2);
  EXPECT_TRUE(enc::hasAlpha(enc::RGBA8));
  EXPECT_FALSE(enc::isColor(enc::MONO8));
  EXPECT_TRUE(enc::isMono(enc::MONO16));
  EXPECT_TRUE(enc::isBayer(enc::BAYER_GRBG16));
  try {
    enc::numChannels("8UC0");
    FAIL() << "8UC0 accepted";
  } catch (const std::runtime_error & e) {
    EXPECT_STREQ(e.what(), "Unknown encoding 8UC0");
  }
  EXPECT_THROW(enc::bitDepth("jpeg"), std::runtime_error);
  EXPECT_EQ(cv_bridge::getCvType("16UC1"), CV_16UC1);
  EXPECT_EQ(cv_bridge::getCvType("32F"), CV_32FC1);
  EXPECT_EQ(cv_bridge::getCvType("64FC7"), CV_64FC(7));
  EXPECT_EQ(cv_bridge::getCvType(enc::RGBA16), CV_16UC4);
}

TEST(CvBridge, ConvertsBetweenColourEncodings)
{
  // Two rgb8 pixels; expected values follow OpenCV's channel orders and grey weights.
  const auto rgb = make_image("rgb8", 2, 1, 6, {10, 20, 30, 200, 100, 0});
  struct Case
  {
    std::string dst;
    int type;
    std::vector<int> first_pixel;
    std::vector<int> second_pixel;
  };
  const std::vector<Case> cases = {
      {"rgb8", CV_8UC3, {10, 20, 30}, {200, 100, 0}},
      {"bgr8", CV_8UC3, {30, 20, 10}, {0, 100, 200}},
      {"rgba8", CV_8UC4, {10, 20, 30, 255}, {200, 100, 0, 255}},
      {"bgra8", CV_8UC4, {30, 20, 10, 255}, {0, 100, 200, 255}},
      {"mono8", CV_8UC1, {18}, {119}},
      {"bgr16", CV_16UC3, {30 * 257, 20 * 257, 10 * 257}, {0, 100 * 257, 200 * 257}},
      {"mono16", CV_16UC1, {18 * 257}, {119 * 257}},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.dst);
    const auto out = cv_bridge::toCvCopy(rgb, c.dst);
    EXPECT_EQ(out->encoding, c.dst);
    EXPECT_EQ(out->header, rgb.header);
    ASSERT_EQ(out->image.type(), c.type);
    ASSERT_EQ(out->image.size(), cv::Size(2, 1));
    for (int ch = 0; ch < out->image.channels(); ++ch) {
      cv::Mat plane;
      cv::extractChannel(out->image, plane, ch);
      plane.convertTo(plane, CV_32S);
      EXPECT_EQ(plane.at<int>(0, 0), c.first_pixel[static_cast<size_t>(ch)]) << "channel " << ch;
      EXPECT_EQ(plane.at<int>(0, 1), c.second_pixel[static_cast<size_t>(ch)]) << "channel " << ch;
    }
  }

  // Back from 16 bit and from bgr8: scaling and swapping are undone.
  const auto mono16 = make_u16_image("mono16", {65535, 257});
  const auto mono8 = cv_bridge::toCvCopy(mono16, "mono8");
  EXPECT_EQ(mono8->image.at<uint8_t>(0, 0), 255);
  EXPECT_EQ(mono8->image.at<uint8_t>(0, 1), 1);
  const auto bgr = cv_bridge::toCvCopy(rgb, "bgr8");
  const auto rgb_again = cv_bridge::cvtColor(bgr, "rgb8");
  EXPECT_EQ(rgb_again->image.at<cv::Vec3b>(0, 1), cv::Vec3b(200, 100, 0));
}

TEST(CvBridge, NonColourConversionsKeepValuesWithoutScaling)
{
  const auto mono16 = make_u16_image("mono16", {1234, 65535});
  const auto as_16uc1 = cv_bridge::toCvCopy(mono16, "16UC1");
  EXPECT_EQ(as_16uc1->image.at<uint16_t>(0, 0), 1234);
  EXPECT_EQ(as_16uc1->image.at<uint16_t>(0, 1), 65535);

  // Depth in millimetres stays millimetres as float.
  const auto depth = make_u16_image("16UC1", {0, 1234, 65535});
  const auto as_float = cv_bridge::toCvCopy(depth, "32FC1");
  ASSERT_EQ(as_float->image.type(), CV_32FC1);
  EXPECT_FLOAT_EQ(as_float->image.at<float>(0, 0), 0.0f);
  EXPECT_FLOAT_EQ(as_float->image.at<float>(0, 1), 1234.0f);
  EXPECT_FLOAT_EQ(as_float->image.at<float>(0, 2), 65535.0f);

  // A colour source into a non-colour encoding only changes depth, still with 8/16 scaling.
  const auto rgb = make_image("rgb8", 1, 1, 3, {1, 2, 255});
  const auto as_16uc3 = cv_bridge::toCvCopy(rgb, "16UC3");
  EXPECT_EQ(as_16uc3->image.at<cv::Vec3w>(0, 0), cv::Vec3w(257, 514, 65535));
}

TEST(CvBridge, SameEncodingIsADeepCopyAndShareAliasesTheMessage)
{
  auto msg = std::make_shared<sensor_msgs::msg::Image>(make_u16_image("16UC1", {7, 8}));
  const auto copy = cv_bridge::toCvCopy(msg);
  const auto copy_same = cv_bridge::toCvCopy(*msg, "16UC1");
  sensor_msgs::msg::Image::ConstSharedPtr const_msg = msg;
  const auto shared = cv_bridge::toCvShare(const_msg);
  EXPECT_EQ(copy->encoding, "16UC1");
  EXPECT_EQ(static_cast<const void *>(shared->image.data), msg->data.data());

  msg->data[0] = 99;
  EXPECT_EQ(copy->image.at<uint16_t>(0, 0), 7);
  EXPECT_EQ(copy_same->image.at<uint16_t>(0, 0), 7);
  EXPECT_EQ(shared->image.at<uint16_t>(0, 0), 99);

  // A different encoding cannot be shared.
  const auto converted = cv_bridge::toCvShare(const_msg, "32FC1");
  EXPECT_NE(static_cast<const void *>(converted->image.data), msg->data.data());
}

TEST(CvBridge, BigEndianDataIsByteSwapped)
{
  auto msg = make_image("16UC2", 1, 1, 4, {0x12, 0x34, 0xAB, 0xCD});
  msg.is_bigendian = 1;
  const auto out = cv_bridge::toCvCopy(msg);
  EXPECT_EQ(out->image.at<cv::Vec2w>(0, 0), cv::Vec2w(0x1234, 0xABCD));
  const auto shared = cv_bridge::toCvShare(std::make_shared<const sensor_msgs::msg::Image>(msg));
  EXPECT_EQ(shared->image.at<cv::Vec2w>(0, 0), cv::Vec2w(0x1234, 0xABCD));
}

TEST(CvBridge, RefusesMalformedMessagesWithoutReadingPastTheBuffer)
{
  struct Case
  {
    const char * name;
    sensor_msgs::msg::Image msg;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"unknown encoding", make_image("jpeg", 1, 1, 3, {1, 2, 3}),
       "Unrecognized image encoding [jpeg]"},
      {"empty encoding", make_image("", 1, 1, 3, {1, 2, 3}), "Unrecognized image encoding []"},
      {"step below a row", make_image("rgb8", 4, 1, 11, std::vector<uint8_t>(11)),
       "Image is wrongly formed: step < width * byte_depth * num_channels  or  11 != 4 * 1 * 3"},
      {"16-bit step below a row", make_image("16UC1", 3, 2, 5, std::vector<uint8_t>(10)),
       "Image is wrongly formed: step < width * byte_depth * num_channels  or  5 != 3 * 2 * 1"},
      {"short buffer", make_image("rgb8", 4, 2, 12, std::vector<uint8_t>(23)),
       "Image is wrongly formed: height * step != size  or  2 * 12 != 23"},
      {"long buffer", make_image("mono8", 2, 2, 2, std::vector<uint8_t>(5)),
       "Image is wrongly formed: height * step != size  or  2 * 2 != 5"},
      // Regression: 32-bit height * step wrapped to 0 and matched an empty buffer.
      {"height * step wraps in 32 bits", make_image("mono8", 1, 2, 0x80000000u, {}),
       "Image is wrongly formed: height * step != size  or  2 * 2147483648 != 0"},
      {"width * depth wraps in 32 bits", make_image("32FC4", 0x10000000u, 1, 0, {}),
       "Image is wrongly formed: step < width * byte_depth * num_channels  or  0 != 268435456 * "
       "4 * 4"},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(thrown_text(c.msg, ""), c.text);
    EXPECT_EQ(thrown_text(c.msg, "bgr8"), c.text);
  }

  // Inconsistencies OpenCV itself would reject also arrive as cv_bridge::Exception.
  EXPECT_THROW(cv_bridge::toCvCopy(make_image("16UC1", 1, 2, 3, std::vector<uint8_t>(6))),
               cv_bridge::Exception);
  EXPECT_THROW(cv_bridge::toCvCopy(make_image("32F", 1, 1, 4, std::vector<uint8_t>(4))),
               cv_bridge::Exception);

  // An empty but consistent image is not an error.
  const auto empty = cv_bridge::toCvCopy(make_image("bgr8", 0, 0, 0, {}));
  EXPECT_TRUE(empty->image.empty());
}

TEST(CvBridge, RefusesConversionsThatMakeNoSense)
{
  const auto depth = make_u16_image("16UC1", {1, 2});
  const auto rgb = make_image("rgb8", 1, 1, 3, {1, 2, 3});
  const auto mono = make_image("mono8", 1, 1, 1, {1});
  EXPECT_EQ(thrown_text(depth, "mono16"),
            "[16UC1] is not a color format. but [mono16] is. The conversion does not make sense");
  EXPECT_EQ(thrown_text(depth, "32FC3"),
            "[16UC1] and [32FC3] do not have the same number of channel");
  EXPECT_EQ(thrown_text(rgb, "32FC1"),
            "[rgb8] is a color format but [32FC1] is not so they must have the same OpenCV type, "
            "CV_8UC3, CV16UC1 ....");
  EXPECT_EQ(thrown_text(mono, "yuv422"), "Unsupported conversion from [mono8] to [yuv422]");
  EXPECT_EQ(thrown_text(rgb, "bayer_rggb8"), "Unsupported conversion from [rgb8] to [bayer_rggb8]");
  EXPECT_EQ(thrown_text(rgb, "png"), "Unknown encoding png");
}

TEST(CvBridge, ToImageMsgPacksRowsOfNonContinuousImages)
{
  cv::Mat full(4, 5, CV_8UC3);
  for (int r = 0; r < full.rows; ++r) {
    for (int c = 0; c < full.cols; ++c) {
      full.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uint8_t>(r), static_cast<uint8_t>(c), 7);
    }
  }
  std_msgs::msg::Header header;
  header.frame_id = "crop";
  header.stamp.sec = 3;
  const cv_bridge::CvImage roi(header, "rgb8", full(cv::Rect(1, 2, 3, 2)));
  ASSERT_FALSE(roi.image.isContinuous());

  const auto msg = roi.toImageMsg();
  EXPECT_EQ(msg->header, header);
  EXPECT_EQ(msg->encoding, "rgb8");
  EXPECT_EQ(msg->width, 3u);
  EXPECT_EQ(msg->height, 2u);
  EXPECT_EQ(msg->step, 9u);
  EXPECT_EQ(msg->is_bigendian, 0);
  const std::vector<uint8_t> expected = {2, 1, 7, 2, 2, 7, 2, 3, 7, 3, 1, 7, 3, 2, 7, 3, 3, 7};
  EXPECT_EQ(msg->data, expected);

  // And back again.
  const auto back = cv_bridge::toCvCopy(*msg);
  EXPECT_EQ(cv::norm(back->image, roi.image, cv::NORM_INF), 0.0);
}
