// Internals of the host NPU runtime shared by its sources: tensor geometry derived from a model
// file, the writer of raw head values, the colour-key region finder and the onnx network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host_rknn/host_rknn.hpp"

namespace host_rknn
{

inline constexpr int kStrides[3] = {8, 16, 32};
inline constexpr int kAnchorsPerHead = 3;

/// Grid of one output head.
struct OutputGeometry
{
  int32_t stride{0};
  int32_t grid_h{0};
  int32_t grid_w{0};
  std::size_t cells{0};          ///< grid_h * grid_w
  std::size_t slot_elements{0};  ///< 3 * (classes + 5) * cells
};

/// Input and output tensor sizes of a model.
struct ModelGeometry
{
  uint32_t batch{0};
  uint32_t height{0};
  uint32_t width{0};
  uint32_t channels{0};
  std::size_t input_bytes{0};  ///< batch * height * width * channels (0 without an input)
  int32_t channels_per_anchor{0};
  std::vector<OutputGeometry> outputs;
};

ModelGeometry geometry_of(const ModelSpec & model_spec);

/// Writes one batch slot (0-based) of every head: all values -128, then the cells that decode
/// to `detections`. Detections with an unknown class or an empty box are skipped; two
/// detections never share a cell and anchor (the second takes its next best fit).
/// `heads[i]` must hold geometry.outputs[i].slot_elements * batch values.
void write_slot(const ModelSpec & model_spec, const ModelGeometry & geometry,
                const std::vector<Detection> & detections, std::size_t slot,
                std::vector<std::vector<int8_t>> & heads);

/// Connected regions painted in class key colours in one RGB image (row-major, interleaved),
/// as detections in pixel-edge coordinates: a region covering columns l .. r gives x1 = l,
/// x2 = r + 1. Regions smaller than model_spec.min_region_area_px and classes >= model_spec.classes
/// are ignored. Ordered by class, then by the labelling's component order.
std::vector<Detection> find_key_regions(const uint8_t * rgb, int height, int width,
                                        const ModelSpec & model_spec);

/// Class score and objectness written for a colour-key region.
inline constexpr float kColourKeyScore = 0.9f;
inline constexpr float kColourKeyObjectness = 0.99f;

/// The onnx backend's network, checked against the model file's tensors when it is loaded.
class OnnxNetwork
{
public:
  /// Loads model_spec.onnx.path and runs it once on a mid-grey batch to check its outputs and to
  /// measure the quantisation of heads marked `measured` (written into model_spec.outputs).
  /// Throws std::runtime_error with one line saying what was found when the network does not
  /// fit the file's input and three heads.
  OnnxNetwork(ModelSpec & model_spec, const ModelGeometry & geometry);
  ~OnnxNetwork();
  OnnxNetwork(const OnnxNetwork &) = delete;
  OnnxNetwork & operator=(const OnnxNetwork &) = delete;

  /// Runs the network on every batch slot of `rgb` (interleaved RGB, slot after slot) and writes
  /// the quantised heads (`heads[i]` sized as for write_slot). Returns the count of NaN values.
  std::size_t run(const uint8_t * rgb, std::vector<std::vector<int8_t>> & heads);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace host_rknn
