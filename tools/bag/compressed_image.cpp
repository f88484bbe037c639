#include "bag/compressed_image.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <limits>

namespace veltrax_bag
{
namespace
{

// The compressed depth transport's header before the PNG: int32 format, float quant_a, quant_b.
constexpr std::size_t kDepthHeaderBytes = 12;

std::string recorded_encoding(const std::string & format)
{
  const std::size_t separator = format.find(';');
  return separator == std::string::npos ? std::string() : format.substr(0, separator);
}

cv::Mat decode_bytes(const std::uint8_t * data, std::size_t size, int flags,
                     const std::string & source)
{
  cv::Mat decoded;
  if (size > 0) {
    const cv::Mat encoded(1, static_cast<int>(size), CV_8UC1, const_cast<std::uint8_t *>(data));
    decoded = cv::imdecode(encoded, flags);
  }
  if (decoded.empty()) {
    throw BagError(source + ": image data (" + std::to_string(size) +
                   " bytes) is not a readable PNG or JPEG");
  }
  return decoded;
}

DecodedImage decode_depth(const CompressedImage & image, const std::string & encoding,
                          const std::string & source)
{
  if (image.data.size() < kDepthHeaderBytes) {
    throw BagError(source + ": compressedDepth data of " + std::to_string(image.data.size()) +
                   " bytes is shorter than its 12-byte header");
  }
  float quant_a = 0.0F;
  float quant_b = 0.0F;
  std::memcpy(&quant_a, image.data.data() + 4, sizeof(float));
  std::memcpy(&quant_b, image.data.data() + 8, sizeof(float));
  const cv::Mat png =
      decode_bytes(image.data.data() + kDepthHeaderBytes, image.data.size() - kDepthHeaderBytes,
                   cv::IMREAD_UNCHANGED, source);
  if (png.type() != CV_16UC1) {
    throw BagError(source + ": compressedDepth PNG is not one 16-bit channel");
  }
  if (encoding == "16UC1") {
    return {png, encoding};
  }
  if (encoding != "32FC1") {
    throw BagError(source + ": compressedDepth of encoding \"" + encoding +
                   "\" is not supported (16UC1 or 32FC1)");
  }
  // 32-bit depth travels as quantised inverse depth, q = quant_a / depth + quant_b; 0 = none.
  cv::Mat depth(png.size(), CV_32FC1);
  for (int row = 0; row < png.rows; ++row) {
    for (int col = 0; col < png.cols; ++col) {
      const std::uint16_t quantised = png.at<std::uint16_t>(row, col);
      depth.at<float>(row, col) = quantised == 0
                                      ? std::numeric_limits<float>::quiet_NaN()
                                      : quant_a / (static_cast<float>(quantised) - quant_b);
    }
  }
  return {depth, encoding};
}

}  // namespace

DecodedImage decode_compressed_pixels(const CompressedImage & image, const std::string & source)
{
  const std::string encoding = recorded_encoding(image.format);
  if (image.format.find("compressedDepth") != std::string::npos) {
    return decode_depth(image, encoding, source);
  }
  if (image.format.find("jpeg") == std::string::npos &&
      image.format.find("png") == std::string::npos) {
    throw BagError(source + ": compressed image format \"" + image.format +
                   "\" is not supported (jpeg, png or compressedDepth)");
  }
  const bool mono = encoding == "mono8";
  cv::Mat pixels = decode_bytes(image.data.data(), image.data.size(),
                                mono ? cv::IMREAD_GRAYSCALE : cv::IMREAD_COLOR, source);
  // The transport compresses colour as BGR and the receiving side restores the recorded order.
  if (encoding == "rgb8") {
    cv::cvtColor(pixels, pixels, cv::COLOR_BGR2RGB);
    return {pixels, encoding};
  }
  return {pixels, mono ? encoding : "bgr8"};
}

}  // namespace veltrax_bag
