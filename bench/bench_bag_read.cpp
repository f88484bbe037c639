// Reading and decoding a recording as run_demo --bag does: 640x480 colour and depth of the
// recorded milk_cartoon frame, raw (rgb8 + 16UC1) or compressed (JPEG or PNG colour +
// compressedDepth PNG), in sqlite3 and MCAP storage (zstd chunks), written to a temporary
// directory at start-up. Each iteration opens the bag and decodes every image; bytes processed
// are the decoded pixels, items the images. Arguments: storage (0 sqlite3, 1 MCAP), and the
// encoding (0 raw, 1 JPEG colour, 2 PNG colour; depth raw or compressedDepth with it).
#include <benchmark/benchmark.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bag/compressed_image.hpp"
#include "bag/ros_messages.hpp"
#include "bag/rosbag_reader.hpp"
#include "support/bag_builder.hpp"

namespace
{

namespace fs = std::filesystem;
namespace builder = veltrax_bag_builder;

constexpr int kFrames = 20;
const char * const kStorages[] = {"sqlite3", "mcap"};
const char * const kEncodings[] = {"raw", "jpeg", "png"};

// The bags, written once and removed when the program ends.
class Recordings
{
public:
  Recordings() : root_(fs::temp_directory_path() / ("bench_bag_read_" + std::to_string(::getpid())))
  {
    const std::string frame = std::string(TEST_DATA_DIR) + "/rgbd/milk_cartoon/milk_cartoon";
    const cv::Mat bgr = cv::imread(frame + "_color.png", cv::IMREAD_COLOR);
    const cv::Mat depth = cv::imread(frame + "_depth_mm.png", cv::IMREAD_ANYDEPTH);
    if (bgr.empty() || depth.type() != CV_16UC1) {
      std::abort();
    }
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    for (const char * storage : kStorages) {
      for (const char * encoding : kEncodings) {
        write(storage, encoding, rgb, bgr, depth);
      }
    }
  }
  ~Recordings() { fs::remove_all(root_); }

  fs::path bag(int storage, int encoding) const
  {
    return root_ / (std::string(kStorages[storage]) + "_" + kEncodings[encoding]);
  }

private:
  // Every frame carries the same pixels, encoded once.
  void write(const std::string & storage, const std::string & encoding, const cv::Mat & rgb,
             const cv::Mat & bgr, const cv::Mat & depth)
  {
    const bool raw = encoding == "raw";
    const std::string type = raw ? "sensor_msgs/msg/Image" : "sensor_msgs/msg/CompressedImage";
    // Encoded with the Humble image transports' defaults: JPEG quality 95, PNG level 3 for
    // colour and 9 for depth.
    veltrax_bag::CompressedImage color{{}, "rgb8; " + encoding + " compressed bgr8", {}};
    veltrax_bag::CompressedImage depth_png{{}, "16UC1; compressedDepth png", builder::Bytes(12, 0)};
    if (!raw) {
      if (encoding == "jpeg") {
        cv::imencode(".jpg", bgr, color.data, {cv::IMWRITE_JPEG_QUALITY, 95});
      } else {
        cv::imencode(".png", bgr, color.data, {cv::IMWRITE_PNG_COMPRESSION, 3});
      }
      builder::Bytes png;
      cv::imencode(".png", depth, png, {cv::IMWRITE_PNG_COMPRESSION, 9});
      depth_png.data.insert(depth_png.data.end(), png.begin(), png.end());
    }
    std::vector<builder::RecordedMessage> messages;
    for (int k = 0; k < kFrames; ++k) {
      const std::int64_t time_ns = 1700000000LL * 1000000000LL + k * 100000000LL;
      const veltrax_bag::Header header{static_cast<std::int32_t>(time_ns / 1000000000), 0, "cam"};
      if (raw) {
        messages.push_back(
            {0, time_ns, builder::cdr_image(builder::image_record(rgb, "rgb8", header))});
        messages.push_back(
            {1, time_ns, builder::cdr_image(builder::image_record(depth, "16UC1", header))});
      } else {
        color.header = depth_png.header = header;
        messages.push_back({0, time_ns, builder::cdr_compressed_image(color)});
        messages.push_back({1, time_ns, builder::cdr_compressed_image(depth_png)});
      }
    }
    builder::write_bag(root_ / (storage + "_" + encoding), storage,
                       {{"/camera/color", type}, {"/camera/depth", type}}, messages);
  }

  fs::path root_;
};

const Recordings & recordings()
{
  static const Recordings bags;
  return bags;
}

void BM_ReadAndDecodeImages(benchmark::State & state)
{
  const int storage = static_cast<int>(state.range(0));
  const int encoding = static_cast<int>(state.range(1));
  const fs::path directory = recordings().bag(storage, encoding);
  std::int64_t pixel_bytes = 0;
  std::int64_t images = 0;
  for (auto _ : state) {
    veltrax_bag::BagReader bag(directory);
    veltrax_bag::BagMessage message;
    while (bag.read_next(message)) {
      const veltrax_bag::ByteView bytes{message.serialized.data(), message.serialized.size()};
      if (encoding == 0) {
        const veltrax_bag::Image image = veltrax_bag::decode_image(bytes, message.topic);
        pixel_bytes += static_cast<std::int64_t>(image.data.size());
      } else {
        const veltrax_bag::DecodedImage image = veltrax_bag::decode_compressed_pixels(
            veltrax_bag::decode_compressed_image(bytes, message.topic), message.topic);
        pixel_bytes += static_cast<std::int64_t>(image.pixels.total() * image.pixels.elemSize());
      }
      ++images;
    }
  }
  state.SetBytesProcessed(pixel_bytes);
  state.SetItemsProcessed(images);
  state.SetLabel(std::string(kStorages[storage]) + ", " + kEncodings[encoding]);
}
BENCHMARK(BM_ReadAndDecodeImages)
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->ArgNames({"storage", "encoding"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
