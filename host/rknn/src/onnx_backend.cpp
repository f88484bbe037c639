// The onnx backend: an exported network run with OpenCV's DNN module on the CPU, its float heads
// quantised to int8 as the NPU's outputs are, so the node decodes them exactly as on the robot.
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "host_model.hpp"

namespace host_rknn
{

namespace
{

[[noreturn]] void refuse(const std::string & path, const std::string & what)
{
  throw std::runtime_error("onnx model " + path + ": " + what);
}

std::string shape_text(const std::vector<int64_t> & dims)
{
  std::ostringstream text;
  text << '[';
  for (std::size_t i = 0; i < dims.size(); ++i) {
    text << (i > 0 ? ", " : "");
    if (dims[i] < 0) {
      text << '?';
    } else {
      text << dims[i];
    }
  }
  text << ']';
  return text.str();
}

// The few fields of an ONNX ModelProto the runtime checks before OpenCV sees the file: the
// graph's inputs and their declared shapes (OpenCV runs a fully convolutional network at any
// size, where the NPU would run the size it was compiled for).
class ProtoReader
{
public:
  ProtoReader(const char * data, std::size_t size) : p_(data), end_(data + size) {}

  bool done() const { return p_ == end_; }

  // Next field; false at the end or on malformed input.
  bool next(uint32_t & field, uint32_t & wire_type)
  {
    uint64_t key = 0;
    if (done() || !varint(key)) {
      return false;
    }
    field = static_cast<uint32_t>(key >> 3);
    wire_type = static_cast<uint32_t>(key & 7u);
    return field != 0;
  }

  bool varint(uint64_t & value)
  {
    value = 0;
    for (int shift = 0; shift < 64 && p_ != end_; shift += 7) {
      const auto byte = static_cast<uint8_t>(*p_++);
      value |= static_cast<uint64_t>(byte & 0x7fu) << shift;
      if ((byte & 0x80u) == 0) {
        return true;
      }
    }
    return false;
  }

  std::optional<ProtoReader> message()
  {
    uint64_t length = 0;
    if (!varint(length) || length > static_cast<uint64_t>(end_ - p_)) {
      return std::nullopt;
    }
    ProtoReader inner(p_, static_cast<std::size_t>(length));
    p_ += length;
    return inner;
  }

  std::string text()
  {
    const std::optional<ProtoReader> inner = message();
    return inner ? std::string(inner->p_, inner->end_) : std::string();
  }

