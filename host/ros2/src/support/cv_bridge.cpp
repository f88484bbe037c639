// Image message <-> cv::Mat conversion with the same observable behaviour as cv_bridge 3.2.1.
// Camera messages are untrusted: every size is checked in 64-bit arithmetic before a cv::Mat
// header is laid over the message buffer, and OpenCV failures surface as cv_bridge::Exception.
#include "cv_bridge/cv_bridge.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <utility>
#include <vector>

namespace enc = sensor_msgs::image_encodings;

namespace cv_bridge
{
namespace
{
constexpr bool kHostIsBigEndian =
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    true;
#else
    false;
#endif

int depth_str_to_int(const std::string & depth)
{
  if (depth == "8U") {
    return CV_8U;
  } else if (depth == "8S") {
    return CV_8S;
  } else if (depth == "16U") {
    return CV_16U;
  } else if (depth == "16S") {
    return CV_16S;
  } else if (depth == "32S") {
    return CV_32S;
  } else if (depth == "32F") {
    return CV_32F;
  }
  return CV_64F;
}

// The image_encodings helpers throw std::runtime_error for names they do not know; the bridge
// reports every problem with a message as its own exception type.
int num_channels(const std::string & encoding)
{
  try {
    return enc::numChannels(encoding);
  } catch (const std::runtime_error & e) {
    throw Exception(e.what());
  }
}

int bit_depth(const std::string & encoding)
{
  try {
    return enc::bitDepth(encoding);
  } catch (const std::runtime_error & e) {
    throw Exception(e.what());
  }
}

enum Encoding {
  INVALID = -1,
  GRAY = 0,
  RGB,
  BGR,
  RGBA,
  BGRA,
  YUV422,
  YUV422_YUY2,
  BAYER_RGGB,
  BAYER_BGGR,
  BAYER_GBRG,
  BAYER_GRBG
};

Encoding get_encoding(const std::string & encoding)
{
  if (encoding == enc::MONO8 || encoding == enc::MONO16) {
    return GRAY;
  }
  if (encoding == enc::BGR8 || encoding == enc::BGR16) {
    return BGR;
  }
  if (encoding == enc::RGB8 || encoding == enc::RGB16) {
    return RGB;
  }
  if (encoding == enc::BGRA8 || encoding == enc::BGRA16) {
    return BGRA;
  }
  if (encoding == enc::RGBA8 || encoding == enc::RGBA16) {
    return RGBA;
  }
  if (encoding == enc::YUV422) {
    return YUV422;
  }
  if (encoding == enc::YUV422_YUY2) {
    return YUV422_YUY2;
  }
  if (encoding == enc::BAYER_RGGB8 || encoding == enc::BAYER_RGGB16) {
    return BAYER_RGGB;
  }
  if (encoding == enc::BAYER_BGGR8 || encoding == enc::BAYER_BGGR16) {
    return BAYER_BGGR;
  }
  if (encoding == enc::BAYER_GBRG8 || encoding == enc::BAYER_GBRG16) {
    return BAYER_GBRG;
  }
  if (encoding == enc::BAYER_GRBG8 || encoding == enc::BAYER_GRBG16) {
    return BAYER_GRBG;
  }
  return INVALID;
}

// Marks a step that only changes the bit depth (convertTo), not the channel layout.
constexpr int kSameFormat = -1;

using ConversionTable = std::map<std::pair<Encoding, Encoding>, std::vector<int>>;

ConversionTable make_conversion_table()
{
  ConversionTable res;
  for (int i = 0; i <= 5; ++i) {
    res[{Encoding(i), Encoding(i)}].push_back(kSameFormat);
  }

  res[{GRAY, RGB}].push_back(cv::COLOR_GRAY2RGB);
  res[{GRAY, BGR}].push_back(cv::COLOR_GRAY2BGR);
  res[{GRAY, RGBA}].push_back(cv::COLOR_GRAY2RGBA);
  res[{GRAY, BGRA}].push_back(cv::COLOR_GRAY2BGRA);

  res[{RGB, GRAY}].push_back(cv::COLOR_RGB2GRAY);
  res[{RGB, BGR}].push_back(cv::COLOR_RGB2BGR);
  res[{RGB, RGBA}].push_back(cv::COLOR_RGB2RGBA);
  res[{RGB, BGRA}].push_back(cv::COLOR_RGB2BGRA);

  res[{BGR, GRAY}].push_back(cv::COLOR_BGR2GRAY);
  res[{BGR, RGB}].push_back(cv::COLOR_BGR2RGB);
  res[{BGR, RGBA}].push_back(cv::COLOR_BGR2RGBA);
  res[{BGR, BGRA}].push_back(cv::COLOR_BGR2BGRA);

  res[{RGBA, GRAY}].push_back(cv::COLOR_RGBA2GRAY);
  res[{RGBA, RGB}].push_back(cv::COLOR_RGBA2RGB);
  res[{RGBA, BGR}].push_back(cv::COLOR_RGBA2BGR);
  res[{RGBA, BGRA}].push_back(cv::COLOR_RGBA2BGRA);

  res[{BGRA, GRAY}].push_back(cv::COLOR_BGRA2GRAY);
  res[{BGRA, RGB}].push_back(cv::COLOR_BGRA2RGB);
  res[{BGRA, BGR}].push_back(cv::COLOR_BGRA2BGR);
  res[{BGRA, RGBA}].push_back(cv::COLOR_BGRA2RGBA);

  res[{YUV422, GRAY}].push_back(cv::COLOR_YUV2GRAY_UYVY);
  res[{YUV422, RGB}].push_back(cv::COLOR_YUV2RGB_UYVY);
  res[{YUV422, BGR}].push_back(cv::COLOR_YUV2BGR_UYVY);
  res[{YUV422, RGBA}].push_back(cv::COLOR_YUV2RGBA_UYVY);
  res[{YUV422, BGRA}].push_back(cv::COLOR_YUV2BGRA_UYVY);

  res[{YUV422_YUY2, GRAY}].push_back(cv::COLOR_YUV2GRAY_YUY2);
  res[{YUV422_YUY2, RGB}].push_back(cv::COLOR_YUV2RGB_YUY2);
  res[{YUV422_YUY2, BGR}].push_back(cv::COLOR_YUV2BGR_YUY2);
  res[{YUV422_YUY2, RGBA}].push_back(cv::COLOR_YUV2RGBA_YUY2);
  res[{YUV422_YUY2, BGRA}].push_back(cv::COLOR_YUV2BGRA_YUY2);

  // OpenCV names Bayer patterns after the second row, hence the apparent mismatch.
  res[{BAYER_RGGB, GRAY}].push_back(cv::COLOR_BayerBG2GRAY);
  res[{BAYER_RGGB, RGB}].push_back(cv::COLOR_BayerBG2RGB);
  res[{BAYER_RGGB, BGR}].push_back(cv::COLOR_BayerBG2BGR);

  res[{BAYER_BGGR, GRAY}].push_back(cv::COLOR_BayerRG2GRAY);
  res[{BAYER_BGGR, RGB}].push_back(cv::COLOR_BayerRG2RGB);
  res[{BAYER_BGGR, BGR}].push_back(cv::COLOR_BayerRG2BGR);

  res[{BAYER_GBRG, GRAY}].push_back(cv::COLOR_BayerGR2GRAY);
  res[{BAYER_GBRG, RGB}].push_back(cv::COLOR_BayerGR2RGB);
  res[{BAYER_GBRG, BGR}].push_back(cv::COLOR_BayerGR2BGR);

  res[{BAYER_GRBG, GRAY}].push_back(cv::COLOR_BayerGB2GRAY);
  res[{BAYER_GRBG, RGB}].push_back(cv::COLOR_BayerGB2RGB);
  res[{BAYER_GRBG, BGR}].push_back(cv::COLOR_BayerGB2BGR);

  return res;
}

bool is_color_format(const std::string & encoding)
{
  return enc::isColor(encoding) || enc::isMono(encoding) || enc::isBayer(encoding) ||
         encoding == enc::YUV422 || encoding == enc::YUV422_YUY2;
}

std::vector<int> get_conversion_code(const std::string & src_encoding,
                                     const std::string & dst_encoding)
{
  const bool is_src_color_format = is_color_format(src_encoding);
  const bool is_dst_color_format = is_color_format(dst_encoding);
  const bool is_num_channels_the_same = num_channels(src_encoding) == num_channels(dst_encoding);

  // Without colour information in the source only a change of depth makes sense.
  if (!is_src_color_format) {
    if (is_dst_color_format) {
      throw Exception("[" + src_encoding + "] is not a color format. but [" + dst_encoding +
                      "] is. The conversion does not make sense");
    }
    if (!is_num_channels_the_same) {
      throw Exception("[" + src_encoding + "] and [" + dst_encoding +
                      "] do not have the same number of channel");
    }
    return std::vector<int>(1, kSameFormat);
  }

  if (!is_dst_color_format) {
    if (!is_num_channels_the_same) {
      throw Exception("[" + src_encoding + "] is a color format but [" + dst_encoding + "] " +
                      "is not so they must have the same OpenCV type, CV_8UC3, CV16UC1 ....");
    }
    return std::vector<int>(1, kSameFormat);
  }

  static const ConversionTable kConversionCodes = make_conversion_table();
  const auto found =
      kConversionCodes.find({get_encoding(src_encoding), get_encoding(dst_encoding)});
  if (found == kConversionCodes.end()) {
    throw Exception("Unsupported conversion from [" + src_encoding + "] to [" + dst_encoding + "]");
  }

  std::vector<int> res = found->second;
  if (bit_depth(src_encoding) != bit_depth(dst_encoding) &&
      get_encoding(src_encoding) != get_encoding(dst_encoding)) {
    res.push_back(kSameFormat);
  }
  return res;
}

// A cv::Mat over the message's bytes (or over a byte-swapped copy). Throws before touching the
// buffer if the message's geometry does not fit inside it.
cv::Mat mat_from_image(const sensor_msgs::msg::Image & source)
{
  const int source_type = getCvType(source.encoding);
  const int byte_depth = bit_depth(source.encoding) / 8;
  const int channels = num_channels(source.encoding);

  const std::uint64_t min_step = std::uint64_t{source.width} *
                                 static_cast<std::uint64_t>(byte_depth) *
                                 static_cast<std::uint64_t>(channels);
  if (source.step < min_step) {
    std::stringstream ss;
    ss << "Image is wrongly formed: step < width * byte_depth * num_channels  or  " << source.step
       << " != " << source.width << " * " << byte_depth << " * " << channels;
    throw Exception(ss.str());
  }

  if (std::uint64_t{source.height} * std::uint64_t{source.step} != source.data.size()) {
    std::stringstream ss;
    ss << "Image is wrongly formed: height * step != size  or  " << source.height << " * "
       << source.step << " != " << source.data.size();
    throw Exception(ss.str());
  }

  if (source.height > static_cast<std::uint32_t>(INT_MAX) ||
      source.width > static_cast<std::uint32_t>(INT_MAX)) {
    throw Exception("Image is wrongly formed: dimensions exceed OpenCV's limits");
  }
  if (source.step % static_cast<std::uint32_t>(byte_depth) != 0) {
    std::stringstream ss;
    ss << "Image is wrongly formed: step " << source.step << " is not a multiple of byte_depth "
       << byte_depth;
    throw Exception(ss.str());
  }

  const int rows = static_cast<int>(source.height);
  const int cols = static_cast<int>(source.width);
  if (rows == 0 || cols == 0) {
    return cv::Mat(rows, cols, source_type);
  }
  // cv::Mat never writes through this pointer for a const message: toCvShare hands it out only
  // as a const CvImage, and toCvCopy copies before converting.
  auto * data = const_cast<uchar *>(source.data.data());
  cv::Mat mat(rows, cols, source_type, data, source.step);

  const bool same_byte_order = static_cast<bool>(source.is_bigendian) == kHostIsBigEndian;
  if (same_byte_order || byte_depth == 1) {
    return mat;
  }

  // Reinterpret as bytes and reverse the bytes of every channel.
  cv::Mat bytes(rows, cols, CV_MAKETYPE(CV_8U, channels * byte_depth), data, source.step);
  cv::Mat swapped(rows, cols, bytes.type());
  std::vector<int> from_to;
  from_to.reserve(static_cast<size_t>(channels * byte_depth) * 2);
  for (int i = 0; i < channels; ++i) {
    for (int j = 0; j < byte_depth; ++j) {
      from_to.push_back(byte_depth * i + j);
      from_to.push_back(byte_depth * i + byte_depth - 1 - j);
    }
  }
  cv::mixChannels(std::vector<cv::Mat>(1, bytes), std::vector<cv::Mat>(1, swapped), from_to);
  return cv::Mat(rows, cols, source_type, swapped.data, swapped.step).clone();
}

CvImagePtr to_cv_copy_impl(const cv::Mat & source, const std_msgs::msg::Header & src_header,
                           const std::string & src_encoding, const std::string & dst_encoding)
{
  auto ptr = std::make_shared<CvImage>();
  ptr->header = src_header;

  if (dst_encoding.empty() || dst_encoding == src_encoding) {
    ptr->encoding = src_encoding;
    source.copyTo(ptr->image);
    return ptr;
  }

  const std::vector<int> conversion_codes = get_conversion_code(src_encoding, dst_encoding);
  cv::Mat image1 = source;
  cv::Mat image2;
  try {
    for (const int conversion_code : conversion_codes) {
      if (conversion_code == kSameFormat) {
        const int src_depth = bit_depth(src_encoding);
        const int dst_depth = bit_depth(dst_encoding);
        // Keep the channel count of the intermediate image; only the depth changes here.
        const int image2_type =
            CV_MAKETYPE(CV_MAT_DEPTH(getCvType(dst_encoding)), image1.channels());
        if (src_depth == 8 && dst_depth == 16) {
          image1.convertTo(image2, image2_type, 65535. / 255.);
        } else if (src_depth == 16 && dst_depth == 8) {
          image1.convertTo(image2, image2_type, 255. / 65535.);
        } else {
          image1.convertTo(image2, image2_type);
        }
      } else {
        cv::cvtColor(image1, image2, conversion_code);
      }
      image1 = image2;
    }
  } catch (const cv::Exception & e) {
    throw Exception("Conversion from [" + src_encoding + "] to [" + dst_encoding +
                    "] failed: " + e.what());
  }
  // A depth-only conversion of an empty image leaves image2 empty but valid; a chain that ran
  // at least once always leaves image2 holding the result.
  ptr->image = image2;
  ptr->encoding = dst_encoding;
  return ptr;
}
}  // namespace

int getCvType(const std::string & encoding)
{
  if (encoding == enc::BGR8 || encoding == enc::RGB8) {
    return CV_8UC3;
  }
  if (encoding == enc::MONO8) {
    return CV_8UC1;
  }
  if (encoding == enc::MONO16) {
    return CV_16UC1;
  }
  if (encoding == enc::BGR16 || encoding == enc::RGB16) {
    return CV_16UC3;
  }
  if (encoding == enc::BGRA8 || encoding == enc::RGBA8) {
    return CV_8UC4;
  }
  if (encoding == enc::BGRA16 || encoding == enc::RGBA16) {
    return CV_16UC4;
  }
  if (encoding == enc::BAYER_RGGB8 || encoding == enc::BAYER_BGGR8 ||
      encoding == enc::BAYER_GBRG8 || encoding == enc::BAYER_GRBG8) {
    return CV_8UC1;
  }
  if (encoding == enc::BAYER_RGGB16 || encoding == enc::BAYER_BGGR16 ||
      encoding == enc::BAYER_GBRG16 || encoding == enc::BAYER_GRBG16) {
    return CV_16UC1;
  }
  if (encoding == enc::YUV422 || encoding == enc::YUV422_YUY2) {
    return CV_8UC2;
  }

  static const std::regex kWithChannels("(8U|8S|16U|16S|32S|32F|64F)C([0-9]+)");
  static const std::regex kDepthOnly("(8U|8S|16U|16S|32S|32F|64F)");
  std::smatch m;
  if (std::regex_match(encoding, m, kWithChannels)) {
    const std::string digits = m[2].str();
    // More digits than needed would overflow the conversion below; OpenCV caps channels anyway.
    if (digits.size() <= 3) {
      const int channels = std::stoi(digits);
      if (channels >= 1 && channels <= CV_CN_MAX) {
        return CV_MAKETYPE(depth_str_to_int(m[1].str()), channels);
      }
    }
  } else if (std::regex_match(encoding, m, kDepthOnly)) {
    return CV_MAKETYPE(depth_str_to_int(m[1].str()), 1);
  }

  throw Exception("Unrecognized image encoding [" + encoding + "]");
}

sensor_msgs::msg::Image::SharedPtr CvImage::toImageMsg() const
{
  auto ptr = std::make_shared<sensor_msgs::msg::Image>();
  toImageMsg(*ptr);
  return ptr;
}

void CvImage::toImageMsg(sensor_msgs::msg::Image & ros_image) const
{
  ros_image.header = header;
  ros_image.height = static_cast<std::uint32_t>(image.rows);
  ros_image.width = static_cast<std::uint32_t>(image.cols);
  ros_image.encoding = encoding;
  ros_image.is_bigendian = kHostIsBigEndian;
  const size_t row_bytes = static_cast<size_t>(image.cols) * image.elemSize();
  ros_image.step = static_cast<std::uint32_t>(row_bytes);
  const size_t size = row_bytes * static_cast<size_t>(image.rows);
  ros_image.data.resize(size);
  if (size == 0) {
    return;
  }

  if (image.isContinuous()) {
    std::memcpy(ros_image.data.data(), image.data, size);
  } else {
    uchar * ros_data_ptr = ros_image.data.data();
    for (int i = 0; i < image.rows; ++i) {
      std::memcpy(ros_data_ptr, image.ptr(i), row_bytes);
      ros_data_ptr += row_bytes;
    }
  }
}

CvImagePtr toCvCopy(const sensor_msgs::msg::Image::ConstSharedPtr & source,
                    const std::string & encoding)
{
  return toCvCopy(*source, encoding);
}

CvImagePtr toCvCopy(const sensor_msgs::msg::Image & source, const std::string & encoding)
{
  return to_cv_copy_impl(mat_from_image(source), source.header, source.encoding, encoding);
}

CvImageConstPtr toCvShare(const sensor_msgs::msg::Image::ConstSharedPtr & source,
                          const std::string & encoding)
{
  return toCvShare(*source, source, encoding);
}

CvImageConstPtr toCvShare(const sensor_msgs::msg::Image & source,
                          const std::shared_ptr<void const> & tracked_object,
                          const std::string & encoding)
{
  // A different encoding or byte order needs new pixels; otherwise the message is shared.
  if ((!encoding.empty() && source.encoding != encoding) ||
      (source.is_bigendian && !kHostIsBigEndian)) {
    return toCvCopy(source, encoding);
  }

  auto ptr = std::make_shared<CvImage>();
  ptr->header = source.header;
  ptr->encoding = source.encoding;
  ptr->tracked_object_ = tracked_object;
  ptr->image = mat_from_image(source);
  return ptr;
}

CvImagePtr cvtColor(const CvImageConstPtr & source, const std::string & encoding)
{
  return to_cv_copy_impl(source->image, source->header, source->encoding, encoding);
}
}  // namespace cv_bridge
