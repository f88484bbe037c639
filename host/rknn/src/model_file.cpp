// Reading and writing of the host model file (YAML; format in host/rknn/README.md).
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "host_model.hpp"
#include "host_rknn/host_rknn.hpp"

namespace host_rknn
{

namespace
{

constexpr int kFormatVersion = 1;
constexpr const char * kMeasured = "measured";

struct FaultKey
{
  const char * key;
  Fault Faults::*member;
};

constexpr FaultKey kFaultKeys[] = {
    {"init", &Faults::init},
    {"query_in_out_num", &Faults::query_in_out_num},
    {"query_input_attr", &Faults::query_input_attr},
    {"query_output_attr", &Faults::query_output_attr},
    {"query_sdk_version", &Faults::query_sdk_version},
    {"inputs_set", &Faults::inputs_set},
    {"run", &Faults::run},
    {"outputs_get", &Faults::outputs_get},
};

[[noreturn]] void fail(const std::string & what)
{
  throw std::runtime_error("host model file: " + what);
}

template <typename T>
T read(const YAML::Node & node, const std::string & key)
{
  try {
    return node.as<T>();
  } catch (const YAML::Exception &) {
    fail("bad value of '" + key + "'");
  }
}

Detection parse_detection(const YAML::Node & node, int32_t classes)
{
  if (!node.IsMap() || !node["class"] || !node["box"]) {
    fail("a detection needs 'class' and 'box'");
  }
  Detection d;
  d.class_id = read<int32_t>(node["class"], "class");
  const YAML::Node box = node["box"];
  if (!box.IsSequence() || box.size() != 4) {
    fail("'box' needs four numbers: x1, y1, x2, y2");
  }
  d.x1 = read<float>(box[0], "box");
  d.y1 = read<float>(box[1], "box");
  d.x2 = read<float>(box[2], "box");
  d.y2 = read<float>(box[3], "box");
  if (node["score"]) {
    d.score = read<float>(node["score"], "score");
  }
  if (node["objectness"]) {
    d.objectness = read<float>(node["objectness"], "objectness");
  }
  if (d.class_id < 0 || d.class_id >= classes) {
    fail("detection class " + std::to_string(d.class_id) + " outside the model's classes");
  }
  if (!(d.score >= 0.0f && d.score <= 1.0f) || !(d.objectness >= 0.0f && d.objectness <= 1.0f)) {
    fail("'score' and 'objectness' are probabilities");
  }
  return d;
}

std::vector<Detection> parse_slot(const YAML::Node & node, int32_t classes)
{
  std::vector<Detection> out;
  if (!node || node.IsNull()) {
    return out;
  }
  if (!node.IsSequence()) {
    fail("a slot lists detections");
  }
  for (const YAML::Node & d : node) {
    out.push_back(parse_detection(d, classes));
  }
  return out;
}

void parse_onnx(const YAML::Node & node, ModelSpec & model_spec)
{
  if (!node || !node.IsMap() || !node["path"]) {
    fail("the onnx backend needs 'onnx.path'");
  }
  OnnxSettings & onnx = model_spec.onnx;
  onnx.path = read<std::string>(node["path"], "onnx.path");
  if (node["batch"]) {
    onnx.batch = read<uint32_t>(node["batch"], "onnx.batch");
  }
  if (node["input_range"]) {
    onnx.input_range = read<float>(node["input_range"], "onnx.input_range");
    if (onnx.input_range != 1.0f && onnx.input_range != 255.0f) {
      fail("'onnx.input_range' is 1 or 255");
    }
  }
  if (const YAML::Node names = node["outputs"]) {
    if (!names.IsSequence() || names.size() != 3) {
      fail("'onnx.outputs' names the three outputs for strides 8, 16, 32");
    }
    for (const YAML::Node & name : names) {
      onnx.output_names.push_back(read<std::string>(name, "onnx.outputs"));
    }
  }
}

void emit_detections(YAML::Emitter & out, const std::vector<Detection> & detections)
{
  out << YAML::BeginSeq;
  for (const Detection & d : detections) {
    out << YAML::Flow << YAML::BeginMap << YAML::Key << "class" << YAML::Value << d.class_id
        << YAML::Key << "box" << YAML::Value << YAML::Flow << YAML::BeginSeq << d.x1 << d.y1 << d.x2
        << d.y2 << YAML::EndSeq << YAML::Key << "score" << YAML::Value << d.score << YAML::Key
        << "objectness" << YAML::Value << d.objectness << YAML::EndMap;
  }
  out << YAML::EndSeq;
}

const char * backend_name(Backend backend)
{
  switch (backend) {
    case Backend::kColourKey:
      return "colour-key";
    case Backend::kScripted:
      return "scripted";
    case Backend::kOnnx:
      break;
  }
  return "onnx";
}

}  // namespace

ModelSpec parse_model(const std::string & text)
{
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::Exception & e) {
    fail(std::string("not YAML: ") + e.what());
  }
  if (!root.IsMap() || !root["host_rknn_model"]) {
    fail("missing 'host_rknn_model'");
  }
  if (read<int>(root["host_rknn_model"], "host_rknn_model") != kFormatVersion) {
    fail("unsupported 'host_rknn_model' version");
  }

