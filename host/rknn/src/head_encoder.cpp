// Writes raw int8 head values that a YOLOv5 decoder turns back into given boxes: the inverse of
// the head arithmetic (sigmoid offsets and squared sigmoid sizes on anchors), followed by a
// small search over neighbouring raw values, because rounding to the int8 grid alone can move a
// large box's edge by several pixels.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <set>
#include <tuple>

#include "host_model.hpp"

namespace host_rknn
{

namespace
{

constexpr int kSearchRadius = 3;
constexpr double kSigmoidLimit = 1e-4;  // keeps the inverse finite for out-of-reach targets

struct Quantizer
{
  int32_t zp;
  float scale;
  std::array<float, 256> sigmoid;  // of every raw value, computed as a decoder would

  explicit Quantizer(OutputQuantization q) : zp(q.zp), scale(q.scale)
  {
    for (int raw = -128; raw <= 127; ++raw) {
      const float v = (static_cast<float>(raw) - static_cast<float>(zp)) * scale;
      sigmoid[index_of(raw)] = 1.0f / (1.0f + std::exp(-v));
    }
  }

  // A signed byte's table slot: -128 .. 127 to 0 .. 255.
  static std::size_t index_of(int raw)
  {
    const int slot = raw + 128;
    return static_cast<std::size_t>(slot);
  }

  float sig(int raw) const { return sigmoid[index_of(raw)]; }

  int quantize_logit(double logit, int lowest) const
  {
    const double q = std::round(logit / scale + zp);
    if (!(q > lowest)) {  // also catches -inf
      return lowest;
    }
    return q >= 127.0 ? 127 : static_cast<int>(q);
  }

