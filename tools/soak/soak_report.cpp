// The soak's figures, verdict, picture and summary.
#include "soak/soak.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "demo/scoring.hpp"

namespace veltrax_soak
{

namespace
{

constexpr double kKibPerMib = 1024.0;
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
constexpr int kWidth_px = 1200;
constexpr int kHeader_px = 44;
constexpr int kPanelHeight_px = 380;
// Plot area inside a panel: room for the title above, tick labels left and below.
constexpr int kPlotLeft_px = 90;
constexpr int kPlotRight_px = 30;
constexpr int kPlotTop_px = 40;
constexpr int kPlotBottom_px = 60;
const cv::Scalar kBlack(0, 0, 0);
const cv::Scalar kGrid(225, 225, 225);
const cv::Scalar kWarmup(150, 150, 150);
const cv::Scalar kWindow(30, 30, 220);

double median_rss_kib(std::vector<CycleSample>::const_iterator first,
                      std::vector<CycleSample>::const_iterator last)
{
  std::vector<double> rss;
  for (auto it = first; it != last; ++it) rss.push_back(static_cast<double>(it->rss_kib));
  return veltrax_demo::quantile(rss, 0.5);
}

// A tick step of 1, 2 or 5 times a power of ten giving about `ticks` ticks over `span`.
double tick_step(double span, int ticks)
{
  const double raw = span / ticks;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0}) {
    if (m * magnitude >= raw) return m * magnitude;
  }
  return 10.0 * magnitude;
}

std::string tick_label(double value, double step)
{
  const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  char text[32];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

void dashed_line(cv::Mat & image, cv::Point from, cv::Point to, const cv::Scalar & colour)
{
  const double length = std::hypot(to.x - from.x, to.y - from.y);
  for (int dash = 0; dash * 10.0 < length; ++dash) {
    const double s = dash * 10.0;
    const double e = std::min(length, s + 5.0);
    cv::line(image, from + (to - from) * (s / length), from + (to - from) * (e / length), colour,
             1);
  }
}

// One panel: `values` (one per cycle) over the cycle index, drawn per pixel column as the
// range of the cycles in it (light) and their mean (dark), so thousands of cycles stay legible.
class Panel
{
public:
  Panel(cv::Mat & image, int top_px, int cycles, double y_min, double y_max)
      : image_(image),
        plot_(kPlotLeft_px, top_px + kPlotTop_px, kWidth_px - kPlotLeft_px - kPlotRight_px,
              kPanelHeight_px - kPlotTop_px - kPlotBottom_px),
        cycles_(cycles),
        y_min_(y_min),
        y_max_(y_max)
  {
    // Ticks at whole multiples of the step, counted: a running sum of 0.1 steps would drift
    // past the last one.
    const double x_step = tick_step(cycles, 10);
    for (int i = 0; i * x_step <= cycles; ++i) {
      const double x = i * x_step;
      const int px = to_x(x);
      cv::line(image_, {px, plot_.y}, {px, plot_.br().y}, kGrid, 1);
      const std::string text = tick_label(x, x_step);
      cv::putText(image_, text, {px - 4 * static_cast<int>(text.size()), plot_.br().y + 20}, kFont,
                  0.45, kBlack, 1, cv::LINE_AA);
    }
    const double y_step = tick_step(y_max - y_min, 6);
    for (int i = static_cast<int>(std::ceil(y_min / y_step)); i * y_step <= y_max; ++i) {
      const double y = i * y_step;
      const int py = to_y(y);
      cv::line(image_, {plot_.x, py}, {plot_.br().x, py}, kGrid, 1);
      const std::string text = tick_label(y, y_step);
      cv::putText(image_, text, {plot_.x - 10 - 9 * static_cast<int>(text.size()), py + 5}, kFont,
                  0.45, kBlack, 1, cv::LINE_AA);
    }
    cv::rectangle(image_, plot_, kBlack, 1);
    cv::putText(image_, "cycle", {plot_.x + plot_.width / 2 - 20, plot_.br().y + 45}, kFont, 0.5,
                kBlack, 1, cv::LINE_AA);
  }

  void title(const std::string & text)
  {
    cv::putText(image_, text, {plot_.x, plot_.y - 14}, kFont, 0.6, kBlack, 1, cv::LINE_AA);
  }

  void series(const std::vector<double> & values, const cv::Scalar & range, const cv::Scalar & mean)
  {
    std::vector<cv::Point> means;
    std::size_t i = 0;
    while (i < values.size()) {
      const int column = to_x(static_cast<double>(i));
      double lo = values[i];
      double hi = values[i];
      double sum = 0.0;
      std::size_t n = 0;
      for (; i < values.size() && to_x(static_cast<double>(i)) == column; ++i, ++n) {
        lo = std::min(lo, values[i]);
        hi = std::max(hi, values[i]);
        sum += values[i];
      }
      cv::line(image_, {column, to_y(lo)}, {column, to_y(hi)}, range, 1);
      means.emplace_back(column, to_y(sum / static_cast<double>(n)));
    }
    cv::polylines(image_, means, false, mean, 1, cv::LINE_AA);
  }

  void vertical_marker(double x, const std::string & label)
  {
    const int px = to_x(x);
    dashed_line(image_, {px, plot_.y}, {px, plot_.br().y}, kWarmup);
    cv::putText(image_, label, {px + 5, plot_.y + 16}, kFont, 0.45, kWarmup, 1, cv::LINE_AA);
  }

  void segment(double x0, double x1, double y, const cv::Scalar & colour)
  {
    cv::line(image_, {to_x(x0), to_y(y)}, {to_x(x1), to_y(y)}, colour, 3);
  }

  /// Right-aligned on the title's line, clear of the data.
  void note(const std::string & text, const cv::Scalar & colour)
  {
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, kFont, 0.45, 1, &baseline);
    cv::putText(image_, text, {plot_.br().x - size.width, plot_.y - 14}, kFont, 0.45, colour, 1,
                cv::LINE_AA);
  }

private:
  int to_x(double cycle) const
  {
    return plot_.x + static_cast<int>(std::lround(cycle / cycles_ * (plot_.width - 1)));
  }
  int to_y(double value) const
  {
    const double share = std::clamp((value - y_min_) / (y_max_ - y_min_), 0.0, 1.0);
    return plot_.br().y - 1 - static_cast<int>(std::lround(share * (plot_.height - 1)));
  }

  cv::Mat & image_;
  cv::Rect plot_;
  double cycles_;
  double y_min_;
  double y_max_;
};

}  // namespace

