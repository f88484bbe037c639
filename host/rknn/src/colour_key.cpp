// The colour-key backend's eye: regions painted in a class key colour.
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <limits>

#include "host_model.hpp"

namespace host_rknn
{

namespace
{

constexpr uint8_t kNoClass = 255;
constexpr uint8_t kNoLevel = 3;  // levels 0, 1, 2 are the channel values 0, 128, 255

}  // namespace

const std::array<KeyColour, kKeyColourCount> & key_colours()
{
  // Saturated colours from the channel values 0, 128 and 255, none of them a pure primary,
  // white or black: camera images rarely hold them exactly (clipped highlights give primaries
  // or white), so a real scene stays free of detections.
  static const std::array<KeyColour, kKeyColourCount> colours{{
      {255, 0, 128},  // 0
      {0, 255, 128},  // 1
      {128, 0, 255},  // 2
      {255, 128, 0},  // 3
      {0, 128, 255},  // 4
      {128, 255, 0},  // 5
      {255, 0, 255},  // 6
      {0, 255, 255},  // 7
  }};
  return colours;
}

std::vector<Detection> find_key_regions(const uint8_t * rgb, int height, int width,
                                        const ModelSpec & model_spec)
{
  std::vector<Detection> found;
  if (rgb == nullptr || height <= 0 || width <= 0) {
    return found;
  }

  // Every key channel is 0, 128 or 255; with a tolerance below 64 the three bands never meet,
  // so a channel value maps to at most one level and a pixel to at most one class.
  const int tol = model_spec.colour_tolerance;
  std::array<uint8_t, 256> level{};
  for (int v = 0; v < 256; ++v) {
    level[static_cast<std::size_t>(v)] = v <= tol                   ? 0
                                         : std::abs(v - 128) <= tol ? 1
                                         : v >= 255 - tol           ? 2
                                                                    : kNoLevel;
  }
  const auto level_of = [](uint8_t channel) { return channel == 0 ? 0 : channel == 128 ? 1 : 2; };
  std::array<uint8_t, 64> class_of{};
  class_of.fill(kNoClass);
  const int classes = std::min(model_spec.classes, kKeyColourCount);
  for (int k = 0; k < classes; ++k) {
    const KeyColour & c = key_colours()[static_cast<std::size_t>(k)];
    const int levels = level_of(c.r) * 16 + level_of(c.g) * 4 + level_of(c.b);
    class_of[static_cast<std::size_t>(levels)] = static_cast<uint8_t>(k);
  }

  // Each class's pixels and their bounding box: the components are searched within that box
  // only, which keeps the cost in proportion to the painted regions rather than the image.
  cv::Mat labels(height, width, CV_8UC1);
  struct Extent
  {
    int left{std::numeric_limits<int>::max()}, top{std::numeric_limits<int>::max()};
    int right{-1}, bottom{-1};
  };
  std::array<Extent, kKeyColourCount> extents{};
  for (int y = 0; y < height; ++y) {
    const uint8_t * px = rgb + static_cast<std::size_t>(y) * width * 3;
    uint8_t * out = labels.ptr<uint8_t>(y);
    for (int x = 0; x < width; ++x, px += 3) {
      const uint8_t k =
          class_of[static_cast<std::size_t>(level[px[0]] * 16 + level[px[1]] * 4 + level[px[2]])];
      out[x] = k;
      if (k != kNoClass) {
        Extent & e = extents[k];
        e.left = std::min(e.left, x);
        e.right = std::max(e.right, x);
        e.top = std::min(e.top, y);
        e.bottom = y;
      }
    }
  }

  cv::Mat mask;
  cv::Mat components;
  cv::Mat stats;
  cv::Mat centroids;
  for (int k = 0; k < classes; ++k) {
    const Extent & e = extents[static_cast<std::size_t>(k)];
    if (e.right < 0) {
      continue;
    }
    const cv::Rect box(e.left, e.top, e.right - e.left + 1, e.bottom - e.top + 1);
    cv::compare(labels(box), k, mask, cv::CMP_EQ);
    const int n = cv::connectedComponentsWithStats(mask, components, stats, centroids, 8, CV_32S);
    for (int i = 1; i < n; ++i) {
      if (stats.at<int>(i, cv::CC_STAT_AREA) < model_spec.min_region_area_px) {
        continue;
      }
      Detection d;
      d.class_id = k;
      d.x1 = static_cast<float>(box.x + stats.at<int>(i, cv::CC_STAT_LEFT));
      d.y1 = static_cast<float>(box.y + stats.at<int>(i, cv::CC_STAT_TOP));
      d.x2 = d.x1 + static_cast<float>(stats.at<int>(i, cv::CC_STAT_WIDTH));
      d.y2 = d.y1 + static_cast<float>(stats.at<int>(i, cv::CC_STAT_HEIGHT));
      d.score = kColourKeyScore;
      d.objectness = kColourKeyObjectness;
      found.push_back(d);
    }
  }
  return found;
}

}  // namespace host_rknn
