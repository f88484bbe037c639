// Pixels of a recorded sensor_msgs/CompressedImage: JPEG or PNG colour as the compressed image
// transport writes it, and the compressedDepth PNG format of depth streams.
#pragma once

#include <opencv2/core.hpp>

#include <string>

#include "bag/ros_messages.hpp"

namespace veltrax_bag
{

struct DecodedImage
{
  cv::Mat pixels;
  std::string encoding;  ///< "bgr8", "rgb8", "mono8", "16UC1" (mm) or "32FC1" (m, NaN = no return)
};

/// Decodes `image` by its `format`: "<encoding>; compressedDepth[ png]" for depth (a 12-byte
/// header, then a PNG of 16-bit depth or of quantised inverse depth), otherwise "<encoding>;
/// jpeg|png compressed ..." or a bare "jpeg"/"png" for colour, returned in the recorded
/// encoding (bgr8 when none is named). Throws BagError naming `source` when the header or the
/// PNG/JPEG data is damaged or the format is one this reader does not know.
DecodedImage decode_compressed_pixels(const CompressedImage & image, const std::string & source);

}  // namespace veltrax_bag
