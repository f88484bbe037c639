// footprint_quality FRAME_DIR [--params FILE] [--camera 1|2] [--json OUT] [--noise R]
//                   [--tilt-deg D] [--holes S] [--seed N] [--picture OUT [--picture-box N]]
// Scores the node's footprints of one camera on a recorded frame against its true footprints
// (tools/README.md).
#include <cmath>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "cli.hpp"
#include "footprint/footprint_quality.hpp"

namespace
{

constexpr const char * kUsage =
    "usage: footprint_quality FRAME_DIR [--params FILE] [--camera 1|2] [--json OUT]\n"
    "                         [--noise R] [--tilt-deg D] [--holes S] [--seed N]\n"
    "                         [--picture OUT [--picture-box N]]\n";

void usage() { std::cerr << kUsage; }

}  // namespace

int main(int argc, char ** argv)
{
  std::string frame_dir;
  std::string params_path =
      std::string(VELTRAX_WORKSPACE_DIR) + "/veltrax_cv_model/config/params.yaml";
  std::string json_path;
  std::string picture_path;
  double picture_box = -1.0;
  int camera = 1;
  veltrax_footprint::Degradation degradation;
  using veltrax_tools::number_to;
  veltrax_tools::OptionTable table;
  table.positional = [&frame_dir](const char * value) {
    const bool first = frame_dir.empty();
    frame_dir = value;
    return first;
  };
  table.options = {
      {"--params", veltrax_tools::text_to(params_path)},
      {"--json", veltrax_tools::text_to(json_path)},
      {"--picture", veltrax_tools::text_to(picture_path)},
      {"--picture-box", veltrax_tools::whole_number_to(picture_box, 0.0, 1e6)},
      {"--camera", veltrax_tools::camera_to(camera)},
      {"--noise", number_to(degradation.noise_rel, 0.0, std::nextafter(1.0, 0.0))},
      {"--tilt-deg", number_to(degradation.tilt_deg, -45.0, 45.0)},
      {"--holes", number_to(degradation.holes_share, 0.0, 1.0)},
      // Whole numbers only: the seed names one degradation exactly.
      {"--seed", veltrax_tools::whole_number_to(degradation.seed, 0.0, 4294967294.0)},
  };
  if (const auto status =
          veltrax_tools::parse_command_line("footprint_quality", argc, argv, table, usage)) {
    return *status;
  }
  if (frame_dir.empty()) {
    std::cerr << "footprint_quality: FRAME_DIR is missing\n" << kUsage;
    return 2;
  }
  try {
    const veltrax_footprint::FrameData frame = veltrax_footprint::load_frame_dir(frame_dir);
    const veltrax_footprint::PipelineParams params =
        veltrax_footprint::load_pipeline_params(params_path);
    const veltrax_footprint::QualityReport report =
        veltrax_footprint::evaluate_frame(frame, degradation, params, camera);
    std::cout << veltrax_footprint::quality_table(report);
    if (!json_path.empty()) {
      std::ofstream out(json_path);
      out << veltrax_footprint::quality_json(report).dump(2) << "\n";
      if (!out) {
        std::cerr << "footprint_quality: cannot write " << json_path << "\n";
        return 1;
      }
    }
    if (picture_box >= static_cast<double>(report.boxes.size())) {
      std::cerr << "footprint_quality: --picture-box " << picture_box << ": the frame has "
                << report.boxes.size() << " boxes\n";
      return 2;
    }
    if (!picture_path.empty() &&
        !cv::imwrite(picture_path,
                     veltrax_footprint::quality_picture(
                         report, picture_box < 0.0 ? std::nullopt
                                                   : std::optional<std::size_t>(picture_box)))) {
      std::cerr << "footprint_quality: cannot write " << picture_path << "\n";
      return 1;
    }
  } catch (const std::exception & e) {
    std::cerr << "footprint_quality: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
