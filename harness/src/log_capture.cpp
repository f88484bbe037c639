// Log capture through rcutils' output handler.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "veltrax_harness/harness.hpp"

namespace veltrax_harness
{
namespace
{

// rcutils' output handler takes no context, so the capture in force has to be found here; the
// same lock covers every hand-over, so a capture never ends while a line is being given to it.
std::mutex g_capture_mutex;
LogCapture * g_capture = nullptr;

const char * level_name(int severity)
{
  return severity >= RCUTILS_LOG_SEVERITY_FATAL   ? "FATAL"
         : severity >= RCUTILS_LOG_SEVERITY_ERROR ? "ERROR"
         : severity >= RCUTILS_LOG_SEVERITY_WARN  ? "WARN"
         : severity >= RCUTILS_LOG_SEVERITY_INFO  ? "INFO"
                                                  : "DEBUG";
}

std::size_t level_index(int severity, std::size_t levels)
{
  return std::min(static_cast<std::size_t>(std::max(severity, 0) / 10), levels - 1);
}

}  // namespace

LogCapture::LogCapture()
{
  std::lock_guard<std::mutex> lock(g_capture_mutex);
  previous_handler_ = rcutils_logging_get_output_handler();
  previous_capture_ = previous_handler_ == &LogCapture::handle ? g_capture : nullptr;
  g_capture = this;
  rcutils_logging_set_output_handler(&LogCapture::handle);
}

void LogCapture::take_back_output()
{
  std::lock_guard<std::mutex> lock(g_capture_mutex);
  const rcutils_logging_output_handler_t current = rcutils_logging_get_output_handler();
  if (g_capture == nullptr || current == &LogCapture::handle) return;
  LogCapture * oldest = g_capture;
  while (oldest->previous_capture_ != nullptr) oldest = oldest->previous_capture_;
  oldest->previous_handler_ = current;
  rcutils_logging_set_output_handler(&LogCapture::handle);
}

LogCapture::LogCapture(const std::string & path) : LogCapture()
{
  std::FILE * file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    throw std::runtime_error("cannot write " + path);
  }
  std::lock_guard<std::mutex> lock(g_capture_mutex);
  file_ = file;
}

LogCapture::~LogCapture()
{
  std::lock_guard<std::mutex> lock(g_capture_mutex);
  rcutils_logging_set_output_handler(previous_handler_);
  g_capture = previous_capture_;
  if (file_ != nullptr) std::fclose(file_);
}

void LogCapture::handle(const rcutils_log_location_t * location, int severity, const char * name,
                        rcutils_time_point_value_t timestamp, const char * format, va_list * args)
{
  va_list copy;
  va_copy(copy, *args);
  char buffer[4096];
  std::vsnprintf(buffer, sizeof(buffer), format, copy);
  va_end(copy);
  rcutils_logging_output_handler_t pass_on = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_capture_mutex);
    LogCapture * capture = g_capture;
    // A line that was on its way while the last capture ended still reaches the console.
    pass_on = capture == nullptr ? &rcutils_logging_console_output_handler : nullptr;
    for (; capture != nullptr; capture = capture->previous_capture_) {
      capture->take(severity, name != nullptr ? name : "", buffer);
      if (capture->file_ != nullptr) break;
      if (capture->previous_capture_ == nullptr) pass_on = capture->previous_handler_;
    }
  }
  if (pass_on != nullptr) pass_on(location, severity, name, timestamp, format, args);
}

void LogCapture::take(int severity, const char * name, const char * message)
{
  ++per_level_[level_index(severity, per_level_.size())];
  if (file_ == nullptr) {
    lines_.push_back(LogLine{severity, name, message});
    return;
  }
  // Several of the node's formats end in a newline of their own.
  std::size_t length = std::strlen(message);
  while (length > 0 && message[length - 1] == '\n') --length;
  std::fprintf(file_, "[%s] [%s]: %.*s\n", level_name(severity), name, static_cast<int>(length),
               message);
}

std::vector<LogLine> LogCapture::lines() const
{
  std::lock_guard<std::mutex> lock(g_capture_mutex);
  return lines_;
}

std::vector<std::string> LogCapture::messages(int severity) const
{
  std::vector<std::string> result;
  for (const LogLine & line : lines()) {
    if (line.severity == severity) result.push_back(line.message);
  }
  return result;
}

std::size_t LogCapture::count(const std::string & text) const
{
  std::size_t n = 0;
  for (const LogLine & line : lines()) {
    if (line.message.find(text) != std::string::npos) ++n;
  }
  return n;
}

std::size_t LogCapture::count_at_least(int severity) const
{
  std::lock_guard<std::mutex> lock(g_capture_mutex);
  std::size_t n = 0;
  for (std::size_t level = level_index(severity, per_level_.size()); level < per_level_.size();
       ++level) {
    n += per_level_[level];
  }
  return n;
}

void LogCapture::clear()
{
  std::lock_guard<std::mutex> lock(g_capture_mutex);
  lines_.clear();
  per_level_.fill(0);
}

}  // namespace veltrax_harness
