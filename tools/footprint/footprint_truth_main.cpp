// footprint_truth FRAME_DIR [--params FILE] [--camera 1|2] [--picture OUT] [--write]
// Derives the true footprint of every truth object of FRAME_DIR/frame.yaml from the frame's own
// depth (truth_derivation.hpp), prints them, draws the masks into OUT for checking by eye and,
// with --write, writes them back into frame.yaml.
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "cli.hpp"
#include "footprint/pipeline_params.hpp"
#include "footprint/polygon_metrics.hpp"
#include "footprint/truth_derivation.hpp"

namespace
{

constexpr const char * kUsage =
    "usage: footprint_truth FRAME_DIR [--params FILE] [--camera 1|2] [--picture OUT] [--write]\n";

constexpr const char * kHeader =
    "Boxes and true footprints of this frame, read by footprint_quality (tools/README.md).\n"
    "T_base_cam: optical frame -> base_footprint, row-major (README.md beside the frames).\n"
    "boxes: x1, y1, x2, y2 in pixels, x2 and y2 exclusive.\n"
    "truth: hulls in base_footprint, metres, written by footprint_truth from the depth image\n"
    "(method in README.md beside the frames); search_box: where it looked for the object.\n"
    "The box of an object scored through a box of its own is its pixels' bounding box.";

}  // namespace

int main(int argc, char ** argv)
{
  std::string frame_dir;
  std::string params_path =
      std::string(VELTRAX_WORKSPACE_DIR) + "/veltrax_cv_model/config/params.yaml";
  std::string picture_path;
  int camera = 1;
  bool write = false;
  veltrax_tools::OptionTable table;
  table.positional = [&frame_dir](const char * value) {
    const bool first = frame_dir.empty();
    frame_dir = value;
    return first;
  };
  table.flags = {{"--write", [&write] { write = true; }}};
  table.options = {
      {"--params", veltrax_tools::text_to(params_path)},
      {"--picture", veltrax_tools::text_to(picture_path)},
      {"--camera", veltrax_tools::camera_to(camera)},
  };
  if (const auto status = veltrax_tools::parse_command_line("footprint_truth", argc, argv, table,
                                                            [] { std::cerr << kUsage; })) {
    return *status;
  }
  if (frame_dir.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  try {
    using namespace veltrax_footprint;
    FrameData frame = load_frame_dir(frame_dir);
    const PipelineParams params = load_pipeline_params(params_path);
    const std::size_t slot = camera == 2 ? 1 : 0;
    const ObjectPixelRule rule{params.crop_min_m[slot], params.crop_max_m[slot], kObjectMinHeightM};
    const PixelCloud cloud =
        pixel_cloud(frame.depth_mm, frame.intrinsics, frame.description.camera_to_base);
    const FloorFit floor = refit_floor(cloud, 0.02f);
    std::printf(
        "%s: floor refit within 2 cm of z = 0: %zu points, tilt %.3f deg, at most %.4f m "
        "from z = 0 where they lie, rms %.4f m\n",
        frame.name.c_str(), floor.points, floor.tilt_deg, floor.max_height_m, floor.rms_m);
    std::map<PixelBox, cv::Mat> masks_by_box;
    std::vector<cv::Mat> masks;
    for (TruthObject & object : frame.description.truth) {
      cv::Mat & mask = masks_by_box[object.search_box];
      if (mask.empty()) {
        mask = object_mask(cloud, object.search_box, rule);
      }
      object.hull = mask_footprint(cloud, mask);
      masks.push_back(mask);
      std::printf("  %-28s %6d pixels, footprint %.4f m^2, %zu corners\n", object.name.c_str(),
                  cv::countNonZero(mask), polygon_area(object.hull), object.hull.size());
    }
    // An object's own box is where a detector would put it: around all of its pixels.
    for (std::size_t b = 0; b < frame.description.boxes.size(); ++b) {
      std::vector<std::size_t> objects;
      for (std::size_t t = 0; t < frame.description.truth.size(); ++t) {
        if (frame.description.truth[t].box_index == static_cast<int>(b)) {
          objects.push_back(t);
        }
      }
      if (objects.size() == 1 && cv::countNonZero(masks[objects[0]]) > 0) {
        const cv::Rect r = cv::boundingRect(masks[objects[0]]);
        frame.description.boxes[b].box = {r.x, r.y, r.x + r.width, r.y + r.height};
      }
    }
    const std::string yaml = emit_frame_yaml(frame.description, kHeader);
    if (write) {
      std::ofstream out(std::string(frame_dir) + "/frame.yaml");
      out << yaml;
      if (!out) {
        std::cerr << "footprint_truth: cannot write frame.yaml\n";
        return 1;
      }
    } else {
      std::cout << yaml;
    }
    if (!picture_path.empty() &&
        !cv::imwrite(picture_path, truth_picture(frame, masks), {cv::IMWRITE_JPEG_QUALITY, 85})) {
      std::cerr << "footprint_truth: cannot write " << picture_path << "\n";
      return 1;
    }
  } catch (const std::exception & e) {
    std::cerr << "footprint_truth: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