  ModelSpec model_spec;
  if (root["sdk_version"]) {
    model_spec.sdk_version = read<std::string>(root["sdk_version"], "sdk_version");
  }
  if (root["driver_version"]) {
    model_spec.driver_version = read<std::string>(root["driver_version"], "driver_version");
  }

  const YAML::Node input = root["input"];
  if (!input) {
    fail("missing 'input' (write 'input: none' for a model without one)");
  }
  if (input.IsNull() || (input.IsScalar() && input.Scalar() == "none")) {
    model_spec.has_input = false;
  } else {
    const YAML::Node dims = input["dims"];
    if (!dims || !dims.IsSequence() || dims.size() != 4) {
      fail("'input.dims' needs four numbers");
    }
    for (std::size_t i = 0; i < 4; ++i) {
      const auto d = read<int64_t>(dims[i], "input.dims");
      if (d < 1 || d > 16384) {
        fail("'input.dims' entries must lie in 1 .. 16384");
      }
      model_spec.input_dims[i] = static_cast<uint32_t>(d);
    }
    const auto fmt = input["fmt"] ? read<std::string>(input["fmt"], "input.fmt") : "NHWC";
    if (fmt == "NHWC") {
      model_spec.input_fmt = RKNN_TENSOR_NHWC;
    } else if (fmt == "NCHW") {
      model_spec.input_fmt = RKNN_TENSOR_NCHW;
    } else {
      fail("'input.fmt' is NHWC or NCHW");
    }
    if (input["type"] && read<std::string>(input["type"], "input.type") != "UINT8") {
      fail("'input.type' must be UINT8");
    }
  }

  if (!root["classes"]) {
    fail("missing 'classes'");
  }
  model_spec.classes = read<int32_t>(root["classes"], "classes");
  if (model_spec.classes < 1 || model_spec.classes > 1000) {
    fail("'classes' must lie in 1 .. 1000");
  }

  if (root["anchors"]) {
    const YAML::Node anchors = root["anchors"];
    if (!anchors.IsSequence() || anchors.size() != model_spec.anchors.size()) {
      fail("'anchors' needs 18 numbers");
    }
    for (std::size_t i = 0; i < model_spec.anchors.size(); ++i) {
      model_spec.anchors[i] = read<int32_t>(anchors[i], "anchors");
      if (model_spec.anchors[i] < 1) {
        fail("'anchors' entries must be positive");
      }
    }
  }

  const YAML::Node outputs = root["outputs"];
  if (!outputs || !outputs.IsSequence() || outputs.size() > 3) {
    fail("'outputs' lists at most three heads");
  }
  model_spec.outputs.clear();
  for (const YAML::Node & o : outputs) {
    OutputQuantization q;
    if (o.IsScalar() && o.Scalar() == kMeasured) {
      q.measured = true;
      model_spec.outputs.push_back(q);
      continue;
    }
    q.zp = read<int32_t>(o["zp"], "outputs.zp");
    q.scale = read<float>(o["scale"], "outputs.scale");
    if (q.zp < -128 || q.zp > 127 || !(q.scale > 0.0f)) {
      fail("output 'zp' must lie in -128 .. 127 and 'scale' be positive");
    }
    model_spec.outputs.push_back(q);
  }