SoakStats soak_stats(const std::vector<CycleSample> & samples, int warmup, double max_growth_mib)
{
  if (warmup < 0 || static_cast<std::size_t>(warmup) >= samples.size()) {
    throw std::invalid_argument("soak_stats: no cycle after the warm-up");
  }
  SoakStats s;
  s.cycles = static_cast<int>(samples.size());
  s.warmup = warmup;
  s.max_growth_mib = max_growth_mib;
  s.rss_warmup_end_kib = samples[static_cast<std::size_t>(std::max(warmup - 1, 0))].rss_kib;
  s.rss_end_kib = samples.back().rss_kib;

  // Medians of two windows rather than two samples: a single cycle's buffers move RSS by MiBs.
  const auto after = samples.begin() + warmup;
  const int n = s.cycles - warmup;
  s.window = std::max(1, n / 20);
  s.rss_first_median_kib = median_rss_kib(after, after + s.window);
  s.rss_last_median_kib = median_rss_kib(samples.end() - s.window, samples.end());
  s.growth_mib = (s.rss_last_median_kib - s.rss_first_median_kib) / kKibPerMib;

  double mean_x = 0.0;
  double mean_y = 0.0;
  for (auto it = after; it != samples.end(); ++it) {
    mean_x += it->cycle;
    mean_y += static_cast<double>(it->rss_kib);
  }
  mean_x /= n;
  mean_y /= n;
  double sxy = 0.0;
  double sxx = 0.0;
  for (auto it = after; it != samples.end(); ++it) {
    sxy += (it->cycle - mean_x) * (static_cast<double>(it->rss_kib) - mean_y);
    sxx += (it->cycle - mean_x) * (it->cycle - mean_x);
  }
  s.slope_kib_per_1000 = sxx > 0.0 ? 1000.0 * sxy / sxx : 0.0;

  std::vector<double> cycle_ms;
  for (const CycleSample & sample : samples) {
    cycle_ms.push_back(sample.cycle_ms);
    s.cycles_without_outline += sample.outline_points > 0 ? 0 : 1;
  }
  s.cycle_p50_ms = veltrax_demo::quantile(cycle_ms, 0.5);
  s.cycle_p95_ms = veltrax_demo::quantile(cycle_ms, 0.95);
  s.cycle_max_ms = veltrax_demo::quantile(cycle_ms, 1.0);
  s.pass = s.growth_mib <= max_growth_mib;
  return s;
}

