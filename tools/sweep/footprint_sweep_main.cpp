// footprint_sweep [--scenes N] [--seed S] [--params FILE] [--json OUT] [--mount-error-deg D]
//                 [--scene K] [--save DIR]
// Scores the node's footprints on N seeded random scenes rendered through a structured-light
// sensor model, with the exact mount and with a mounting error (tools/README.md).
#include <cstdint>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "sweep/sweep.hpp"

namespace
{

constexpr const char * kUsage =
    "usage: footprint_sweep [--scenes N] [--seed S] [--params FILE] [--json OUT]\n"
    "                       [--mount-error-deg D] [--scene K] [--save DIR]\n"
    "  --scenes N           scenes 0 .. N-1 of the seed (default 200)\n"
    "  --mount-error-deg D  largest pitch and roll error of the given transform (default 3)\n"
    "  --scene K            only scene K\n"
    "  --save DIR           write each scored frame as a folder footprint_quality reads\n";

void usage() { std::cerr << kUsage; }

}  // namespace

int main(int argc, char ** argv)
{
  int scenes = 200;
  std::uint32_t seed = 1;
  double mount_error_deg = veltrax_sweep::kDefaultMountErrorDeg;
  double only_scene = -1.0;
  std::string params_path =
      std::string(VELTRAX_WORKSPACE_DIR) + "/veltrax_cv_model/config/params.yaml";
  std::string json_path;
  std::string save_dir;
  using veltrax_tools::whole_number_to;
  veltrax_tools::OptionTable table;
  table.options = {
      {"--scenes", whole_number_to(scenes, 1.0, 1e6)},
      {"--seed", whole_number_to(seed, 0.0, 4294967295.0)},
      {"--mount-error-deg", veltrax_tools::number_to(mount_error_deg, 0.0, 20.0)},
      {"--scene", whole_number_to(only_scene, 0.0, 1e6)},
      {"--params", veltrax_tools::text_to(params_path)},
      {"--json", veltrax_tools::text_to(json_path)},
      {"--save", veltrax_tools::text_to(save_dir)},
  };
  if (const auto status =
          veltrax_tools::parse_command_line("footprint_sweep", argc, argv, table, usage)) {
    return *status;
  }
  try {
    const veltrax_footprint::PipelineParams params =
        veltrax_footprint::load_pipeline_params(params_path);
    veltrax_sweep::SweepResult result;
    const int first = only_scene >= 0.0 ? static_cast<int>(only_scene) : 0;
    const int end = only_scene >= 0.0 ? first + 1 : scenes;
    for (int index = first; index < end; ++index) {
      veltrax_sweep::run_scene(
          veltrax_sweep::generate_scene(seed, index, mount_error_deg), params, result,
          save_dir.empty() ? std::nullopt : std::optional<std::filesystem::path>(save_dir));
    }
    std::cout << veltrax_sweep::sweep_table(result);
    if (!json_path.empty()) {
      std::ofstream out(json_path);
      out << veltrax_sweep::sweep_json(result).dump(1) << "\n";
      if (!out) {
        std::cerr << "footprint_sweep: cannot write " << json_path << "\n";
        return 1;
      }
    }
  } catch (const std::exception & e) {
    std::cerr << "footprint_sweep: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
