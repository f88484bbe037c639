#include "footprint/frame_data.hpp"

#include <yaml-cpp/yaml.h>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "veltrax_cv_model/class_table.hpp"

namespace veltrax_footprint
{
namespace
{

std::string read_text(const std::filesystem::path & path)
{
  std::ifstream in(path);
  if (!in) {
    throw FrameError("cannot read " + path.string());
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

YAML::Node load_yaml(const std::string & text, const char * what)
{
  try {
    return YAML::Load(text);
  } catch (const YAML::Exception & e) {
    throw FrameError(std::string(what) + ": " + e.what());
  }
}

template <typename T>
T scalar(const YAML::Node & node, const std::string & what)
{
  T value{};
  if (!node || !node.IsScalar() || !YAML::convert<T>::decode(node, value)) {
    throw FrameError("frame.yaml: " + what + " is missing or not a number");
  }
  return value;
}

// The classes the node lifts into detection clouds; the others never reach a footprint.
int outlined_class_id(const std::string & label)
{
  for (const veltrax_cv_model::ClassInfo & info : veltrax_cv_model::kClassTable) {
    if (info.outlined && info.label == label) {
      return info.id;
    }
  }
  throw FrameError("frame.yaml: label '" + label +
                   "' is not one of the outlined classes obstacle, person, bottle, blood");
}

PixelBox parse_box(const YAML::Node & node, const std::string & what)
{
  if (!node || !node.IsSequence() || node.size() != 4) {
    throw FrameError("frame.yaml: " + what + " must be [x1, y1, x2, y2]");
  }
  PixelBox box;
  for (std::size_t i = 0; i < 4; ++i) {
    box[i] = scalar<int>(node[i], what);
  }
  if (box[0] < 0 || box[1] < 0 || box[2] <= box[0] || box[3] <= box[1]) {
    throw FrameError("frame.yaml: " + what + " is empty or inverted");
  }
  return box;
}

std::string fixed(double value, int decimals)
{
  char text[48];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  // No "-0.0000" in the file.
  const std::string s = text;
  return s.find_first_not_of("-0.") == std::string::npos ? s.substr(s[0] == '-' ? 1 : 0) : s;
}

}  // namespace

FrameDescription parse_frame_yaml(const std::string & text)
{
  const YAML::Node root = load_yaml(text, "frame.yaml");
  FrameDescription description;
  const YAML::Node transform = root["T_base_cam"];
  if (!transform || !transform.IsSequence() || transform.size() != 16) {
    throw FrameError("frame.yaml: T_base_cam must hold 16 numbers (row-major)");
  }
  for (int i = 0; i < 16; ++i) {
    description.camera_to_base(i / 4, i % 4) = scalar<float>(transform[i], "T_base_cam");
  }
  const YAML::Node boxes = root["boxes"];
  if (!boxes || !boxes.IsSequence()) {
    throw FrameError("frame.yaml: boxes must be a list");
  }
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const std::string what = "boxes[" + std::to_string(i) + "]";
    LabelledBox box;
    box.label = boxes[i]["label"] ? boxes[i]["label"].as<std::string>() : "";
    box.class_id = outlined_class_id(box.label);
    box.box = parse_box(boxes[i]["box"], what + ".box");
    description.boxes.push_back(box);
  }
  const YAML::Node truth = root["truth"];
  if (truth && !truth.IsSequence()) {
    throw FrameError("frame.yaml: truth must be a list");
  }
  for (std::size_t i = 0; truth && i < truth.size(); ++i) {
    const std::string what = "truth[" + std::to_string(i) + "]";
    TruthObject object;
    object.name = truth[i]["name"] ? truth[i]["name"].as<std::string>() : what;
    object.box_index = scalar<int>(truth[i]["box_index"], what + ".box_index");
    if (object.box_index < 0 || object.box_index >= static_cast<int>(description.boxes.size())) {
      throw FrameError("frame.yaml: " + what + ".box_index names no box");
    }
    object.search_box = truth[i]["search_box"]
                            ? parse_box(truth[i]["search_box"], what + ".search_box")
                            : description.boxes[object.box_index].box;
    const YAML::Node hull = truth[i]["hull"];
    for (std::size_t k = 0; hull && k < hull.size(); ++k) {
      if (!hull[k].IsSequence() || hull[k].size() != 2) {
        throw FrameError("frame.yaml: " + what + ".hull corners must be [x, y]");
      }
      object.hull.emplace_back(scalar<float>(hull[k][0], what + ".hull"),
                               scalar<float>(hull[k][1], what + ".hull"));
    }
    description.truth.push_back(object);
  }
  return description;
}

std::string emit_frame_yaml(const FrameDescription & description,
                            const std::string & header_comment)
{
  std::ostringstream out;
  std::istringstream comment(header_comment);
  for (std::string line; std::getline(comment, line);) {
    out << (line.empty() ? "#" : "# " + line) << "\n";
  }
  out << "T_base_cam: [";
  for (int i = 0; i < 16; ++i) {
    out << (i == 0       ? ""
            : i % 4 == 0 ? ",\n             "
                         : ", ")
        << fixed(description.camera_to_base(i / 4, i % 4), 6);
  }
  out << "]\nboxes:\n";
  auto box_text = [](const PixelBox & b) {
    return "[" + std::to_string(b[0]) + ", " + std::to_string(b[1]) + ", " + std::to_string(b[2]) +
           ", " + std::to_string(b[3]) + "]";
  };
  for (const LabelledBox & box : description.boxes) {
    out << "  - {label: " << box.label << ", box: " << box_text(box.box) << "}\n";
  }
  if (!description.truth.empty()) {
    out << "truth:\n";
  }
  for (const TruthObject & object : description.truth) {
    out << "  - name: " << object.name << "\n    box_index: " << object.box_index << "\n";
    if (object.search_box != description.boxes[object.box_index].box) {
      out << "    search_box: " << box_text(object.search_box) << "\n";
    }
    out << "    hull: [";
    for (std::size_t k = 0; k < object.hull.size(); ++k) {
      out << (k == 0       ? ""
              : k % 4 == 0 ? ",\n           "
                           : ", ")
          << "[" << fixed(object.hull[k].x, 4) << ", " << fixed(object.hull[k].y, 4) << "]";
    }
    out << "]\n";
  }
  return out.str();
}

veltrax_cv_model::CameraIntrinsics parse_camera_info(const std::string & text)
{
  const YAML::Node root = load_yaml(text, "camera_info.yaml");
  const YAML::Node k = root["camera_matrix"] ? root["camera_matrix"]["data"] : YAML::Node();
  if (!k || !k.IsSequence() || k.size() != 9) {
    throw FrameError("camera_info.yaml: camera_matrix.data must hold 9 numbers");
  }
  veltrax_cv_model::CameraIntrinsics intrinsics{k[0].as<float>(), k[4].as<float>(),
                                                k[2].as<float>(), k[5].as<float>()};
  if (!intrinsics.usable()) {
    throw FrameError("camera_info.yaml: unusable focal lengths");
  }
  return intrinsics;
}

FrameData load_frame_dir(const std::filesystem::path & dir)
{
  FrameData frame;
  frame.name =
      dir.filename().empty() ? dir.parent_path().filename().string() : dir.filename().string();
  std::filesystem::path color_path;
  std::filesystem::path depth_path;
  std::error_code error;
  for (const auto & entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    auto ends_with = [&](const std::string & tail) {
      return name.size() > tail.size() &&
             name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    std::filesystem::path * slot = ends_with("_color.png")      ? &color_path
                                   : ends_with("_depth_mm.png") ? &depth_path
                                                                : nullptr;
    if (slot == nullptr) {
      continue;
    }
    if (!slot->empty()) {
      throw FrameError(dir.string() + ": more than one " + name.substr(name.rfind('_')));
    }
    *slot = entry.path();
  }
  if (error || color_path.empty() || depth_path.empty()) {
    throw FrameError(dir.string() + ": needs one *_color.png and one *_depth_mm.png");
  }
  frame.color = cv::imread(color_path.string(), cv::IMREAD_COLOR);
  frame.depth_mm = cv::imread(depth_path.string(), cv::IMREAD_UNCHANGED);
  if (frame.color.empty() || frame.depth_mm.empty() || frame.depth_mm.type() != CV_16UC1) {
    throw FrameError(dir.string() + ": unreadable colour image or depth not 16-bit single channel");
  }
  if (frame.color.size() != frame.depth_mm.size()) {
    throw FrameError(dir.string() + ": colour and depth images differ in size");
  }
  frame.intrinsics = parse_camera_info(read_text(dir / "camera_info.yaml"));
  frame.description = parse_frame_yaml(read_text(dir / "frame.yaml"));
  for (const LabelledBox & box : frame.description.boxes) {
    if (box.box[2] > frame.depth_mm.cols || box.box[3] > frame.depth_mm.rows) {
      throw FrameError(dir.string() + "/frame.yaml: a box reaches outside the image");
    }
  }
  return frame;
}

std::vector<veltrax_cv_model::DetectedObject> detections_of(const FrameDescription & description)
{
  std::vector<veltrax_cv_model::DetectedObject> detections;
  for (const LabelledBox & box : description.boxes) {
    detections.push_back({box.class_id, box.box[0], box.box[1], box.box[2], box.box[3], 1.0f});
  }
  return detections;
}

}  // namespace veltrax_footprint
