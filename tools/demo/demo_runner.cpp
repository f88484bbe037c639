// The demo runner: the frames, then the three stages.
#include "demo/demo_runner.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>

#include "demo/bag_source.hpp"
#include "demo/drive.hpp"
#include "demo/evaluate.hpp"
#include "demo/source.hpp"
#include "demo/write.hpp"

namespace veltrax_demo
{

namespace fs = std::filesystem;

namespace
{

// The host model of the scene modes.
std::string scene_model(const RunOptions & options)
{
  return options.model_file.empty()
             ? (fs::path(options.workspace_dir) / "host/rknn/models/colour_key_640.yaml").string()
             : options.model_file;
}

}  // namespace

std::vector<std::string> node_arguments(const RunOptions & options, const std::string & model)
{
  const fs::path workspace(options.workspace_dir);
  const std::string model_file = !model.empty() ? model : scene_model(options);
  const std::string params = options.params_file.empty()
                                 ? (workspace / "veltrax_cv_model/config/params.yaml").string()
                                 : options.params_file;
  if (!fs::exists(params)) {
    throw std::runtime_error("parameter file not found: " + params);
  }
  std::vector<std::string> ros_args{"--params-file",
                                    params,
                                    "-p",
                                    "rknn_model_path:=" + fs::absolute(model_file).string(),
                                    "-p",
                                    "obj_class_num:=" + std::to_string(kDemoClasses),
                                    "-p",
                                    "debug:=true",
                                    "-p",
                                    "draw_result:=true"};
  if (options.leaf_size_m) {
    char leaf[64];
    std::snprintf(leaf, sizeof(leaf), "downsample_leaf_size:=%.6f", *options.leaf_size_m);
    ros_args.insert(ros_args.end(), {"-p", leaf});
  }
  for (const std::string & param : options.params) {
    ros_args.push_back("-p");
    ros_args.push_back(param);
  }
  return ros_args;
}

RunSummary run_demo(const RunOptions & options)
{
  const auto wall_start = Clock::now();
  const fs::path out(options.out_dir);
  const bool tty = isatty(fileno(stdout)) != 0;
  make_output_dirs(out);
  const std::string log_path = (out / "node.log").string();
  Source source;
  DriveResult run;
  std::optional<BagFeed> bag;
  if (!options.bag_dir.empty()) {
    bag.emplace(options, tty);
    run = drive_feed(
        [&bag](const veltrax_harness::Probe & probe, DriveResult & fed, Traffic * record,
               const std::function<bool()> & stopped) {
          bag->publish(probe, fed, record, stopped);
        },
        source.cameras, options, node_arguments(options), log_path, tty);
    // The cameras are known once the recording has described them.
    source = bag->source();
    for (std::size_t c = 0; c < 2; ++c) {
      run.views[c].model = source.cameras[c];
    }
  } else {
    source = load_source(options, tty);
    const std::string script_model = write_scripted_model(out, source);
    run = drive_node(source, options, node_arguments(options, script_model), log_path, tty);
  }
  const Evaluation evaluation = evaluate(source, run);
  write_run(out, source, run, evaluation, options.interrupt);

  RunSummary summary = evaluation.summary;
  if (bag) {
    summary.replayed_per_topic = bag->counts().published;
    summary.skipped_per_topic = bag->counts().skipped;
  }
  summary.out_dir = out.string();
  if (!options.compare_model.empty() && source.scene) {
    veltrax_cv_model::DecoderSettings settings;
    settings.obj_class_num = kDemoClasses;
    summary.compared_with = options.compare_model;
    summary.comparison =
        compare_models(options.compare_model, scene_model(options), source.color_rgb, settings);
  }
  summary.wall_s = std::chrono::duration<double>(Clock::now() - wall_start).count();
  write_summary_json(out, summary);
  return summary;
}

}  // namespace veltrax_demo
