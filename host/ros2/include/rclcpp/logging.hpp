// Host stand-in for rclcpp/logging.hpp (ROS 2 Humble rclcpp 16.0, generated upstream from
// resource/logging.hpp.em). Same macro set per severity: plain, _ONCE, _EXPRESSION, _FUNCTION,
// _SKIPFIRST, _THROTTLE, _SKIPFIRST_THROTTLE and the _STREAM forms of each. Every macro checks
// with a static_assert that its first argument is an rclcpp::Logger and ends in rcutils_log,
// which carries the printf format attribute. As in Humble, _THROTTLE needs a non-const
// rclcpp::Clock lvalue (Clock::now() is non-const) and the _STREAM forms build their text
// before the severity check.
#pragma once

#include <cstdio>
#include <sstream>
#include <type_traits>

#include "rclcpp/logger.hpp"
#include "rcutils/logging_macros.h"

#define RCLCPP_HOST_LOGGER_CHECK(logger)                                                           \
  static_assert(::std::is_same<                                                                    \
                    typename std::remove_cv_t<typename std::remove_reference_t<decltype(logger)>>, \
                    typename ::rclcpp::Logger>::value,                                             \
                "First argument to logging macros must be an rclcpp::Logger")

#define RCLCPP_HOST_TIME_POINT_GETTER(clock, name)                                               \
  auto get_time_point = [&c = clock](rcutils_time_point_value_t * time_point) -> rcutils_ret_t { \
    try {                                                                                        \
      *time_point = c.now().nanoseconds();                                                       \
    } catch (...) {                                                                              \
      fputs("[rclcpp|logging.hpp] " name " could not get current time stamp\n", stderr);         \
      return RCUTILS_RET_ERROR;                                                                  \
    }                                                                                            \
    return RCUTILS_RET_OK;                                                                       \
  }

