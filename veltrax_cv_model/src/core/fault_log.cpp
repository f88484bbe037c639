#include "veltrax_cv_model/fault_log.hpp"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace veltrax_cv_model
{

FaultLog::FaultLog(Clock::duration repeat_period) : repeat_period_(repeat_period) {}

bool FaultLog::due(Clock::time_point last, Clock::time_point now) const
{
  return now - last >= repeat_period_;
}

bool FaultLog::report(const std::string & site_name, const std::string & text,
                      Clock::time_point now)
{
  const std::lock_guard<std::mutex> lock(mutex_);
  auto found = sites_.find(site_name);
  if (found == sites_.end() && sites_.size() < kMaxSites) {
    found = sites_.emplace(site_name, Site{}).first;
  }
  Site & site = found == sites_.end() ? overflow_site_ : found->second;
  const bool log = should_log(site, text, now);
  site.announced = site.announced || log;
  return log;
}

bool FaultLog::should_log(Site & site, const std::string & text, Clock::time_point now) const
{
  const auto text_entry = site.logged.find(text);
  if (text_entry != site.logged.end()) {
    if (!due(text_entry->second, now)) {
      return false;
    }
    text_entry->second = now;
    return true;
  }
  if (site.logged.size() < kMaxTextsPerSite) {
    site.logged.emplace(text, now);
    return true;
  }
  if (site.overflowed && !due(site.overflow_logged, now)) {
    return false;
  }
  site.overflowed = true;
  site.overflow_logged = now;
  return true;
}

bool FaultLog::clear(const std::string & site_name)
{
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = sites_.find(site_name);
  if (found == sites_.end() || !found->second.announced) {
    return false;
  }
  found->second.announced = false;
  return true;
}

std::string format_text(const char * format, ...)
{
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    text.assign(buffer.data(), static_cast<std::size_t>(length));
  }
  va_end(args);
  return text;
}

}  // namespace veltrax_cv_model