  const auto backend = root["backend"] ? read<std::string>(root["backend"], "backend") : "";
  if (backend == "colour-key") {
    model_spec.backend = Backend::kColourKey;
  } else if (backend == "scripted") {
    model_spec.backend = Backend::kScripted;
  } else if (backend == "onnx") {
    model_spec.backend = Backend::kOnnx;
    parse_onnx(root["onnx"], model_spec);
  } else {
    fail("'backend' is colour-key, scripted or onnx");
  }
  for (const OutputQuantization & q : model_spec.outputs) {
    if (q.measured && model_spec.backend != Backend::kOnnx) {
      fail("only the onnx backend measures its outputs' quantisation");
    }
  }
  if (const YAML::Node key = root["colour_key"]) {
    if (key["min_region_area_px"]) {
      model_spec.min_region_area_px =
          read<int32_t>(key["min_region_area_px"], "min_region_area_px");
    }
    if (key["tolerance"]) {
      model_spec.colour_tolerance = read<int32_t>(key["tolerance"], "tolerance");
    }
    if (model_spec.colour_tolerance < 0 || model_spec.colour_tolerance > 63) {
      fail("'colour_key.tolerance' must lie in 0 .. 63");
    }
  }
  if (model_spec.backend != Backend::kScripted) {
    const uint32_t channels = model_spec.input_fmt == RKNN_TENSOR_NCHW ? model_spec.input_dims[1]
                                                                       : model_spec.input_dims[3];
    if (model_spec.has_input && channels != 3) {
      fail("the colour-key and onnx backends need a three-channel input");
    }
  }
  if (model_spec.backend == Backend::kOnnx) {
    if (!model_spec.has_input || model_spec.outputs.size() != 3) {
      fail("the onnx backend needs an input and three outputs");
    }
    if (model_spec.onnx.batch != 1 && model_spec.onnx.batch != model_spec.input_dims[0]) {
      fail("'onnx.batch' must be 1 or the input's batch");
    }
  }
  if (const YAML::Node runs = root["runs"]) {
    if (!runs.IsSequence()) {
      fail("'runs' lists runs");
    }
    for (const YAML::Node & r : runs) {
      ScriptedRun run;
      run.slot1 = parse_slot(r["slot1"], model_spec.classes);
      run.slot2 = parse_slot(r["slot2"], model_spec.classes);
      model_spec.runs.push_back(run);
    }
  }

  if (const YAML::Node faults = root["faults"]) {
    for (const FaultKey & k : kFaultKeys) {
      const YAML::Node f = faults[k.key];
      if (!f) {
        continue;
      }
      Fault & fault = model_spec.faults.*(k.member);
      fault.status = read<int32_t>(f["status"], std::string("faults.") + k.key + ".status");
      if (f["from_call"]) {
        fault.from_call = read<uint32_t>(f["from_call"], "from_call");
      }
      if (f["until_call"]) {
        fault.until_call = read<uint32_t>(f["until_call"], "until_call");
      }
      if (fault.status >= 0 || fault.from_call < 1 ||
          (fault.until_call != 0 && fault.until_call < fault.from_call)) {
        fail(std::string("'faults.") + k.key +
             "' needs a negative status, from_call >= 1 and until_call 0 or >= from_call");
      }
    }
  }

  // Sizes travel as 32-bit counts through the C API; keep well inside them.
  constexpr std::size_t kMaxTensorBytes = std::size_t{1} << 28;
  const ModelGeometry geometry = geometry_of(model_spec);
  if (geometry.input_bytes > kMaxTensorBytes) {
    fail("input tensor larger than 256 MiB");
  }
  for (const OutputGeometry & o : geometry.outputs) {
    if (o.slot_elements * geometry.batch > kMaxTensorBytes / sizeof(float)) {
      fail("output tensor larger than 64 Mi values");
    }
  }
  return model_spec;
}