  bool skip(uint32_t wire_type)
  {
    uint64_t ignored = 0;
    std::size_t bytes = 0;
    switch (wire_type) {
      case 0:
        return varint(ignored);
      case 1:
        bytes = 8;
        break;
      case 2:
        return message().has_value();
      case 5:
        bytes = 4;
        break;
      default:
        return false;
    }
    if (bytes > static_cast<std::size_t>(end_ - p_)) {
      return false;
    }
    p_ += bytes;
    return true;
  }

private:
  const char * p_;
  const char * end_;
};

struct GraphInput
{
  std::string name;
  std::vector<int64_t> dims;  // -1: a symbolic or missing dimension
};

// ValueInfoProto.type.tensor_type.shape.dim[].dim_value
std::vector<int64_t> read_dims(ProtoReader value_type)
{
  std::vector<int64_t> dims;
  uint32_t field = 0;
  uint32_t wire = 0;
  while (value_type.next(field, wire)) {
    if (field != 1 || wire != 2) {
      value_type.skip(wire);
      continue;
    }
    std::optional<ProtoReader> tensor = value_type.message();
    while (tensor && tensor->next(field, wire)) {
      if (field != 2 || wire != 2) {
        tensor->skip(wire);
        continue;
      }
      std::optional<ProtoReader> shape = tensor->message();
      while (shape && shape->next(field, wire)) {
        if (field != 1 || wire != 2) {
          shape->skip(wire);
          continue;
        }
        std::optional<ProtoReader> dim = shape->message();
        int64_t value = -1;
        while (dim && dim->next(field, wire)) {
          uint64_t v = 0;
          if (field == 1 && wire == 0 && dim->varint(v)) {
            value = static_cast<int64_t>(v);
          } else {
            dim->skip(wire);
          }
        }
        dims.push_back(value > 0 ? value : -1);
      }
    }
  }
  return dims;
}

// The graph's real inputs (older exporters list the initializers among them too); nullopt when
// the bytes are not an ONNX model.
std::optional<std::vector<GraphInput>> graph_inputs(const std::string & bytes)
{
  ProtoReader model(bytes.data(), bytes.size());
  uint32_t field = 0;
  uint32_t wire = 0;
  std::optional<ProtoReader> graph;
  while (model.next(field, wire)) {
    if (field == 7 && wire == 2) {
      graph = model.message();
    } else if (!model.skip(wire)) {
      return std::nullopt;
    }
  }
  if (!model.done() || !graph) {
    return std::nullopt;
  }
  std::vector<GraphInput> inputs;
  std::set<std::string> initializers;
  while (graph->next(field, wire)) {
    if (field == 11 && wire == 2) {
      std::optional<ProtoReader> info = graph->message();
      GraphInput input;
      while (info && info->next(field, wire)) {
        if (field == 1 && wire == 2) {
          input.name = info->text();
        } else if (field == 2 && wire == 2) {
          const std::optional<ProtoReader> type = info->message();
          if (type) {
            input.dims = read_dims(*type);
          }
        } else {
          info->skip(wire);
        }
      }
      inputs.push_back(input);
    } else if (field == 5 && wire == 2) {
      std::optional<ProtoReader> tensor = graph->message();
      while (tensor && tensor->next(field, wire)) {
        if (field == 8 && wire == 2) {
          initializers.insert(tensor->text());
        } else {
          tensor->skip(wire);
        }
      }
    } else if (!graph->skip(wire)) {
      return std::nullopt;
    }
  }
  inputs.erase(std::remove_if(inputs.begin(), inputs.end(),
                              [&](const GraphInput & i) { return initializers.count(i.name) > 0; }),
               inputs.end());
  return inputs;
}

std::vector<int64_t> dims_of(const cv::Mat & blob)
{
  return std::vector<int64_t>(blob.size.p, blob.size.p + blob.dims);
}

}  // namespace

std::size_t quantize_head(const float * values, std::size_t count, OutputQuantization quantization,
                          int8_t * out)
{
  std::size_t nan_values = 0;
  const float inverse = 1.0f / quantization.scale;
  const auto zp = static_cast<float>(quantization.zp);
  for (std::size_t i = 0; i < count; ++i) {
    const float q = std::round(values[i] * inverse) + zp;
    if (std::isnan(q)) {
      ++nan_values;
      out[i] = -128;
    } else {
      out[i] = static_cast<int8_t>(std::min(127.0f, std::max(-128.0f, q)));
    }
  }
  return nan_values;
}

struct OnnxNetwork::Impl
{
  cv::dnn::Net net;
  ModelGeometry geometry;
  OnnxSettings settings;
  std::vector<OutputQuantization> quantization;
  std::vector<std::string> output_names;  // in stride order 8, 16, 32
  cv::Mat blob;                           // network input, reused between runs
  std::vector<cv::Mat> outputs;

