// Host stand-in for rclcpp/logger.hpp (ROS 2 Humble rclcpp 16.0): Logger with the same
// members (no public default constructor, non-const get_child, set_level) and get_logger.
// Differs from Humble: get_node_logger and get_logging_directory are not provided.
#pragma once

#include <memory>
#include <string>

#include "rcutils/logging.h"

namespace rclcpp
{
class Logger;

/// Logger with the given name; "a.b" is a child of "a" for level lookups.
Logger get_logger(const std::string & name);

class Logger
{
public:
  enum class Level {
    Unset = RCUTILS_LOG_SEVERITY_UNSET,
    Debug = RCUTILS_LOG_SEVERITY_DEBUG,
    Info = RCUTILS_LOG_SEVERITY_INFO,
    Warn = RCUTILS_LOG_SEVERITY_WARN,
    Error = RCUTILS_LOG_SEVERITY_ERROR,
    Fatal = RCUTILS_LOG_SEVERITY_FATAL,
  };

private:
  friend Logger rclcpp::get_logger(const std::string & name);
  /// Dummy logger: get_name() is nullptr and nothing is logged through it.
  Logger() : name_(nullptr) {}
  explicit Logger(const std::string & name) : name_(new std::string(name)) {}

  std::shared_ptr<const std::string> name_;

public:
  Logger(const Logger &) = default;
  Logger & operator=(const Logger &) = default;

  const char * get_name() const
  {
    if (!name_) {
      return nullptr;
    }
    return name_->c_str();
  }

  /// Child logger "<name>.<suffix>"; non-const as in Humble.
  Logger get_child(const std::string & suffix)
  {
    if (!name_) {
      return Logger();
    }
    return Logger(*name_ + "." + suffix);
  }

  /// Sets this logger's level; throws std::runtime_error when rcutils refuses it.
  void set_level(Level level);
};
}  // namespace rclcpp
