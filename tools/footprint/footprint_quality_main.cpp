// footprint_quality FRAME_DIR [--params FILE] [--camera 1|2] [--json OUT] [--noise R]
//                   [--tilt-deg D] [--holes S] [--seed N] [--picture OUT]
// Scores the node's footprints of one camera on a recorded frame against its true footprints
// (tools/README.md).
#include <cstring>
#include <fstream>
#include <iostream>
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
    "                         [--picture OUT]\n";

int usage(const std::string & fault)
{
  std::cerr << "footprint_quality: " << fault << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char ** argv)
{
  std::string frame_dir;
  std::string params_path =
      std::string(VELTRAX_WORKSPACE_DIR) + "/veltrax_cv_model/config/params.yaml";
  std::string json_path;
  std::string picture_path;
  int camera = 1;
  veltrax_footprint::Degradation degradation;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (arg.rfind("--", 0) != 0) {
      if (!frame_dir.empty()) {
        return usage("more than one FRAME_DIR");
      }
      frame_dir = arg;
      continue;
    }
    if (i + 1 >= argc) {
      return usage(arg + " needs a value");
    }
    const char * value = argv[++i];
    double number = 0.0;
    const bool numeric = veltrax_tools::parse_number(value, number);
    if (arg == "--params") {
      params_path = value;
    } else if (arg == "--json") {
      json_path = value;
    } else if (arg == "--picture") {
      picture_path = value;
    } else if (arg == "--camera" && numeric && (number == 1.0 || number == 2.0)) {
      camera = static_cast<int>(number);
    } else if (arg == "--noise" && numeric && number >= 0.0 && number < 1.0) {
      degradation.noise_rel = number;
    } else if (arg == "--tilt-deg" && numeric && std::abs(number) <= 45.0) {
      degradation.tilt_deg = number;
    } else if (arg == "--holes" && numeric && number >= 0.0 && number <= 1.0) {
      degradation.holes_share = number;
    } else if (arg == "--seed" && numeric && number >= 0.0 && number <= 4294967294.0 &&
               number == static_cast<double>(static_cast<std::uint32_t>(number))) {
      degradation.seed = static_cast<std::uint32_t>(number);
    } else {
      return usage("bad option or value: " + arg + " " + value);
    }
  }
  if (frame_dir.empty()) {
    return usage("FRAME_DIR is missing");
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
    if (!picture_path.empty() &&
        !cv::imwrite(picture_path, veltrax_footprint::quality_picture(report))) {
      std::cerr << "footprint_quality: cannot write " << picture_path << "\n";
      return 1;
    }
  } catch (const std::exception & e) {
    std::cerr << "footprint_quality: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
