// Arbitrary bytes as each recorded message type the replay decodes (ros_messages.hpp), and a
// decoded CompressedImage's data as pixels of its format (compressed_image.hpp): a decoder either
// returns a record that agrees with itself or throws BagError; any other exception, a crash or a
// sanitizer report is a finding. The last byte picks the type; the rest is the message.

#include <cstdint>
#include <string>
#include <vector>

#include "bag/compressed_image.hpp"
#include "bag/ros_messages.hpp"
#include "fuzz_support.hpp"

namespace
{

using fuzz_support::check;

void decode(std::uint8_t kind, const veltrax_bag::ByteView message)
{
  switch (kind % 6) {
    case 0:
      veltrax_bag::decode_string(message, "fuzz");
      break;
    case 1: {
      const veltrax_bag::Image image = veltrax_bag::decode_image(message, "fuzz");
      check(static_cast<std::uint64_t>(image.step) * image.height == image.data.size(),
            "image data is step * height bytes");
      break;
    }
    case 2: {
      const veltrax_bag::CompressedImage image =
          veltrax_bag::decode_compressed_image(message, "fuzz");
      const veltrax_bag::DecodedImage decoded =
          veltrax_bag::decode_compressed_pixels(image, "fuzz");
      check(!decoded.pixels.empty(), "a decoded image has pixels");
      check(decoded.encoding != "16UC1" || decoded.pixels.type() == CV_16UC1,
            "16UC1 depth is one 16-bit channel");
      check(decoded.encoding != "32FC1" || decoded.pixels.type() == CV_32FC1,
            "32FC1 depth is one float channel");
      break;
    }
    case 3: {
      const veltrax_bag::CameraInfo info = veltrax_bag::decode_camera_info(message, "fuzz");
      check(info.d.size() * sizeof(double) <= message.size, "no more coefficients than bytes");
      break;
    }
    case 4: {
      const auto transforms = veltrax_bag::decode_tf_message(message, "fuzz");
      check(transforms.size() * 8 <= message.size, "no more transforms than bytes");
      break;
    }
    default:
      veltrax_bag::decode_twist(message, "fuzz");
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t * data, std::size_t size)
{
  if (size == 0) {
    return 0;
  }
  try {
    decode(data[size - 1], {data, size - 1});
  } catch (const veltrax_bag::BagError &) {
  }
  return 0;
}