cv::Mat soak_picture(const std::vector<CycleSample> & samples, const SoakStats & stats)
{
  cv::Mat image(kHeader_px + 2 * kPanelHeight_px, kWidth_px, CV_8UC3, cv::Scalar(255, 255, 255));
  char line[160];
  std::snprintf(line, sizeof(line),
                "soak: %d cycles of the demo scene, warm-up %d; growth %.2f MiB (limit %.1f): %s",
                stats.cycles, stats.warmup, stats.growth_mib, stats.max_growth_mib,
                stats.pass ? "pass" : "FAIL");
  cv::putText(image, line, {kPlotLeft_px, 28}, kFont, 0.65, kBlack, 1, cv::LINE_AA);
  if (samples.empty()) {
    return image;
  }

  std::vector<double> rss_mib;
  std::vector<double> cycle_ms;
  for (const CycleSample & sample : samples) {
    rss_mib.push_back(static_cast<double>(sample.rss_kib) / kKibPerMib);
    cycle_ms.push_back(sample.cycle_ms);
  }
  const auto [rss_lo, rss_hi] = std::minmax_element(rss_mib.begin(), rss_mib.end());
  // At least the growth limit tall, so that allocator noise does not look like a trend.
  const double rss_pad = std::max(0.05 * (*rss_hi - *rss_lo), 0.5 * stats.max_growth_mib);
  Panel rss(image, kHeader_px, stats.cycles, *rss_lo - rss_pad, *rss_hi + rss_pad);
  rss.title("resident memory (RSS), MiB");
  rss.series(rss_mib, cv::Scalar(235, 200, 160), cv::Scalar(160, 90, 20));
  const double first = static_cast<double>(stats.warmup);
  const double last = static_cast<double>(stats.cycles - stats.window);
  rss.segment(first, first + stats.window, stats.rss_first_median_kib / kKibPerMib, kWindow);
  rss.segment(last, stats.cycles, stats.rss_last_median_kib / kKibPerMib, kWindow);
  if (stats.warmup > 0) {
    rss.vertical_marker(first, "end of warm-up");
  }
  std::snprintf(line, sizeof(line),
                "red: medians of first/last %d cycles after warm-up; slope %.1f KiB/1000 cycles",
                stats.window, stats.slope_kib_per_1000);
  rss.note(line, kWindow);

  Panel time(image, kHeader_px + kPanelHeight_px, stats.cycles, 0.0,
             1.05 * *std::max_element(cycle_ms.begin(), cycle_ms.end()));
  time.title("cycle time (timer_callback), ms");
  time.series(cycle_ms, cv::Scalar(170, 220, 170), cv::Scalar(40, 120, 40));
  std::snprintf(line, sizeof(line), "p50 %.1f ms, p95 %.1f ms, max %.1f ms", stats.cycle_p50_ms,
                stats.cycle_p95_ms, stats.cycle_max_ms);
  time.note(line, kBlack);
  return image;
}

std::string stats_json(const SoakStats & s)
{
  // Three decimals: a thousandth of a KiB, MiB or millisecond is below what the soak resolves.
  const auto figure = [](double value) { return std::round(value * 1e3) / 1e3; };
  const nlohmann::ordered_json j{{"cycles", s.cycles},
                                 {"warmup", s.warmup},
                                 {"rss_kib",
                                  {{"warmup_end", s.rss_warmup_end_kib},
                                   {"end", s.rss_end_kib},
                                   {"window", s.window},
                                   {"first_window_median", figure(s.rss_first_median_kib)},
                                   {"last_window_median", figure(s.rss_last_median_kib)}}},
                                 {"growth_mib", figure(s.growth_mib)},
                                 {"slope_kib_per_1000_cycles", figure(s.slope_kib_per_1000)},
                                 {"cycle_ms",
                                  {{"p50", figure(s.cycle_p50_ms)},
                                   {"p95", figure(s.cycle_p95_ms)},
                                   {"max", figure(s.cycle_max_ms)}}},
                                 {"cycles_without_outline", s.cycles_without_outline},
                                 {"max_growth_mib", figure(s.max_growth_mib)},
                                 {"pass", s.pass},
                                 {"wall_s", figure(s.wall_s)}};
  return j.dump(2) + "\n";
}

void print_stats(std::FILE * f, const SoakStats & s, const std::string & out_dir)
{
  std::fprintf(f, "\n== soak summary ==\n");
  std::fprintf(f, "cycles: %d (warm-up %d), %d without outline points\n", s.cycles, s.warmup,
               s.cycles_without_outline);
  std::fprintf(f, "RSS: %.1f MiB at the end of the warm-up, %.1f MiB at the end\n",
               static_cast<double>(s.rss_warmup_end_kib) / kKibPerMib,
               static_cast<double>(s.rss_end_kib) / kKibPerMib);
  std::fprintf(f,
               "growth after the warm-up: %.2f MiB (median of the last %d cycles - median of the "
               "first %d), slope %.1f KiB per 1000 cycles\n",
               s.growth_mib, s.window, s.window, s.slope_kib_per_1000);
  std::fprintf(f, "cycle time: p50 %.1f ms, p95 %.1f ms, max %.1f ms; wall time %.1f s\n",
               s.cycle_p50_ms, s.cycle_p95_ms, s.cycle_max_ms, s.wall_s);
  std::fprintf(f, "verdict: %s (limit %.1f MiB)\n", s.pass ? "pass" : "FAIL: memory grows",
               s.max_growth_mib);
  std::fprintf(f, "files: %s/soak.csv, %s/soak.png, %s/summary.json, %s/node.log\n",
               out_dir.c_str(), out_dir.c_str(), out_dir.c_str(), out_dir.c_str());
}

}  // namespace veltrax_soak
