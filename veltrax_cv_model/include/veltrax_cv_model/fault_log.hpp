// Keeps faults that repeat frame after frame (a stream that stopped, a refused depth image, a
// failing NPU call) from flooding the log at the frame rate.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace veltrax_cv_model
{

/// Decides which fault lines are worth logging. A fault is a text reported at a site (the part
/// of the node it belongs to). A text is logged when it first appears at its site and again as a
/// reminder once `repeat_period` has passed, also when the fault came and went in between, so a
/// fault that flickers from frame to frame is not logged every other frame. A site whose logged
/// fault clears says so once. Sites and texts per site are bounded, so input that makes every
/// text different cannot grow memory or flood the log: beyond the bound a site logs at most one
/// new text per `repeat_period`. Thread-safe: the frame cycle and the workers share one instance.
class FaultLog
{
public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kMaxSites = 16;
  static constexpr std::size_t kMaxTextsPerSite = 8;

  explicit FaultLog(Clock::duration repeat_period = std::chrono::seconds(30));

  /// True when the caller is to log `text` now.
  bool report(const std::string & site, const std::string & text, Clock::time_point now);
  bool report(const std::string & site, const std::string & text)
  {
    return report(site, text, Clock::now());
  }

  /// Marks the faults of `site` as gone; true when one of them was logged since the site last
  /// recovered, so the caller logs the recovery once.
  bool clear(const std::string & site);

private:
  struct Site
  {
    std::map<std::string, Clock::time_point> logged;  ///< text -> when it was last logged
    Clock::time_point overflow_logged{};              ///< last text logged beyond kMaxTextsPerSite
    bool overflowed{false};
    bool announced{false};  ///< a fault line went out since the last recovery
  };

  bool should_log(Site & site, const std::string & text, Clock::time_point now) const;

  bool due(Clock::time_point last, Clock::time_point now) const;

  const Clock::duration repeat_period_;
  std::mutex mutex_;
  std::map<std::string, Site> sites_;
  Site overflow_site_;  ///< sites beyond kMaxSites share this one
};

/// printf-style formatting into a string, for fault texts.
std::string format_text(const char * format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace veltrax_cv_model
