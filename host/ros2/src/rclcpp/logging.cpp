// rcutils logging and rclcpp::Logger for the host stand-in.
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "rclcpp/logger.hpp"
#include "rcutils/logging.h"

namespace
{
struct LoggingState
{
  std::mutex mutex;
  int default_level = RCUTILS_DEFAULT_LOGGER_DEFAULT_LEVEL;
  std::map<std::string, int> levels;
  std::string format = "[{severity}] [{time}] [{name}]: {message}";
  bool use_stdout = false;
  std::mutex output_mutex;
};

LoggingState & state()
{
  static LoggingState instance;
  return instance;
}

// Atomic so that tests can swap the handler while other threads log.
std::atomic<rcutils_logging_output_handler_t> g_output_handler{
    &rcutils_logging_console_output_handler};

const char * severity_name(int severity)
{
  if (severity >= 0 && severity <= RCUTILS_LOG_SEVERITY_FATAL &&
      g_rcutils_log_severity_names[severity] != nullptr) {
    return g_rcutils_log_severity_names[severity];
  }
  return "UNKNOWN";
}

rcutils_time_point_value_t system_now_ns()
{
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string format_timestamp(rcutils_time_point_value_t ns)
{
  // Same "%ld.%09ld" split as rcutils, floored for negative stamps.
  int64_t sec = ns / 1000000000LL;
  int64_t nsec = ns % 1000000000LL;
  if (nsec < 0) {
    sec -= 1;
    nsec += 1000000000LL;
  }
  char buffer[48];
  std::snprintf(buffer, sizeof(buffer), "%lld.%09lld", static_cast<long long>(sec),
                static_cast<long long>(nsec));
  return buffer;
}

struct Initializer
{
  Initializer() { rcutils_logging_initialize(); }
};
}  // namespace

extern "C" {

const char * const g_rcutils_log_severity_names[RCUTILS_LOG_SEVERITY_FATAL + 1] = {
    "UNSET", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, "DEBUG", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, "INFO",  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, "WARN",  nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, "ERROR", nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, "FATAL",
};

bool g_rcutils_logging_initialized = false;

static void * default_allocate(size_t size, void *) { return std::malloc(size); }
static void default_deallocate(void * pointer, void *) { std::free(pointer); }
static void * default_reallocate(void * pointer, size_t size, void *)
{
  return std::realloc(pointer, size);
}
static void * default_zero_allocate(size_t count, size_t size, void *)
{
  return std::calloc(count, size);
}

rcutils_allocator_t rcutils_get_default_allocator(void)
{
  return rcutils_allocator_t{&default_allocate, &default_deallocate, &default_reallocate,
                             &default_zero_allocate, nullptr};
}

rcutils_ret_t rcutils_logging_initialize(void)
{
  return rcutils_logging_initialize_with_allocator(rcutils_get_default_allocator());
}

rcutils_ret_t rcutils_logging_initialize_with_allocator(rcutils_allocator_t)
{
  // Runs once during static initialisation (see below), before any other thread exists, so
  // the plain flag of the rcutils API is never written concurrently.
  if (g_rcutils_logging_initialized) {
    return RCUTILS_RET_OK;
  }
  LoggingState & s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const char * use_stdout = std::getenv("RCUTILS_LOGGING_USE_STDOUT");
  s.use_stdout = use_stdout != nullptr && std::strcmp(use_stdout, "1") == 0;
  const char * format = std::getenv("RCUTILS_CONSOLE_OUTPUT_FORMAT");
  if (format != nullptr && format[0] != '\0') {
    s.format = format;
  }
  g_rcutils_logging_initialized = true;
  return RCUTILS_RET_OK;
}

rcutils_ret_t rcutils_logging_shutdown(void)
{
  LoggingState & s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.levels.clear();
  s.default_level = RCUTILS_DEFAULT_LOGGER_DEFAULT_LEVEL;
  return RCUTILS_RET_OK;
}

rcutils_ret_t rcutils_logging_severity_level_from_string(const char * severity_string,
                                                         rcutils_allocator_t, int * severity)
{
  if (severity_string == nullptr || severity == nullptr) {
    return RCUTILS_RET_INVALID_ARGUMENT;
  }
  std::string upper(severity_string);
  for (char & c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  for (int level = 0; level <= RCUTILS_LOG_SEVERITY_FATAL; ++level) {
    const char * name = g_rcutils_log_severity_names[level];
    if (name != nullptr && upper == name) {
      *severity = level;
      return RCUTILS_RET_OK;
    }
  }
  return RCUTILS_RET_LOGGING_SEVERITY_STRING_INVALID;
}

rcutils_logging_output_handler_t rcutils_logging_get_output_handler(void)
{
  return g_output_handler.load();
}

void rcutils_logging_set_output_handler(rcutils_logging_output_handler_t function)
{
  g_output_handler.store(function);
}

rcutils_ret_t rcutils_logging_format_message(const rcutils_log_location_t * location, int severity,
                                             const char * name,
                                             rcutils_time_point_value_t timestamp, const char * msg,
                                             char * logging_output, size_t logging_output_size)
{
  std::string format;
  {
    LoggingState & s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    format = s.format;
  }
  std::string out;
  for (size_t i = 0; i < format.size();) {
    if (format[i] == '{') {
      size_t end = format.find('}', i);
      if (end != std::string::npos) {
        const std::string token = format.substr(i + 1, end - i - 1);
        bool known = true;
        if (token == "severity") {
          out += severity_name(severity);
        } else if (token == "name") {
          out += name != nullptr ? name : "";
        } else if (token == "message") {
          out += msg;
        } else if (token == "time") {
          out += format_timestamp(timestamp);
        } else if (token == "time_as_nanoseconds") {
          out += std::to_string(timestamp);
        } else if (token == "function_name") {
          out += location != nullptr ? location->function_name : "\"\"";
        } else if (token == "file_name") {
          out += location != nullptr ? location->file_name : "\"\"";
        } else if (token == "line_number") {
          out += location != nullptr ? std::to_string(location->line_number) : "0";
        } else {
          known = false;
        }
        if (known) {
          i = end + 1;
          continue;
        }
      }
    }
    out += format[i];
    ++i;
  }
  if (logging_output_size == 0) {
    return RCUTILS_RET_ERROR;
  }
  std::snprintf(logging_output, logging_output_size, "%s", out.c_str());
  return RCUTILS_RET_OK;
}

int rcutils_logging_get_default_logger_level(void)
{
  LoggingState & s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.default_level;
}

void rcutils_logging_set_default_logger_level(int level)
{
  LoggingState & s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  // As in rcutils, UNSET restores the built-in default.
  s.default_level =
      level == RCUTILS_LOG_SEVERITY_UNSET ? RCUTILS_DEFAULT_LOGGER_DEFAULT_LEVEL : level;
}

int rcutils_logging_get_logger_level(const char * name)
{
  if (name == nullptr) {
    return -1;
  }
  return rcutils_logging_get_logger_leveln(name, std::strlen(name));
}

int rcutils_logging_get_logger_leveln(const char * name, size_t name_length)
{
  if (name == nullptr) {
    return -1;
  }
  LoggingState & s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (name_length == 0) {
    return s.default_level;
  }
  auto it = s.levels.find(std::string(name, name_length));
  return it == s.levels.end() ? RCUTILS_LOG_SEVERITY_UNSET : it->second;
}

rcutils_ret_t rcutils_logging_set_logger_level(const char * name, int level)
{
  if (name == nullptr) {
    return RCUTILS_RET_INVALID_ARGUMENT;
  }
  if (level < 0 || level > RCUTILS_LOG_SEVERITY_FATAL ||
      g_rcutils_log_severity_names[level] == nullptr) {
    return RCUTILS_RET_INVALID_ARGUMENT;
  }
  if (name[0] == '\0') {
    rcutils_logging_set_default_logger_level(level);
    return RCUTILS_RET_OK;
  }
  LoggingState & s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.levels[name] = level;
  return RCUTILS_RET_OK;
}

int rcutils_logging_get_logger_effective_level(const char * name)
{
  if (name == nullptr) {
    return -1;
  }
  LoggingState & s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  // Walk up the dot-separated hierarchy: "a.b.c", "a.b", "a", then the default.
  std::string current(name);
  while (!current.empty()) {
    auto it = s.levels.find(current);
    if (it != s.levels.end() && it->second != RCUTILS_LOG_SEVERITY_UNSET) {
      return it->second;
    }
    const size_t dot = current.rfind('.');
    if (dot == std::string::npos) {
      break;
    }
    current.resize(dot);
  }
  return s.default_level;
}

bool rcutils_logging_logger_is_enabled_for(const char * name, int severity)
{
  const int level = name == nullptr ? rcutils_logging_get_default_logger_level()
                                    : rcutils_logging_get_logger_effective_level(name);
  return severity >= level;
}

void rcutils_log(const rcutils_log_location_t * location, int severity, const char * name,
                 const char * format, ...)
{
  if (!rcutils_logging_logger_is_enabled_for(name, severity)) {
    return;
  }
  rcutils_logging_output_handler_t handler = g_output_handler.load();
  if (handler == nullptr) {
    return;
  }
  va_list args;
  va_start(args, format);
  handler(location, severity, name != nullptr ? name : "", system_now_ns(), format, &args);
  va_end(args);
}

void rcutils_logging_console_output_handler(const rcutils_log_location_t * location, int severity,
                                            const char * name, rcutils_time_point_value_t timestamp,
                                            const char * format, va_list * args)
{
  va_list copy;
  va_copy(copy, *args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message(needed > 0 ? static_cast<size_t>(needed) : 0U, '\0');
  if (needed > 0) {
    std::vsnprintf(&message[0], message.size() + 1, format, *args);
  }
  std::string line(message.size() + 512 + (name != nullptr ? std::strlen(name) : 0U), '\0');
  rcutils_logging_format_message(location, severity, name, timestamp, message.c_str(), &line[0],
                                 line.size());
  line.resize(std::strlen(line.c_str()));
  line += '\n';
  LoggingState & s = state();
  bool use_stdout = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    use_stdout = s.use_stdout;
  }
  std::lock_guard<std::mutex> lock(s.output_mutex);
  FILE * stream = use_stdout ? stdout : stderr;
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

}  // extern "C"

namespace
{
const Initializer g_initializer;
}  // namespace

namespace rclcpp
{
Logger get_logger(const std::string & name) { return Logger(name); }

void Logger::set_level(Level level)
{
  if (!name_) {
    return;
  }
  if (rcutils_logging_set_logger_level(name_->c_str(), static_cast<int>(level)) != RCUTILS_RET_OK) {
    throw std::runtime_error("Couldn't set logger level");
  }
}
}  // namespace rclcpp