  // Runs the network on `slots` images from slot `first`; outputs in stride order.
  void forward(const uint8_t * rgb, std::size_t first, std::size_t slots)
  {
    const int dims[] = {static_cast<int>(slots), 3, static_cast<int>(geometry.height),
                        static_cast<int>(geometry.width)};
    blob.create(4, dims, CV_32F);
    const std::size_t plane = static_cast<std::size_t>(geometry.height) * geometry.width;
    const float to_range = settings.input_range / 255.0f;
    for (std::size_t s = 0; s < slots; ++s) {
      const uint8_t * image = rgb + (first + s) * plane * 3;
      float * planes = blob.ptr<float>() + s * plane * 3;
      for (std::size_t p = 0; p < plane; ++p) {
        for (std::size_t ch = 0; ch < 3; ++ch) {
          planes[ch * plane + p] = static_cast<float>(image[3 * p + ch]) * to_range;
        }
      }
    }
    net.setInput(blob);
    net.forward(outputs, output_names);
  }
};

OnnxNetwork::OnnxNetwork(ModelSpec & model_spec, const ModelGeometry & geometry)
    : impl_(std::make_unique<Impl>())
{
  Impl & m = *impl_;
  m.geometry = geometry;
  m.settings = model_spec.onnx;
  const std::string & path = m.settings.path;

  std::ifstream file(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file || bytes.empty()) {
    refuse(path, "cannot be read");
  }
  const std::optional<std::vector<GraphInput>> inputs = graph_inputs(bytes);
  if (!inputs) {
    refuse(path, "is not an ONNX model");
  }
  if (inputs->size() != 1) {
    refuse(path, std::to_string(inputs->size()) + " inputs found; one image input needed");
  }
  const std::vector<int64_t> & in = inputs->front().dims;
  const std::vector<int64_t> wanted{m.settings.batch, 3, geometry.height, geometry.width};
  bool fits = in.size() == 4;
  for (std::size_t i = 0; fits && i < 4; ++i) {
    fits = in[i] < 0 || in[i] == wanted[i];
  }
  if (!fits) {
    refuse(path, "input '" + inputs->front().name + "' is " + shape_text(in) +
                     "; the model file needs " + shape_text(wanted) +
                     " (N x 3 x H x W, float RGB)");
  }

  try {
    m.net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
  } catch (const cv::Exception & e) {
    refuse(path, std::string("OpenCV cannot load it: ") + e.err);
  }
  const std::vector<std::string> names = m.net.getUnconnectedOutLayersNames();
  if (names.size() != 3) {
    refuse(path,
           std::to_string(names.size()) + " outputs found; three heads needed (strides 8, 16, 32)");
  }
  m.output_names = m.settings.output_names.empty() ? names : m.settings.output_names;

  // A mid-grey batch checks the head shapes and, for `measured` heads, gives the value range.
  const std::vector<uint8_t> grey(geometry.input_bytes, 128);
  try {
    m.forward(grey.data(), 0, m.settings.batch);
  } catch (const cv::Exception & e) {
    refuse(path, std::string("OpenCV cannot run it: ") + e.err);
  }
  const int channels = kAnchorsPerHead * geometry.channels_per_anchor;
  if (m.settings.output_names.empty()) {
    // Matched by grid size, as exporters name and order their outputs freely.
    std::vector<std::string> by_stride(3);
    std::vector<cv::Mat> matched(3);
    for (std::size_t k = 0; k < names.size(); ++k) {
      const cv::Mat & out = m.outputs[k];
      for (std::size_t i = 0; i < 3; ++i) {
        if (out.dims == 4 && out.size[2] == geometry.outputs[i].grid_h &&
            out.size[3] == geometry.outputs[i].grid_w && by_stride[i].empty()) {
          by_stride[i] = names[k];
          matched[i] = out;
          break;
        }
      }
    }
    m.output_names = by_stride;
    m.outputs = matched;
  }
  std::string found;
  for (std::size_t k = 0; k < names.size(); ++k) {
    found += (k > 0 ? ", " : "") + names[k];
  }
  for (std::size_t i = 0; i < 3; ++i) {
    const OutputGeometry & o = geometry.outputs[i];
    const std::vector<int64_t> expected{m.settings.batch, channels, o.grid_h, o.grid_w};
    if (m.output_names[i].empty()) {
      refuse(path, "no output of grid " + std::to_string(o.grid_h) + " x " +
                       std::to_string(o.grid_w) + " for stride " + std::to_string(o.stride) +
                       " among " + found);
    }
    const std::vector<int64_t> dims = dims_of(m.outputs[i]);
    if (dims.size() == 4 && dims[1] < channels && dims[2] == o.grid_h) {
      refuse(path, "output '" + m.output_names[i] + "' is " + shape_text(dims) +
                       ": too few channels for " + std::to_string(model_spec.classes) +
                       " classes (3 x (5 + classes) = " + std::to_string(channels) + ")");
    }
    if (dims != expected) {
      refuse(path, "output '" + m.output_names[i] + "' is " + shape_text(dims) + "; stride " +
                       std::to_string(o.stride) + " needs " + shape_text(expected));
    }
    OutputQuantization & q = model_spec.outputs[i];
    if (q.measured) {
      // Asymmetric int8 over the observed range widened to hold 0, as the NPU's converter
      // quantises with its calibration images.
      double low = 0.0;
      double high = 0.0;
      cv::minMaxIdx(m.outputs[i], &low, &high);
      low = std::min(low, 0.0);
      high = std::max(high, 0.0);
      q.scale = high > low ? static_cast<float>((high - low) / 255.0) : 1.0f;
      q.zp = static_cast<int32_t>(std::lround(-128.0 - low / q.scale));
      q.zp = std::min(127, std::max(-128, q.zp));
    }
  }
  m.quantization = model_spec.outputs;
}

OnnxNetwork::~OnnxNetwork() = default;

std::size_t OnnxNetwork::run(const uint8_t * rgb, std::vector<std::vector<int8_t>> & heads)
{
  Impl & m = *impl_;
  std::size_t nan_values = 0;
  for (std::size_t first = 0; first < m.geometry.batch; first += m.settings.batch) {
    m.forward(rgb, first, m.settings.batch);
    for (std::size_t i = 0; i < heads.size(); ++i) {
      const std::size_t count = m.outputs[i].total();
      nan_values += quantize_head(m.outputs[i].ptr<float>(), count, m.quantization[i],
                                  heads[i].data() + first * m.geometry.outputs[i].slot_elements);
    }
  }
  return nan_values;
}

}  // namespace host_rknn