std::string to_yaml(const ModelSpec & model_spec)
{
  YAML::Emitter out;
  out.SetFloatPrecision(9);
  out << YAML::BeginMap;
  out << YAML::Key << "host_rknn_model" << YAML::Value << kFormatVersion;
  out << YAML::Key << "sdk_version" << YAML::Value << model_spec.sdk_version;
  out << YAML::Key << "driver_version" << YAML::Value << model_spec.driver_version;
  out << YAML::Key << "input" << YAML::Value;
  if (model_spec.has_input) {
    out << YAML::BeginMap << YAML::Key << "dims" << YAML::Value << YAML::Flow << YAML::BeginSeq;
    for (const uint32_t d : model_spec.input_dims) {
      out << d;
    }
    out << YAML::EndSeq << YAML::Key << "fmt" << YAML::Value
        << (model_spec.input_fmt == RKNN_TENSOR_NCHW ? "NCHW" : "NHWC") << YAML::Key << "type"
        << YAML::Value << "UINT8" << YAML::EndMap;
  } else {
    out << "none";
  }
  out << YAML::Key << "classes" << YAML::Value << model_spec.classes;
  out << YAML::Key << "anchors" << YAML::Value << YAML::Flow << YAML::BeginSeq;
  for (const int32_t a : model_spec.anchors) {
    out << a;
  }
  out << YAML::EndSeq;
  out << YAML::Key << "outputs" << YAML::Value << YAML::BeginSeq;
  for (const OutputQuantization & q : model_spec.outputs) {
    if (q.measured) {
      out << kMeasured;
      continue;
    }
    out << YAML::Flow << YAML::BeginMap << YAML::Key << "zp" << YAML::Value << q.zp << YAML::Key
        << "scale" << YAML::Value << q.scale << YAML::EndMap;
  }
  out << YAML::EndSeq;
  out << YAML::Key << "backend" << YAML::Value << backend_name(model_spec.backend);
  if (model_spec.backend == Backend::kOnnx) {
    const OnnxSettings & onnx = model_spec.onnx;
    out << YAML::Key << "onnx" << YAML::Value << YAML::BeginMap << YAML::Key << "path"
        << YAML::Value << onnx.path << YAML::Key << "batch" << YAML::Value << onnx.batch
        << YAML::Key << "input_range" << YAML::Value << onnx.input_range;
    if (!onnx.output_names.empty()) {
      out << YAML::Key << "outputs" << YAML::Value << YAML::Flow << onnx.output_names;
    }
    out << YAML::EndMap;
  }
  out << YAML::Key << "colour_key" << YAML::Value << YAML::BeginMap << YAML::Key
      << "min_region_area_px" << YAML::Value << model_spec.min_region_area_px << YAML::Key
      << "tolerance" << YAML::Value << model_spec.colour_tolerance << YAML::EndMap;
  out << YAML::Key << "runs" << YAML::Value << YAML::BeginSeq;
  for (const ScriptedRun & r : model_spec.runs) {
    out << YAML::BeginMap << YAML::Key << "slot1" << YAML::Value;
    emit_detections(out, r.slot1);
    out << YAML::Key << "slot2" << YAML::Value;
    emit_detections(out, r.slot2);
    out << YAML::EndMap;
  }
  out << YAML::EndSeq;
  out << YAML::Key << "faults" << YAML::Value << YAML::BeginMap;
  for (const FaultKey & k : kFaultKeys) {
    const Fault & f = model_spec.faults.*(k.member);
    if (f.status != 0) {
      out << YAML::Key << k.key << YAML::Value << YAML::Flow << YAML::BeginMap << YAML::Key
          << "status" << YAML::Value << f.status << YAML::Key << "from_call" << YAML::Value
          << f.from_call << YAML::Key << "until_call" << YAML::Value << f.until_call
          << YAML::EndMap;
    }
  }
  out << YAML::EndMap;
  out << YAML::EndMap;
  return std::string(out.c_str()) + "\n";
}

bool write_model_file(const std::string & path, const ModelSpec & model_spec)
{
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << to_yaml(model_spec);
  return static_cast<bool>(file);
}

ModelGeometry geometry_of(const ModelSpec & model_spec)
{
  ModelGeometry g;
  if (model_spec.has_input) {
    g.batch = model_spec.input_dims[0];
    if (model_spec.input_fmt == RKNN_TENSOR_NCHW) {
      g.channels = model_spec.input_dims[1];
      g.height = model_spec.input_dims[2];
      g.width = model_spec.input_dims[3];
    } else {
      g.height = model_spec.input_dims[1];
      g.width = model_spec.input_dims[2];
      g.channels = model_spec.input_dims[3];
    }
    g.input_bytes = static_cast<std::size_t>(g.batch) * g.height * g.width * g.channels;
  } else {
    // Without an input the outputs still need a shape: that of the usual model.
    g.batch = 2;
    g.height = 640;
    g.width = 640;
  }
  g.channels_per_anchor = model_spec.classes + 5;
  // parse_model takes three heads at most; a model built in code with more gets no geometry for
  // the heads past the last stride rather than a read beyond kStrides.
  const std::size_t heads = std::min(model_spec.outputs.size(), std::size(kStrides));
  for (std::size_t i = 0; i < heads; ++i) {
    OutputGeometry o;
    o.stride = kStrides[i];
    o.grid_h = static_cast<int32_t>(g.height) / o.stride;
    o.grid_w = static_cast<int32_t>(g.width) / o.stride;
    o.cells = static_cast<std::size_t>(o.grid_h) * static_cast<std::size_t>(o.grid_w);
    o.slot_elements = kAnchorsPerHead * static_cast<std::size_t>(g.channels_per_anchor) * o.cells;
    g.outputs.push_back(o);
  }
  return g;
}

}  // namespace host_rknn