// DEBUG
#define RCLCPP_DEBUG(logger, ...)                              \
  do {                                                         \
    RCLCPP_HOST_LOGGER_CHECK(logger);                          \
    RCUTILS_LOG_DEBUG_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_DEBUG_ONCE(logger, ...)                              \
  do {                                                              \
    RCLCPP_HOST_LOGGER_CHECK(logger);                               \
    RCUTILS_LOG_DEBUG_ONCE_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_DEBUG_EXPRESSION(logger, expression, ...)                              \
  do {                                                                                \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                 \
    RCUTILS_LOG_DEBUG_EXPRESSION_NAMED(expression, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_DEBUG_FUNCTION(logger, function, ...)                              \
  do {                                                                            \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                             \
    RCUTILS_LOG_DEBUG_FUNCTION_NAMED(function, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_DEBUG_SKIPFIRST(logger, ...)                              \
  do {                                                                   \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                    \
    RCUTILS_LOG_DEBUG_SKIPFIRST_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_DEBUG_THROTTLE(logger, clock, duration, ...)                                       \
  do {                                                                                            \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                             \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_DEBUG_THROTTLE");                                \
    RCUTILS_LOG_DEBUG_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_DEBUG_SKIPFIRST_THROTTLE(logger, clock, duration, ...)                         \
  do {                                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                         \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_DEBUG_SKIPFIRST_THROTTLE");                  \
    RCUTILS_LOG_DEBUG_SKIPFIRST_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), \
                                               __VA_ARGS__);                                  \
  } while (0)
#define RCLCPP_DEBUG_STREAM(logger, stream_arg)                                          \
  do {                                                                                   \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                    \
    std::stringstream rclcpp_stream_ss_;                                                 \
    rclcpp_stream_ss_ << stream_arg;                                                     \
    RCUTILS_LOG_DEBUG_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_DEBUG_STREAM_ONCE(logger, stream_arg)                                          \
  do {                                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                         \
    std::stringstream rclcpp_stream_ss_;                                                      \
    rclcpp_stream_ss_ << stream_arg;                                                          \
    RCUTILS_LOG_DEBUG_ONCE_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_DEBUG_STREAM_EXPRESSION(logger, expression, stream_arg)        \
  do {                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                         \
    std::stringstream rclcpp_stream_ss_;                                      \
    rclcpp_stream_ss_ << stream_arg;                                          \
    RCUTILS_LOG_DEBUG_EXPRESSION_NAMED(expression, (logger).get_name(), "%s", \
                                       rclcpp_stream_ss_.str().c_str());      \
  } while (0)
#define RCLCPP_DEBUG_STREAM_FUNCTION(logger, function, stream_arg)        \
  do {                                                                    \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                     \
    std::stringstream rclcpp_stream_ss_;                                  \
    rclcpp_stream_ss_ << stream_arg;                                      \
    RCUTILS_LOG_DEBUG_FUNCTION_NAMED(function, (logger).get_name(), "%s", \
                                     rclcpp_stream_ss_.str().c_str());    \
  } while (0)
#define RCLCPP_DEBUG_STREAM_SKIPFIRST(logger, stream_arg)                                          \
  do {                                                                                             \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                              \
    std::stringstream rclcpp_stream_ss_;                                                           \
    rclcpp_stream_ss_ << stream_arg;                                                               \
    RCUTILS_LOG_DEBUG_SKIPFIRST_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_DEBUG_STREAM_THROTTLE(logger, clock, duration, stream_arg)                 \
  do {                                                                                    \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                     \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_DEBUG_STREAM_THROTTLE");                 \
    std::stringstream rclcpp_stream_ss_;                                                  \
    rclcpp_stream_ss_ << stream_arg;                                                      \
    RCUTILS_LOG_DEBUG_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), "%s", \
                                     rclcpp_stream_ss_.str().c_str());                    \
  } while (0)
#define RCLCPP_DEBUG_STREAM_SKIPFIRST_THROTTLE(logger, clock, duration, stream_arg)           \
  do {                                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                         \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_DEBUG_STREAM_SKIPFIRST_THROTTLE");           \
    std::stringstream rclcpp_stream_ss_;                                                      \
    rclcpp_stream_ss_ << stream_arg;                                                          \
    RCUTILS_LOG_DEBUG_SKIPFIRST_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), \
                                               "%s", rclcpp_stream_ss_.str().c_str());        \
  } while (0)

// INFO
#define RCLCPP_INFO(logger, ...)                              \
  do {                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                         \
    RCUTILS_LOG_INFO_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_INFO_ONCE(logger, ...)                              \
  do {                                                             \
    RCLCPP_HOST_LOGGER_CHECK(logger);                              \
    RCUTILS_LOG_INFO_ONCE_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_INFO_EXPRESSION(logger, expression, ...)                              \
  do {                                                                               \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                \
    RCUTILS_LOG_INFO_EXPRESSION_NAMED(expression, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_INFO_FUNCTION(logger, function, ...)                              \
  do {                                                                           \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                            \
    RCUTILS_LOG_INFO_FUNCTION_NAMED(function, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_INFO_SKIPFIRST(logger, ...)                              \
  do {                                                                  \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                   \
    RCUTILS_LOG_INFO_SKIPFIRST_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_INFO_THROTTLE(logger, clock, duration, ...)                                       \
  do {                                                                                           \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                            \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_INFO_THROTTLE");                                \
    RCUTILS_LOG_INFO_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_INFO_SKIPFIRST_THROTTLE(logger, clock, duration, ...)                         \
  do {                                                                                       \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                        \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_INFO_SKIPFIRST_THROTTLE");                  \
    RCUTILS_LOG_INFO_SKIPFIRST_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), \
                                              __VA_ARGS__);                                  \
  } while (0)
#define RCLCPP_INFO_STREAM(logger, stream_arg)                                          \
  do {                                                                                  \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                   \
    std::stringstream rclcpp_stream_ss_;                                                \
    rclcpp_stream_ss_ << stream_arg;                                                    \
    RCUTILS_LOG_INFO_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_INFO_STREAM_ONCE(logger, stream_arg)                                          \
  do {                                                                                       \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                        \
    std::stringstream rclcpp_stream_ss_;                                                     \
    rclcpp_stream_ss_ << stream_arg;                                                         \
    RCUTILS_LOG_INFO_ONCE_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_INFO_STREAM_EXPRESSION(logger, expression, stream_arg)        \
  do {                                                                       \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                        \
    std::stringstream rclcpp_stream_ss_;                                     \
    rclcpp_stream_ss_ << stream_arg;                                         \
    RCUTILS_LOG_INFO_EXPRESSION_NAMED(expression, (logger).get_name(), "%s", \
                                      rclcpp_stream_ss_.str().c_str());      \
  } while (0)
#define RCLCPP_INFO_STREAM_FUNCTION(logger, function, stream_arg)        \
  do {                                                                   \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                    \
    std::stringstream rclcpp_stream_ss_;                                 \
    rclcpp_stream_ss_ << stream_arg;                                     \
    RCUTILS_LOG_INFO_FUNCTION_NAMED(function, (logger).get_name(), "%s", \
                                    rclcpp_stream_ss_.str().c_str());    \
  } while (0)
#define RCLCPP_INFO_STREAM_SKIPFIRST(logger, stream_arg)                                          \
  do {                                                                                            \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                             \
    std::stringstream rclcpp_stream_ss_;                                                          \
    rclcpp_stream_ss_ << stream_arg;                                                              \
    RCUTILS_LOG_INFO_SKIPFIRST_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_INFO_STREAM_THROTTLE(logger, clock, duration, stream_arg)                 \
  do {                                                                                   \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                    \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_INFO_STREAM_THROTTLE");                 \
    std::stringstream rclcpp_stream_ss_;                                                 \
    rclcpp_stream_ss_ << stream_arg;                                                     \
    RCUTILS_LOG_INFO_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), "%s", \
                                    rclcpp_stream_ss_.str().c_str());                    \
  } while (0)
#define RCLCPP_INFO_STREAM_SKIPFIRST_THROTTLE(logger, clock, duration, stream_arg)                 \
  do {                                                                                             \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                              \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_INFO_STREAM_SKIPFIRST_THROTTLE");                 \
    std::stringstream rclcpp_stream_ss_;                                                           \
    rclcpp_stream_ss_ << stream_arg;                                                               \
    RCUTILS_LOG_INFO_SKIPFIRST_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), "%s", \
                                              rclcpp_stream_ss_.str().c_str());                    \
  } while (0)

// WARN
#define RCLCPP_WARN(logger, ...)                              \
  do {                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                         \
    RCUTILS_LOG_WARN_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_WARN_ONCE(logger, ...)                              \
  do {                                                             \
    RCLCPP_HOST_LOGGER_CHECK(logger);                              \
    RCUTILS_LOG_WARN_ONCE_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_WARN_EXPRESSION(logger, expression, ...)                              \
  do {                                                                               \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                \
    RCUTILS_LOG_WARN_EXPRESSION_NAMED(expression, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_WARN_FUNCTION(logger, function, ...)                              \
  do {                                                                           \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                            \
    RCUTILS_LOG_WARN_FUNCTION_NAMED(function, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_WARN_SKIPFIRST(logger, ...)                              \
  do {                                                                  \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                   \
    RCUTILS_LOG_WARN_SKIPFIRST_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_WARN_THROTTLE(logger, clock, duration, ...)                                       \
  do {                                                                                           \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                            \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_WARN_THROTTLE");                                \
    RCUTILS_LOG_WARN_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_WARN_SKIPFIRST_THROTTLE(logger, clock, duration, ...)                         \
  do {                                                                                       \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                        \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_WARN_SKIPFIRST_THROTTLE");                  \
    RCUTILS_LOG_WARN_SKIPFIRST_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), \
                                              __VA_ARGS__);                                  \
  } while (0)
#define RCLCPP_WARN_STREAM(logger, stream_arg)                                          \
  do {                                                                                  \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                   \
    std::stringstream rclcpp_stream_ss_;                                                \
    rclcpp_stream_ss_ << stream_arg;                                                    \
    RCUTILS_LOG_WARN_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_WARN_STREAM_ONCE(logger, stream_arg)                                          \
  do {                                                                                       \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                        \
    std::stringstream rclcpp_stream_ss_;                                                     \
    rclcpp_stream_ss_ << stream_arg;                                                         \
    RCUTILS_LOG_WARN_ONCE_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_WARN_STREAM_EXPRESSION(logger, expression, stream_arg)        \
  do {                                                                       \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                        \
    std::stringstream rclcpp_stream_ss_;                                     \
    rclcpp_stream_ss_ << stream_arg;                                         \
    RCUTILS_LOG_WARN_EXPRESSION_NAMED(expression, (logger).get_name(), "%s", \
                                      rclcpp_stream_ss_.str().c_str());      \
  } while (0)
#define RCLCPP_WARN_STREAM_FUNCTION(logger, function, stream_arg)        \
  do {                                                                   \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                    \
    std::stringstream rclcpp_stream_ss_;                                 \
    rclcpp_stream_ss_ << stream_arg;                                     \
    RCUTILS_LOG_WARN_FUNCTION_NAMED(function, (logger).get_name(), "%s", \
                                    rclcpp_stream_ss_.str().c_str());    \
  } while (0)
#define RCLCPP_WARN_STREAM_SKIPFIRST(logger, stream_arg)                                          \
  do {                                                                                            \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                             \
    std::stringstream rclcpp_stream_ss_;                                                          \
    rclcpp_stream_ss_ << stream_arg;                                                              \
    RCUTILS_LOG_WARN_SKIPFIRST_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_WARN_STREAM_THROTTLE(logger, clock, duration, stream_arg)                 \
  do {                                                                                   \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                    \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_WARN_STREAM_THROTTLE");                 \
    std::stringstream rclcpp_stream_ss_;                                                 \
    rclcpp_stream_ss_ << stream_arg;                                                     \
    RCUTILS_LOG_WARN_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), "%s", \
                                    rclcpp_stream_ss_.str().c_str());                    \
  } while (0)
#define RCLCPP_WARN_STREAM_SKIPFIRST_THROTTLE(logger, clock, duration, stream_arg)                 \
  do {                                                                                             \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                              \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_WARN_STREAM_SKIPFIRST_THROTTLE");                 \
    std::stringstream rclcpp_stream_ss_;                                                           \
    rclcpp_stream_ss_ << stream_arg;                                                               \
    RCUTILS_LOG_WARN_SKIPFIRST_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), "%s", \
                                              rclcpp_stream_ss_.str().c_str());                    \
  } while (0)

// ERROR
#define RCLCPP_ERROR(logger, ...)                              \
  do {                                                         \
    RCLCPP_HOST_LOGGER_CHECK(logger);                          \
    RCUTILS_LOG_ERROR_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_ERROR_ONCE(logger, ...)                              \
  do {                                                              \
    RCLCPP_HOST_LOGGER_CHECK(logger);                               \
    RCUTILS_LOG_ERROR_ONCE_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_ERROR_EXPRESSION(logger, expression, ...)                              \
  do {                                                                                \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                 \
    RCUTILS_LOG_ERROR_EXPRESSION_NAMED(expression, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_ERROR_FUNCTION(logger, function, ...)                              \
  do {                                                                            \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                             \
    RCUTILS_LOG_ERROR_FUNCTION_NAMED(function, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_ERROR_SKIPFIRST(logger, ...)                              \
  do {                                                                   \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                    \
    RCUTILS_LOG_ERROR_SKIPFIRST_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_ERROR_THROTTLE(logger, clock, duration, ...)                                       \
  do {                                                                                            \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                             \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_ERROR_THROTTLE");                                \
    RCUTILS_LOG_ERROR_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_ERROR_SKIPFIRST_THROTTLE(logger, clock, duration, ...)                         \
  do {                                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                         \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_ERROR_SKIPFIRST_THROTTLE");                  \
    RCUTILS_LOG_ERROR_SKIPFIRST_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), \
                                               __VA_ARGS__);                                  \
  } while (0)
#define RCLCPP_ERROR_STREAM(logger, stream_arg)                                          \
  do {                                                                                   \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                    \
    std::stringstream rclcpp_stream_ss_;                                                 \
    rclcpp_stream_ss_ << stream_arg;                                                     \
    RCUTILS_LOG_ERROR_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_ERROR_STREAM_ONCE(logger, stream_arg)                                          \
  do {                                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                         \
    std::stringstream rclcpp_stream_ss_;                                                      \
    rclcpp_stream_ss_ << stream_arg;                                                          \
    RCUTILS_LOG_ERROR_ONCE_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_ERROR_STREAM_EXPRESSION(logger, expression, stream_arg)        \
  do {                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                         \
    std::stringstream rclcpp_stream_ss_;                                      \
    rclcpp_stream_ss_ << stream_arg;                                          \
    RCUTILS_LOG_ERROR_EXPRESSION_NAMED(expression, (logger).get_name(), "%s", \
                                       rclcpp_stream_ss_.str().c_str());      \
  } while (0)
#define RCLCPP_ERROR_STREAM_FUNCTION(logger, function, stream_arg)        \
  do {                                                                    \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                     \
    std::stringstream rclcpp_stream_ss_;                                  \
    rclcpp_stream_ss_ << stream_arg;                                      \
    RCUTILS_LOG_ERROR_FUNCTION_NAMED(function, (logger).get_name(), "%s", \
                                     rclcpp_stream_ss_.str().c_str());    \
  } while (0)
#define RCLCPP_ERROR_STREAM_SKIPFIRST(logger, stream_arg)                                          \
  do {                                                                                             \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                              \
    std::stringstream rclcpp_stream_ss_;                                                           \
    rclcpp_stream_ss_ << stream_arg;                                                               \
    RCUTILS_LOG_ERROR_SKIPFIRST_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_ERROR_STREAM_THROTTLE(logger, clock, duration, stream_arg)                 \
  do {                                                                                    \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                     \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_ERROR_STREAM_THROTTLE");                 \
    std::stringstream rclcpp_stream_ss_;                                                  \
    rclcpp_stream_ss_ << stream_arg;                                                      \
    RCUTILS_LOG_ERROR_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), "%s", \
                                     rclcpp_stream_ss_.str().c_str());                    \
  } while (0)
#define RCLCPP_ERROR_STREAM_SKIPFIRST_THROTTLE(logger, clock, duration, stream_arg)           \
  do {                                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                         \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_ERROR_STREAM_SKIPFIRST_THROTTLE");           \
    std::stringstream rclcpp_stream_ss_;                                                      \
    rclcpp_stream_ss_ << stream_arg;                                                          \
    RCUTILS_LOG_ERROR_SKIPFIRST_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), \
                                               "%s", rclcpp_stream_ss_.str().c_str());        \
  } while (0)

// FATAL
#define RCLCPP_FATAL(logger, ...)                              \
  do {                                                         \
    RCLCPP_HOST_LOGGER_CHECK(logger);                          \
    RCUTILS_LOG_FATAL_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_FATAL_ONCE(logger, ...)                              \
  do {                                                              \
    RCLCPP_HOST_LOGGER_CHECK(logger);                               \
    RCUTILS_LOG_FATAL_ONCE_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_FATAL_EXPRESSION(logger, expression, ...)                              \
  do {                                                                                \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                 \
    RCUTILS_LOG_FATAL_EXPRESSION_NAMED(expression, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_FATAL_FUNCTION(logger, function, ...)                              \
  do {                                                                            \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                             \
    RCUTILS_LOG_FATAL_FUNCTION_NAMED(function, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_FATAL_SKIPFIRST(logger, ...)                              \
  do {                                                                   \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                    \
    RCUTILS_LOG_FATAL_SKIPFIRST_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_FATAL_THROTTLE(logger, clock, duration, ...)                                       \
  do {                                                                                            \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                             \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_FATAL_THROTTLE");                                \
    RCUTILS_LOG_FATAL_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)
#define RCLCPP_FATAL_SKIPFIRST_THROTTLE(logger, clock, duration, ...)                         \
  do {                                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                         \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_FATAL_SKIPFIRST_THROTTLE");                  \
    RCUTILS_LOG_FATAL_SKIPFIRST_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), \
                                               __VA_ARGS__);                                  \
  } while (0)
#define RCLCPP_FATAL_STREAM(logger, stream_arg)                                          \
  do {                                                                                   \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                    \
    std::stringstream rclcpp_stream_ss_;                                                 \
    rclcpp_stream_ss_ << stream_arg;                                                     \
    RCUTILS_LOG_FATAL_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_FATAL_STREAM_ONCE(logger, stream_arg)                                          \
  do {                                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                         \
    std::stringstream rclcpp_stream_ss_;                                                      \
    rclcpp_stream_ss_ << stream_arg;                                                          \
    RCUTILS_LOG_FATAL_ONCE_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_FATAL_STREAM_EXPRESSION(logger, expression, stream_arg)        \
  do {                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                         \
    std::stringstream rclcpp_stream_ss_;                                      \
    rclcpp_stream_ss_ << stream_arg;                                          \
    RCUTILS_LOG_FATAL_EXPRESSION_NAMED(expression, (logger).get_name(), "%s", \
                                       rclcpp_stream_ss_.str().c_str());      \
  } while (0)
#define RCLCPP_FATAL_STREAM_FUNCTION(logger, function, stream_arg)        \
  do {                                                                    \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                     \
    std::stringstream rclcpp_stream_ss_;                                  \
    rclcpp_stream_ss_ << stream_arg;                                      \
    RCUTILS_LOG_FATAL_FUNCTION_NAMED(function, (logger).get_name(), "%s", \
                                     rclcpp_stream_ss_.str().c_str());    \
  } while (0)
#define RCLCPP_FATAL_STREAM_SKIPFIRST(logger, stream_arg)                                          \
  do {                                                                                             \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                              \
    std::stringstream rclcpp_stream_ss_;                                                           \
    rclcpp_stream_ss_ << stream_arg;                                                               \
    RCUTILS_LOG_FATAL_SKIPFIRST_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)
#define RCLCPP_FATAL_STREAM_THROTTLE(logger, clock, duration, stream_arg)                 \
  do {                                                                                    \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                     \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_FATAL_STREAM_THROTTLE");                 \
    std::stringstream rclcpp_stream_ss_;                                                  \
    rclcpp_stream_ss_ << stream_arg;                                                      \
    RCUTILS_LOG_FATAL_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), "%s", \
                                     rclcpp_stream_ss_.str().c_str());                    \
  } while (0)
#define RCLCPP_FATAL_STREAM_SKIPFIRST_THROTTLE(logger, clock, duration, stream_arg)           \
  do {                                                                                        \
    RCLCPP_HOST_LOGGER_CHECK(logger);                                                         \
    RCLCPP_HOST_TIME_POINT_GETTER(clock, "RCLCPP_FATAL_STREAM_SKIPFIRST_THROTTLE");           \
    std::stringstream rclcpp_stream_ss_;                                                      \
    rclcpp_stream_ss_ << stream_arg;                                                          \
    RCUTILS_LOG_FATAL_SKIPFIRST_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), \
                                               "%s", rclcpp_stream_ss_.str().c_str());        \
  } while (0)
