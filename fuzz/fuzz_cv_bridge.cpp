// Image messages with random encodings, sizes, steps, byte orders and data lengths through
// cv_bridge::toCvCopy to several target encodings: a conversion either succeeds with the
// message's size or throws cv_bridge::Exception, and never reads past the message's data.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cv_bridge/cv_bridge.h"
#include "fuzz_support.hpp"
#include "sensor_msgs/image_encodings.hpp"
#include "sensor_msgs/msg/image.hpp"

namespace
{

using fuzz_support::check;

const char * const kEncodings[] = {
    "rgb8",         "bgr8",   "rgba8", "bgra8", "mono8", "mono16", "rgb16", "bgr16",  "rgba16",
    "bgra16",       "8UC1",   "8UC3",  "8UC4",  "8SC1",  "16UC1",  "16SC1", "16UC3",  "32SC1",
    "32FC1",        "32FC4",  "64FC1", "8UC",   "32F",   "8UC0",   "8UC5",  "8UC512", "bayer_rggb8",
    "bayer_bggr16", "yuv422", "UYVY",  "YUYV",  "nv21",  "",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, std::size_t size)
{
  FuzzedDataProvider fdp(data, size);
  sensor_msgs::msg::Image msg;
  msg.encoding = fdp.ConsumeBool() ? std::string(fdp.PickValueInArray(kEncodings))
                                   : fdp.ConsumeRandomLengthString(16);
  const bool wide = fdp.ConsumeBool();
  msg.height = wide ? fdp.ConsumeIntegral<uint32_t>() : fdp.ConsumeIntegralInRange<uint32_t>(0, 24);
  msg.width = wide ? fdp.ConsumeIntegral<uint32_t>() : fdp.ConsumeIntegralInRange<uint32_t>(0, 24);
  const uint32_t element = fdp.ConsumeIntegralInRange<uint32_t>(1, 8);
  msg.step = fdp.ConsumeBool() ? msg.width * element : fdp.ConsumeIntegral<uint32_t>();
  msg.is_bigendian = fdp.ConsumeIntegral<uint8_t>();
  const uint64_t claimed = static_cast<uint64_t>(msg.step) * msg.height;
  const std::size_t length =
      fdp.ConsumeBool() && claimed <= (1u << 16)
          ? static_cast<std::size_t>(claimed) + fdp.ConsumeIntegralInRange<std::size_t>(0, 1) -
                (claimed > 0 ? fdp.ConsumeIntegralInRange<std::size_t>(0, 1) : 0)
          : fdp.ConsumeIntegralInRange<std::size_t>(0, 4096);
  msg.data.resize(length);
  msg.data.shrink_to_fit();
  for (uint8_t & byte : msg.data) {
    byte = fdp.ConsumeIntegral<uint8_t>();
  }

  const int targets = fdp.ConsumeIntegralInRange(1, 3);
  for (int t = 0; t < targets; ++t) {
    const std::string target = fdp.ConsumeBool() ? std::string(fdp.PickValueInArray(kEncodings))
                                                 : fdp.ConsumeRandomLengthString(8);
    try {
      const cv_bridge::CvImagePtr image = cv_bridge::toCvCopy(msg, target);
      if (std::getenv("FUZZ_VERBOSE") != nullptr) {
        std::fprintf(stderr, "%s %ux%u step %u len %zu be %u -> '%s': %dx%d\n",
                     msg.encoding.c_str(), msg.width, msg.height, msg.step, msg.data.size(),
                     msg.is_bigendian, target.c_str(), image->image.cols, image->image.rows);
      }
      check(image != nullptr, "image != nullptr");
      if (msg.width == 0 || msg.height == 0) {
        // OpenCV keeps no shape for an empty matrix.
        check(image->image.empty(), "zero-area message gives an empty image");
      } else {
        check(image->image.rows == static_cast<int>(msg.height), "rows == height");
        check(image->image.cols == static_cast<int>(msg.width), "cols == width");
      }
      check(image->encoding == (target.empty() ? msg.encoding : target),
            "image->encoding == (target.empty() ? msg.encoding : target)");
    } catch (const cv_bridge::Exception &) {
    }
  }
  return 0;
}
