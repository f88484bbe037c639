// The write stage of the demo runner: the output directory's files (tools/README.md lists them)
// and the summary text.
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "demo/demo_runner.hpp"
#include "demo/drive.hpp"
#include "demo/evaluate.hpp"
#include "demo/source.hpp"

namespace veltrax_demo
{

/// Creates `out` and its subdirectories.
void make_output_dirs(const std::filesystem::path & out);

/// Real frames: writes the scripted host model to `out`/scripted_model.yaml and returns its
/// path; scene modes: "".
std::string write_scripted_model(const std::filesystem::path & out, const Source & source);

/// The report crops and reports.jsonl, then per outline its cloud and, for a frame's first
/// outline, its overlays and top-down picture, then summary.png, then the recording of the run
/// when it was kept (recording.hpp). Throws std::runtime_error when
/// a file cannot be written and Interrupted when `interrupt` (may be null) is raised.
void write_run(const std::filesystem::path & out, const Source & source, const DriveResult & run,
               const Evaluation & evaluation, const std::atomic<bool> * interrupt);

/// The figures of `summary` as JSON (what summary.json holds).
std::string summary_json(const RunSummary & summary);

/// Writes summary_json(summary) to `out`/summary.json.
void write_summary_json(const std::filesystem::path & out, const RunSummary & summary);

/// The human-readable summary.
void print_summary(std::FILE * out, const RunSummary & summary);

}  // namespace veltrax_demo
