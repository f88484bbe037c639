// Pixels of recorded compressed images: colour and both depth encodings, and data the decoder
// refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "bag/compressed_image.hpp"
#include "support/bag_test_support.hpp"

namespace
{

using ::testing::HasSubstr;
using namespace veltrax_bag_test;

veltrax_bag::CompressedImage compressed(const std::string & format, const cv::Mat & pixels,
                                        const Bytes & prefix = {})
{
  std::vector<std::uint8_t> encoded;
  cv::imencode(format.find("jpeg") != std::string::npos ? ".jpg" : ".png", pixels, encoded);
  veltrax_bag::CompressedImage image;
  image.format = format;
  image.data = prefix;
  image.data.insert(image.data.end(), encoded.begin(), encoded.end());
  return image;
}

// compressedDepth's 12-byte header: int32 format (unread), then quant_a and quant_b.
Bytes depth_header(float quant_a, float quant_b)
{
  Bytes header(12, 0);
  std::memcpy(header.data() + 4, &quant_a, sizeof(float));
  std::memcpy(header.data() + 8, &quant_b, sizeof(float));
  return header;
}

TEST(CompressedImage, DecodesColourAndDepthToTheRecordedPixelsAndEncoding)
{
  cv::Mat colour(4, 6, CV_8UC3);
  cv::randu(colour, cv::Scalar::all(0), cv::Scalar::all(255));  // OpenCV's fixed default seed
  cv::Mat rgb;
  cv::cvtColor(colour, rgb, cv::COLOR_BGR2RGB);
  const cv::Mat flat(8, 8, CV_8UC3, cv::Scalar(40, 120, 200));
  const cv::Mat depth_mm = (cv::Mat_<std::uint16_t>(2, 3) << 0, 1, 500, 1000, 4000, 65535);
  // Name, message, encoding and pixels expected, tolerance (JPEG is lossy).
  const std::vector<
      std::tuple<const char *, veltrax_bag::CompressedImage, std::string, cv::Mat, double>>
      cases = {
          {"png bgr8", compressed("bgr8; png compressed bgr8", colour), "bgr8", colour, 0},
          {"png recorded as rgb8", compressed("rgb8; png compressed bgr8", colour), "rgb8", rgb, 0},
          {"bare jpeg", compressed("jpeg", flat), "bgr8", flat, 4},
          {"16-bit depth", compressed("16UC1; compressedDepth png", depth_mm, depth_header(0, 0)),
           "16UC1", depth_mm, 0},
      };
  for (const auto & [name, image, encoding, pixels, tolerance] : cases) {
    SCOPED_TRACE(name);
    const veltrax_bag::DecodedImage decoded = veltrax_bag::decode_compressed_pixels(image, name);
    EXPECT_EQ(decoded.encoding, encoding);
    ASSERT_EQ(decoded.pixels.size(), pixels.size());
    ASSERT_EQ(decoded.pixels.type(), pixels.type());
    EXPECT_LE(cv::norm(decoded.pixels, pixels, cv::NORM_INF), tolerance);
  }

  // 32-bit depth: q = 100 / depth_m + 10, so q = 60 is 2 m and q = 110 is 1 m; 0 has no return.
  const cv::Mat inverse_depth = (cv::Mat_<std::uint16_t>(1, 3) << 60, 110, 0);
  const veltrax_bag::DecodedImage depth32 = veltrax_bag::decode_compressed_pixels(
      compressed("32FC1; compressedDepth", inverse_depth, depth_header(100, 10)), "depth32");
  EXPECT_EQ(depth32.encoding, "32FC1");
  ASSERT_EQ(depth32.pixels.type(), CV_32FC1);
  EXPECT_FLOAT_EQ(depth32.pixels.at<float>(0, 0), 2.0F);
  EXPECT_FLOAT_EQ(depth32.pixels.at<float>(0, 1), 1.0F);
  EXPECT_TRUE(std::isnan(depth32.pixels.at<float>(0, 2)));
}

TEST(CompressedImage, RefusesDamagedDataAndUnknownFormatsNamingTheMessage)
{
  const cv::Mat depth_mm(2, 2, CV_16UC1, cv::Scalar(700));
  veltrax_bag::CompressedImage cut_png =
      compressed("bgr8; png compressed bgr8", cv::Mat(4, 4, CV_8UC3, cv::Scalar(9, 8, 7)));
  cut_png.data.resize(cut_png.data.size() / 2);
  veltrax_bag::CompressedImage short_header;
  short_header.format = "16UC1; compressedDepth png";
  short_header.data = {1, 2, 3};
  const std::vector<std::pair<veltrax_bag::CompressedImage, std::string>> cases = {
      {cut_png, "not a readable PNG or JPEG"},
      {short_header, "shorter than its 12-byte header"},
      {compressed("8UC1; compressedDepth png", depth_mm, depth_header(0, 0)),
       "\"8UC1\" is not supported"},
      {compressed("bgr8; tiff compressed bgr8", depth_mm),
       "\"bgr8; tiff compressed bgr8\" is not supported"},
  };
  for (const auto & [image, expected] : cases) {
    SCOPED_TRACE(expected);
    const std::string error = bag_error_text(
        [&] { veltrax_bag::decode_compressed_pixels(image, "/camera/image/compressed at 5 ns"); });
    EXPECT_THAT(error, HasSubstr("/camera/image/compressed at 5 ns: "));
    EXPECT_THAT(error, HasSubstr(expected));
  }
}

}  // namespace