  int quantize_probability(double p, int lowest = -128) const
  {
    return quantize_logit(std::log(p / (1.0 - p)), lowest);
  }
};

double clamp_probability(double p)
{
  return std::min(std::max(p, kSigmoidLimit), 1.0 - kSigmoidLimit);
}

// Raw offset and size values of one axis for a box edge pair [lo, hi] in cell `cell`, and the
// largest edge error the decoder will then show.
struct AxisFit
{
  int offset{0};
  int size{0};
  float error{0.0f};
};

AxisFit fit_axis(float lo, float hi, int cell, int stride, int32_t anchor, const Quantizer & q)
{
  const double centre = 0.5 * (static_cast<double>(lo) + hi);
  const double length = static_cast<double>(hi) - lo;
  const double offset_sigmoid = clamp_probability((centre / stride - cell + 0.5) / 2.0);
  const double size_sigmoid = clamp_probability(std::sqrt(length / anchor) / 2.0);
  const int offset0 = q.quantize_probability(offset_sigmoid);
  const int size0 = q.quantize_probability(size_sigmoid);

  AxisFit best;
  best.error = INFINITY;
  const auto s = static_cast<float>(stride);
  const auto a = static_cast<float>(anchor);
  for (int qo = std::max(-128, offset0 - kSearchRadius);
       qo <= std::min(127, offset0 + kSearchRadius); ++qo) {
    const float c = (q.sig(qo) * 2.0f - 0.5f + static_cast<float>(cell)) * s;
    for (int qs = std::max(-128, size0 - kSearchRadius); qs <= std::min(127, size0 + kSearchRadius);
         ++qs) {
      const float k = q.sig(qs) * 2.0f;
      const float w = k * k * a;
      const float x1 = c - w / 2.0f;
      const float x2 = x1 + w;
      const float error = std::max(std::fabs(x1 - lo), std::fabs(x2 - hi));
      if (error < best.error) {
        best = AxisFit{qo, qs, error};
      }
    }
  }
  return best;
}

struct Placement
{
  float error;
  int head;
  int anchor;
  int row;
  int col;
  AxisFit x;
  AxisFit y;
};

// The grid cells near the box centre: the decoder reaches half a cell beyond its own cell on
// each side, so the neighbours can carry the box too when the natural cell is taken.
std::vector<int> nearby_cells(float centre, int stride, int count)
{
  std::vector<int> cells;
  const int own = static_cast<int>(std::floor(centre / static_cast<float>(stride)));
  const int natural = std::min(std::max(own, 0), count - 1);
  for (int c = natural - 1; c <= natural + 1; ++c) {
    if (c >= 0 && c < count) {
      cells.push_back(c);
    }
  }
  return cells;
}

}  // namespace

void write_slot(const ModelSpec & model_spec, const ModelGeometry & geometry,
                const std::vector<Detection> & detections, std::size_t slot,
                std::vector<std::vector<int8_t>> & heads)
{
  std::vector<Quantizer> quantizers;
  for (std::size_t i = 0; i < geometry.outputs.size(); ++i) {
    const OutputGeometry & o = geometry.outputs[i];
    if (o.slot_elements > 0) {  // an input smaller than the stride has an empty grid
      std::memset(heads[i].data() + slot * o.slot_elements, -128, o.slot_elements);
    }
    quantizers.emplace_back(model_spec.outputs[i]);
  }

  std::set<std::tuple<int, int, int, int>> taken;
  for (const Detection & d : detections) {
    if (d.class_id < 0 || d.class_id >= model_spec.classes || !(d.x2 > d.x1) || !(d.y2 > d.y1)) {
      continue;
    }
    std::vector<Placement> options;
    for (std::size_t i = 0; i < geometry.outputs.size(); ++i) {
      const OutputGeometry & o = geometry.outputs[i];
      if (o.cells == 0) {
        continue;
      }
      const std::vector<int> cols = nearby_cells(0.5f * (d.x1 + d.x2), o.stride, o.grid_w);
      const std::vector<int> rows = nearby_cells(0.5f * (d.y1 + d.y2), o.stride, o.grid_h);
      for (int a = 0; a < kAnchorsPerHead; ++a) {
        const int32_t aw = model_spec.anchors[6 * i + 2 * static_cast<std::size_t>(a)];
        const int32_t ah = model_spec.anchors[6 * i + 2 * static_cast<std::size_t>(a) + 1];
        for (const int r : rows) {
          const AxisFit fy = fit_axis(d.y1, d.y2, r, o.stride, ah, quantizers[i]);
          for (const int c : cols) {
            const AxisFit fx = fit_axis(d.x1, d.x2, c, o.stride, aw, quantizers[i]);
            options.push_back(
                Placement{std::max(fx.error, fy.error), static_cast<int>(i), a, r, c, fx, fy});
          }
        }
      }
    }
    std::stable_sort(options.begin(), options.end(),
                     [](const Placement & l, const Placement & r) { return l.error < r.error; });
    for (const Placement & p : options) {
      if (!taken.emplace(p.head, p.anchor, p.row, p.col).second) {
        continue;
      }
      const OutputGeometry & o = geometry.outputs[static_cast<std::size_t>(p.head)];
      const Quantizer & q = quantizers[static_cast<std::size_t>(p.head)];
      int8_t * cell = heads[static_cast<std::size_t>(p.head)].data() + slot * o.slot_elements +
                      static_cast<std::size_t>(p.anchor) * geometry.channels_per_anchor * o.cells +
                      static_cast<std::size_t>(p.row) * o.grid_w + p.col;
      cell[0] = static_cast<int8_t>(p.x.offset);
      cell[o.cells] = static_cast<int8_t>(p.y.offset);
      cell[2 * o.cells] = static_cast<int8_t>(p.x.size);
      cell[3 * o.cells] = static_cast<int8_t>(p.y.size);
      cell[4 * o.cells] = static_cast<int8_t>(q.quantize_probability(d.objectness));
      // -127 at least, so the class beats the others (all -128) even at a tiny score.
      cell[(5 + static_cast<std::size_t>(d.class_id)) * o.cells] =
          static_cast<int8_t>(q.quantize_probability(d.score, -127));
      break;
    }
  }
}

}  // namespace host_rknn
