// The write stage: the files of a demo run and its summary text.
#include "demo/write.hpp"

#include <pcl/io/pcd_io.h>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <stdexcept>

#include "demo/pictures.hpp"
#include "demo/recording.hpp"
#include "host_rknn/host_rknn.hpp"
#include "veltrax_harness/topics.hpp"

namespace veltrax_demo
{

namespace
{

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::string frame_name(int frame)
{
  char name[16];
  std::snprintf(name, sizeof(name), "%04d", frame);
  return name;
}

// Drawings are mostly flat and compress well at the strongest level; camera pictures take several
// times longer there for little gain, so they use the fastest.
enum class PngKind { kDrawing, kPhoto };

void write_png(const fs::path & path, const cv::Mat & image, PngKind kind)
{
  const int level = kind == PngKind::kDrawing ? 9 : 1;
  if (!cv::imwrite(path.string(), image, {cv::IMWRITE_PNG_COMPRESSION, level})) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

// Figures keep four decimals; JSON has no infinity or NaN, so those are null.
Json number(double value)
{
  return std::isfinite(value) ? Json(std::round(value * 1e4) / 1e4) : Json();
}

std::string counts_text(const std::map<std::string, int> & counts)
{
  std::string out;
  for (const auto & [label, count] : counts) {
    out += (out.empty() ? "" : ", ") + label + " " + std::to_string(count);
  }
  return out.empty() ? "none" : out;
}

Json report_json(const ReportRecord & r)
{
  return Json{{"frame", r.frame},
              {"topic", r.topic},
              {"label", r.label},
              {"x", number(r.x_m)},
              {"y", number(r.y_m)},
              {"stamp", number(r.stamp_s)},
              {"crop", r.crop},
              {"object", r.object},
              {"error_m", r.error_m >= 0.0 ? number(r.error_m) : Json()}};
}

void write_reports(const fs::path & out, const DriveResult & run, const RunSummary & summary)
{
  std::ofstream jsonl(out / "reports.jsonl");
  if (!jsonl) {
    throw std::runtime_error("cannot write " + (out / "reports.jsonl").string());
  }
  for (std::size_t i = 0; i < summary.reports.size(); ++i) {
    const ReportRecord & record = summary.reports[i];
    if (!run.reports[i].crop_bgr.empty()) {
      write_png(out / record.crop, run.reports[i].crop_bgr, PngKind::kPhoto);
    }
    jsonl << report_json(record).dump() << '\n';
  }
}

void write_cloud(const fs::path & path, const pcl::PointCloud<pcl::PointXYZ> & cloud)
{
  if (cloud.empty()) {
    // PCL refuses to write an empty cloud; an empty outline is still a result.
    std::ofstream(path) << "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z\n"
                           "SIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 0\nHEIGHT 1\n"
                           "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 0\nDATA ascii\n";
  } else if (pcl::io::savePCDFileBinary(path.string(), cloud) != 0) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

}  // namespace

void make_output_dirs(const fs::path & out)
{
  for (const char * sub : {"overlays", "reports", "clouds", "topdown"}) {
    fs::create_directories(out / sub);
  }
}

std::string write_scripted_model(const fs::path & out, const Source & source)
{
  if (!source.script) {
    return "";
  }
  std::string path = (out / "scripted_model.yaml").string();
  if (!host_rknn::write_model_file(path, *source.script)) {
    throw std::runtime_error("cannot write " + path);
  }
  return path;
}

void write_run(const fs::path & out, const Source & source, const DriveResult & run,
               const Evaluation & evaluation, const std::atomic<bool> * interrupt)
{
  write_reports(out, run, evaluation.summary);
  std::map<int, std::vector<ReportRecord>> reports_by_frame;
  for (const ReportRecord & record : evaluation.summary.reports) {
    reports_by_frame[record.frame].push_back(record);
  }
  // Every outline is saved as a cloud; a frame's first one also as pictures.
  for (std::size_t i = 0; i < evaluation.outlines.size(); ++i) {
    const OutlineVerdict & verdict = evaluation.outlines[i];
    if (verdict.frame < 0) {
      continue;
    }
    if (interrupt != nullptr && interrupt->load()) {
      throw Interrupted();
    }
    const std::string frame = frame_name(verdict.frame);
    write_cloud(out / "clouds" /
                    (frame + "_outline" +
                     (verdict.repeat > 0 ? "_r" + std::to_string(verdict.repeat) : "") + ".pcd"),
                run.outlines[i].cloud);
    if (verdict.repeat > 0) {
      continue;
    }
    for (std::size_t c = 0; c < 2; ++c) {
      if (i < run.overlays_bgr[c].size() && !run.overlays_bgr[c][i].empty()) {
        write_png(out / "overlays" / (frame + "_cam" + std::to_string(c + 1) + ".png"),
                  run.overlays_bgr[c][i], PngKind::kPhoto);
      }
    }
    write_png(out / "topdown" / (frame + ".png"),
              frame_picture(source, run.views, verdict, reports_by_frame[verdict.frame]),
              PngKind::kDrawing);
  }
  write_png(out / "summary.png", summary_picture(source, run.views, evaluation), PngKind::kDrawing);
  if (run.traffic) {
    write_recording(out, *run.traffic, interrupt);
  }
}

std::string summary_json(const RunSummary & s)
{
  Json objects = Json::array();
  for (const ObjectResult & o : s.objects) {
    objects.push_back({{"name", o.name},
                       {"label", o.label},
                       {"frames_in_view", o.frames_in_view},
                       {"frames_found", o.frames_found},
                       {"facing_share_mean", number(o.share_mean)},
                       {"facing_share_min", number(o.share_min)},
                       {"reports", o.reports},
                       {"report_error_max_m", number(o.report_error_max_m)}});
  }
  Json frames = Json::array();
  for (const FrameRecord & f : s.frames) {
    frames.push_back({{"frame", f.frame},
                      {"outline_points", f.outline_points},
                      {"far_points", f.far_points >= 0 ? Json(f.far_points) : Json()},
                      {"cycle_ms", number(f.cycle_ms)}});
  }
  Json clusters = Json::array();
  for (const ClusterRecord & c : s.clusters) {
    clusters.push_back({{"x", number(c.x_m)},
                        {"y", number(c.y_m)},
                        {"x_min", number(c.x_min_m)},
                        {"x_max", number(c.x_max_m)},
                        {"y_min", number(c.y_min_m)},
                        {"y_max", number(c.y_max_m)},
                        {"points", c.points}});
  }
  Json j{{"mode", s.mode},
         {"ground_truth", s.ground_truth},
         {"frames_published", s.frames_published},
         {"frames_processed", s.frames_processed},
         {"cycles", s.cycles},
         {"reports",
          {{"trash_records", s.trash_records},
           {"person_records", s.person_records},
           {"per_class", s.reports_per_class}}},
         {"outlined_object_frames_per_class", s.outlined_per_class},
         {"in_view_object_frames_per_class", s.in_view_per_class},
         {"scripted_detections_per_cycle", s.scripted_per_class},
         {"objects", objects},
         {"outline_points", s.outline_points},
         {"far_outline_points", s.far_points},
         {"far_outline_share", number(s.far_share)},
         {"cycle_ms",
          {{"samples", s.cycle_samples},
           {"p50", number(s.cycle_p50_ms)},
           {"p90", number(s.cycle_p90_ms)},
           {"p99", number(s.cycle_p99_ms)},
           {"max", number(s.cycle_max_ms)},
           {"outline_interval_p50", number(s.outline_interval_p50_ms)}}},
         {"frames", frames},
         {"clusters_last_frame", clusters}};
  if (s.comparison) {
    const ModelComparison & c = *s.comparison;
    j["model_comparison"] = {{"reference", s.compared_with},
                             {"reference_boxes", c.matches.size()},
                             {"found_within_px", c.limit_px},
                             {"found", c.found_within_limit},
                             {"max_difference_px", c.max_difference_px},
                             {"unmatched", c.unmatched}};
  }
  if (s.mode == "bag") {
    j["replayed_messages_per_topic"] = s.replayed_per_topic;
    j["skipped_messages_per_topic"] = s.skipped_per_topic;
  }
  j["node_error_lines"] = s.node_error_lines;
  j["wall_s"] = number(s.wall_s);
  return j.dump(2) + "\n";
}

void write_summary_json(const fs::path & out, const RunSummary & summary)
{
  std::ofstream json(out / "summary.json");
  json << summary_json(summary);
  if (!json) {
    throw std::runtime_error("cannot write " + (out / "summary.json").string());
  }
}

void print_summary(std::FILE * f, const RunSummary & s)
{
  std::fprintf(f, "\n== run_demo summary (%s) ==\n", s.mode.c_str());
  std::fprintf(f, "frames: %d published, %d processed (%d outline messages)\n", s.frames_published,
               s.frames_processed, s.cycles);
  if (!s.scripted_per_class.empty()) {
    std::fprintf(f, "scripted detections per cycle: %s\n",
                 counts_text(s.scripted_per_class).c_str());
  }
  std::fprintf(f, "reports: %d on %s, %d on %s; per class: %s\n", s.trash_records,
               veltrax_harness::topics::kTrashes, s.person_records,
               veltrax_harness::topics::kPersons, counts_text(s.reports_per_class).c_str());
  if (s.ground_truth) {
    std::fprintf(f, "outlined object-frames per class: %s (seen whole: %s)\n",
                 counts_text(s.outlined_per_class).c_str(),
                 counts_text(s.in_view_per_class).c_str());
    std::fprintf(f,
                 "per object: frames seen whole by a camera, frames outlined, share of the\n"
                 "camera-facing footprint boundary within 0.05 m of an outline point, reports:\n");
    for (const ObjectResult & o : s.objects) {
      std::fprintf(f, "  %-11s %-9s seen %3d  outlined %3d  share mean %.2f min %.2f",
                   o.name.c_str(), o.label.c_str(), o.frames_in_view, o.frames_found, o.share_mean,
                   o.share_min);
      if (o.reports > 0) {
        std::fprintf(f, "  reports %3d, max error %.3f m", o.reports, o.report_error_max_m);
      }
      std::fprintf(f, "\n");
    }
    std::fprintf(f,
                 "outline points: %d, of which %d (%.1f %%) farther than 0.1 m from every true "
                 "footprint\n",
                 s.outline_points, s.far_points, 100.0 * s.far_share);
  } else {
    std::fprintf(f, "no ground truth (%s): positions only\n", s.mode.c_str());
    if (s.mode == "bag") {
      std::fprintf(f, "replayed messages: %s\nskipped (not node inputs): %s\n",
                   counts_text(s.replayed_per_topic).c_str(),
                   counts_text(s.skipped_per_topic).c_str());
    }
    // The same frame is published again and again: one line per reported position.
    std::vector<std::pair<ReportRecord, int>> positions;
    for (const ReportRecord & r : s.reports) {
      auto same = std::find_if(positions.begin(), positions.end(), [&](const auto & p) {
        return p.first.topic == r.topic && p.first.label == r.label &&
               std::hypot(p.first.x_m - r.x_m, p.first.y_m - r.y_m) < 0.05;
      });
      if (same == positions.end()) {
        positions.emplace_back(r, 1);
      } else {
        ++same->second;
      }
    }
    for (const auto & [r, count] : positions) {
      std::fprintf(f, "  %-7s on %s at x %.3f y %.3f (base_footprint), %d records\n",
                   r.label.c_str(), r.topic.c_str(), r.x_m, r.y_m, count);
    }
    std::fprintf(f, "outline clusters of the last frame (gap <= 0.1 m):\n");
    for (const ClusterRecord & c : s.clusters) {
      std::fprintf(f, "  centre x %.2f y %.2f, x %.2f .. %.2f, y %.2f .. %.2f, %d points\n", c.x_m,
                   c.y_m, c.x_min_m, c.x_max_m, c.y_min_m, c.y_max_m, c.points);
    }
  }
  std::fprintf(f,
               "cycle time (frame published -> its outline received), %d frames: p50 %.0f ms, "
               "p90 %.0f ms, p99 %.0f ms, max %.0f ms\n",
               s.cycle_samples, s.cycle_p50_ms, s.cycle_p90_ms, s.cycle_p99_ms, s.cycle_max_ms);
  std::fprintf(f, "outline messages every %.0f ms (median; 100 ms while the node keeps up)\n",
               s.outline_interval_p50_ms);
  if (s.comparison) {
    const ModelComparison & c = *s.comparison;
    std::fprintf(f,
                 "detections against %s, outside the node on every frame: %d of %zu boxes found "
                 "within %d px (largest edge difference %d px), %d other boxes\n",
                 s.compared_with.c_str(), c.found_within_limit, c.matches.size(), c.limit_px,
                 c.max_difference_px, c.unmatched);
    for (const BoxMatch & m : c.matches) {
      if (!m.found) {
        std::fprintf(f, "  missed: frame %d camera %d class %d [%d %d %d %d]\n", m.frame, m.camera,
                     m.reference.class_id, m.reference.left, m.reference.top, m.reference.right,
                     m.reference.bottom);
      }
    }
  }
  std::fprintf(f, "node log: %s/node.log (%d ERROR lines)\n", s.out_dir.c_str(),
               s.node_error_lines);
  std::fprintf(f, "pictures: %s/summary.png, %s/topdown/, %s/overlays/, %s/reports/\n",
               s.out_dir.c_str(), s.out_dir.c_str(), s.out_dir.c_str(), s.out_dir.c_str());
  std::fprintf(f, "figures: %s/summary.json, %s/reports.jsonl; clouds: %s/clouds/ (%.1f s)\n",
               s.out_dir.c_str(), s.out_dir.c_str(), s.out_dir.c_str(), s.wall_s);
}

}  // namespace veltrax_demo
