// Host stand-in for rcutils/logging_macros.h (ROS 2 Humble rcutils 5.1, generated upstream from
// logging_macros.h.em). Same macro names and arguments; the enabled check runs before the call so
// that format arguments of a disabled severity are not evaluated.
// Differs from Humble: RCUTILS_LOG_MIN_SEVERITY compile-time stripping is not supported; the
// _ONCE, _SKIPFIRST and _THROTTLE call-site state uses atomic builtins (Humble uses plain
// statics), which changes nothing for a single thread and keeps ThreadSanitizer quiet.
#pragma once

// Included from rcutils/logging.h.

#define RCUTILS_LOG_COND_NAMED(severity, condition_before, condition_after, name, ...)         \
  do {                                                                                         \
    RCUTILS_LOGGING_AUTOINIT;                                                                  \
    static rcutils_log_location_t __rcutils_logging_location = {__func__, __FILE__, __LINE__}; \
    if (rcutils_logging_logger_is_enabled_for(name, severity)) {                               \
      condition_before rcutils_log(&__rcutils_logging_location, severity, name, __VA_ARGS__);  \
      condition_after                                                                          \
    }                                                                                          \
  } while (0)

#define RCUTILS_LOG_CONDITION_EMPTY

#define RCUTILS_LOG_CONDITION_ONCE_BEFORE                                                        \
  {                                                                                              \
    static int __rcutils_logging_once = 0;                                                       \
    if (__builtin_expect(0 == __atomic_exchange_n(&__rcutils_logging_once, 1, __ATOMIC_RELAXED), \
                         0)) {
#define RCUTILS_LOG_CONDITION_ONCE_AFTER \
  }                                      \
  }

#define RCUTILS_LOG_CONDITION_EXPRESSION_BEFORE(expression) if (expression) {
#define RCUTILS_LOG_CONDITION_EXPRESSION_AFTER }

#define RCUTILS_LOG_CONDITION_FUNCTION_BEFORE(function) if ((*function)()) {
#define RCUTILS_LOG_CONDITION_FUNCTION_AFTER }

#define RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE                                     \
  {                                                                                \
    static int __rcutils_logging_first = 1;                                        \
    if (__atomic_exchange_n(&__rcutils_logging_first, 0, __ATOMIC_RELAXED) == 1) { \
    } else {
#define RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER \
  }                                           \
  }

#define RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration)               \
  {                                                                                         \
    static rcutils_duration_value_t __rcutils_logging_duration =                            \
        RCUTILS_MS_TO_NS((rcutils_duration_value_t)(duration));                             \
    static rcutils_time_point_value_t __rcutils_logging_last_logged = 0;                    \
    rcutils_time_point_value_t __rcutils_logging_now = 0;                                   \
    bool __rcutils_logging_condition = true;                                                \
    if (get_time_point_value(&__rcutils_logging_now) != RCUTILS_RET_OK) {                   \
      rcutils_log(&__rcutils_logging_location, RCUTILS_LOG_SEVERITY_ERROR, "",              \
                  "%s() at %s:%d getting current steady time failed\n", __func__, __FILE__, \
                  __LINE__);                                                                \
    } else {                                                                                \
      __rcutils_logging_condition =                                                         \
          __rcutils_logging_now >=                                                          \
          __atomic_load_n(&__rcutils_logging_last_logged, __ATOMIC_RELAXED) +               \
              __rcutils_logging_duration;                                                   \
    }                                                                                       \
    if (__builtin_expect(__rcutils_logging_condition, 1)) {                                 \
      __atomic_store_n(&__rcutils_logging_last_logged, __rcutils_logging_now, __ATOMIC_RELAXED);
#define RCUTILS_LOG_CONDITION_THROTTLE_AFTER \
  }                                          \
  }

// DEBUG
#define RCUTILS_LOG_DEBUG_NAMED(name, ...)                                        \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_DEBUG, RCUTILS_LOG_CONDITION_EMPTY, \
                         RCUTILS_LOG_CONDITION_EMPTY, name, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG(...) RCUTILS_LOG_DEBUG_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_ONCE_NAMED(name, ...)                                         \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_DEBUG, RCUTILS_LOG_CONDITION_ONCE_BEFORE, \
                         RCUTILS_LOG_CONDITION_ONCE_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_ONCE(...) RCUTILS_LOG_DEBUG_ONCE_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_EXPRESSION_NAMED(expression, name, ...)             \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_DEBUG,                          \
                         RCUTILS_LOG_CONDITION_EXPRESSION_BEFORE(expression), \
                         RCUTILS_LOG_CONDITION_EXPRESSION_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_EXPRESSION(expression, ...) \
  RCUTILS_LOG_DEBUG_EXPRESSION_NAMED(expression, NULL, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_FUNCTION_NAMED(function, name, ...)             \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_DEBUG,                      \
                         RCUTILS_LOG_CONDITION_FUNCTION_BEFORE(function), \
                         RCUTILS_LOG_CONDITION_FUNCTION_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_FUNCTION(function, ...) \
  RCUTILS_LOG_DEBUG_FUNCTION_NAMED(function, NULL, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_SKIPFIRST_NAMED(name, ...)                                         \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_DEBUG, RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE, \
                         RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_SKIPFIRST(...) RCUTILS_LOG_DEBUG_SKIPFIRST_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_THROTTLE_NAMED(get_time_point_value, duration, name, ...)             \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_DEBUG,                                            \
                         RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration), \
                         RCUTILS_LOG_CONDITION_THROTTLE_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_THROTTLE(get_time_point_value, duration, ...) \
  RCUTILS_LOG_DEBUG_THROTTLE_NAMED(get_time_point_value, duration, NULL, __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_SKIPFIRST_THROTTLE_NAMED(get_time_point_value, duration, name, ...) \
  RCUTILS_LOG_COND_NAMED(                                                                     \
      RCUTILS_LOG_SEVERITY_DEBUG,                                                             \
      RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration)                   \
          RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE,                                             \
      RCUTILS_LOG_CONDITION_THROTTLE_AFTER RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER, name,       \
      __VA_ARGS__)
#define RCUTILS_LOG_DEBUG_SKIPFIRST_THROTTLE(get_time_point_value, duration, ...) \
  RCUTILS_LOG_DEBUG_SKIPFIRST_THROTTLE_NAMED(get_time_point_value, duration, NULL, __VA_ARGS__)

// INFO
#define RCUTILS_LOG_INFO_NAMED(name, ...)                                        \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_INFO, RCUTILS_LOG_CONDITION_EMPTY, \
                         RCUTILS_LOG_CONDITION_EMPTY, name, __VA_ARGS__)
#define RCUTILS_LOG_INFO(...) RCUTILS_LOG_INFO_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_INFO_ONCE_NAMED(name, ...)                                         \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_INFO, RCUTILS_LOG_CONDITION_ONCE_BEFORE, \
                         RCUTILS_LOG_CONDITION_ONCE_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_INFO_ONCE(...) RCUTILS_LOG_INFO_ONCE_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_INFO_EXPRESSION_NAMED(expression, name, ...)              \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_INFO,                           \
                         RCUTILS_LOG_CONDITION_EXPRESSION_BEFORE(expression), \
                         RCUTILS_LOG_CONDITION_EXPRESSION_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_INFO_EXPRESSION(expression, ...) \
  RCUTILS_LOG_INFO_EXPRESSION_NAMED(expression, NULL, __VA_ARGS__)
#define RCUTILS_LOG_INFO_FUNCTION_NAMED(function, name, ...)              \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_INFO,                       \
                         RCUTILS_LOG_CONDITION_FUNCTION_BEFORE(function), \
                         RCUTILS_LOG_CONDITION_FUNCTION_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_INFO_FUNCTION(function, ...) \
  RCUTILS_LOG_INFO_FUNCTION_NAMED(function, NULL, __VA_ARGS__)
#define RCUTILS_LOG_INFO_SKIPFIRST_NAMED(name, ...)                                         \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_INFO, RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE, \
                         RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_INFO_SKIPFIRST(...) RCUTILS_LOG_INFO_SKIPFIRST_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_INFO_THROTTLE_NAMED(get_time_point_value, duration, name, ...)              \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_INFO,                                             \
                         RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration), \
                         RCUTILS_LOG_CONDITION_THROTTLE_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_INFO_THROTTLE(get_time_point_value, duration, ...) \
  RCUTILS_LOG_INFO_THROTTLE_NAMED(get_time_point_value, duration, NULL, __VA_ARGS__)
#define RCUTILS_LOG_INFO_SKIPFIRST_THROTTLE_NAMED(get_time_point_value, duration, name, ...) \
  RCUTILS_LOG_COND_NAMED(                                                                    \
      RCUTILS_LOG_SEVERITY_INFO,                                                             \
      RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration)                  \
          RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE,                                            \
      RCUTILS_LOG_CONDITION_THROTTLE_AFTER RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER, name,      \
      __VA_ARGS__)
#define RCUTILS_LOG_INFO_SKIPFIRST_THROTTLE(get_time_point_value, duration, ...) \
  RCUTILS_LOG_INFO_SKIPFIRST_THROTTLE_NAMED(get_time_point_value, duration, NULL, __VA_ARGS__)

// WARN
#define RCUTILS_LOG_WARN_NAMED(name, ...)                                        \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_WARN, RCUTILS_LOG_CONDITION_EMPTY, \
                         RCUTILS_LOG_CONDITION_EMPTY, name, __VA_ARGS__)
#define RCUTILS_LOG_WARN(...) RCUTILS_LOG_WARN_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_WARN_ONCE_NAMED(name, ...)                                         \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_WARN, RCUTILS_LOG_CONDITION_ONCE_BEFORE, \
                         RCUTILS_LOG_CONDITION_ONCE_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_WARN_ONCE(...) RCUTILS_LOG_WARN_ONCE_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_WARN_EXPRESSION_NAMED(expression, name, ...)              \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_WARN,                           \
                         RCUTILS_LOG_CONDITION_EXPRESSION_BEFORE(expression), \
                         RCUTILS_LOG_CONDITION_EXPRESSION_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_WARN_EXPRESSION(expression, ...) \
  RCUTILS_LOG_WARN_EXPRESSION_NAMED(expression, NULL, __VA_ARGS__)
#define RCUTILS_LOG_WARN_FUNCTION_NAMED(function, name, ...)              \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_WARN,                       \
                         RCUTILS_LOG_CONDITION_FUNCTION_BEFORE(function), \
                         RCUTILS_LOG_CONDITION_FUNCTION_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_WARN_FUNCTION(function, ...) \
  RCUTILS_LOG_WARN_FUNCTION_NAMED(function, NULL, __VA_ARGS__)
#define RCUTILS_LOG_WARN_SKIPFIRST_NAMED(name, ...)                                         \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_WARN, RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE, \
                         RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_WARN_SKIPFIRST(...) RCUTILS_LOG_WARN_SKIPFIRST_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_WARN_THROTTLE_NAMED(get_time_point_value, duration, name, ...)              \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_WARN,                                             \
                         RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration), \
                         RCUTILS_LOG_CONDITION_THROTTLE_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_WARN_THROTTLE(get_time_point_value, duration, ...) \
  RCUTILS_LOG_WARN_THROTTLE_NAMED(get_time_point_value, duration, NULL, __VA_ARGS__)
#define RCUTILS_LOG_WARN_SKIPFIRST_THROTTLE_NAMED(get_time_point_value, duration, name, ...) \
  RCUTILS_LOG_COND_NAMED(                                                                    \
      RCUTILS_LOG_SEVERITY_WARN,                                                             \
      RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration)                  \
          RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE,                                            \
      RCUTILS_LOG_CONDITION_THROTTLE_AFTER RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER, name,      \
      __VA_ARGS__)
#define RCUTILS_LOG_WARN_SKIPFIRST_THROTTLE(get_time_point_value, duration, ...) \
  RCUTILS_LOG_WARN_SKIPFIRST_THROTTLE_NAMED(get_time_point_value, duration, NULL, __VA_ARGS__)

// ERROR
#define RCUTILS_LOG_ERROR_NAMED(name, ...)                                        \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_ERROR, RCUTILS_LOG_CONDITION_EMPTY, \
                         RCUTILS_LOG_CONDITION_EMPTY, name, __VA_ARGS__)
#define RCUTILS_LOG_ERROR(...) RCUTILS_LOG_ERROR_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_ONCE_NAMED(name, ...)                                         \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_ERROR, RCUTILS_LOG_CONDITION_ONCE_BEFORE, \
                         RCUTILS_LOG_CONDITION_ONCE_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_ONCE(...) RCUTILS_LOG_ERROR_ONCE_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_EXPRESSION_NAMED(expression, name, ...)             \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_ERROR,                          \
                         RCUTILS_LOG_CONDITION_EXPRESSION_BEFORE(expression), \
                         RCUTILS_LOG_CONDITION_EXPRESSION_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_EXPRESSION(expression, ...) \
  RCUTILS_LOG_ERROR_EXPRESSION_NAMED(expression, NULL, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_FUNCTION_NAMED(function, name, ...)             \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_ERROR,                      \
                         RCUTILS_LOG_CONDITION_FUNCTION_BEFORE(function), \
                         RCUTILS_LOG_CONDITION_FUNCTION_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_FUNCTION(function, ...) \
  RCUTILS_LOG_ERROR_FUNCTION_NAMED(function, NULL, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_SKIPFIRST_NAMED(name, ...)                                         \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_ERROR, RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE, \
                         RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_SKIPFIRST(...) RCUTILS_LOG_ERROR_SKIPFIRST_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_THROTTLE_NAMED(get_time_point_value, duration, name, ...)             \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_ERROR,                                            \
                         RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration), \
                         RCUTILS_LOG_CONDITION_THROTTLE_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_THROTTLE(get_time_point_value, duration, ...) \
  RCUTILS_LOG_ERROR_THROTTLE_NAMED(get_time_point_value, duration, NULL, __VA_ARGS__)
#define RCUTILS_LOG_ERROR_SKIPFIRST_THROTTLE_NAMED(get_time_point_value, duration, name, ...) \
  RCUTILS_LOG_COND_NAMED(                                                                     \
      RCUTILS_LOG_SEVERITY_ERROR,                                                             \
      RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration)                   \
          RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE,                                             \
      RCUTILS_LOG_CONDITION_THROTTLE_AFTER RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER, name,       \
      __VA_ARGS__)
#define RCUTILS_LOG_ERROR_SKIPFIRST_THROTTLE(get_time_point_value, duration, ...) \
  RCUTILS_LOG_ERROR_SKIPFIRST_THROTTLE_NAMED(get_time_point_value, duration, NULL, __VA_ARGS__)

// FATAL
#define RCUTILS_LOG_FATAL_NAMED(name, ...)                                        \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_FATAL, RCUTILS_LOG_CONDITION_EMPTY, \
                         RCUTILS_LOG_CONDITION_EMPTY, name, __VA_ARGS__)
#define RCUTILS_LOG_FATAL(...) RCUTILS_LOG_FATAL_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_ONCE_NAMED(name, ...)                                         \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_FATAL, RCUTILS_LOG_CONDITION_ONCE_BEFORE, \
                         RCUTILS_LOG_CONDITION_ONCE_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_ONCE(...) RCUTILS_LOG_FATAL_ONCE_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_EXPRESSION_NAMED(expression, name, ...)             \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_FATAL,                          \
                         RCUTILS_LOG_CONDITION_EXPRESSION_BEFORE(expression), \
                         RCUTILS_LOG_CONDITION_EXPRESSION_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_EXPRESSION(expression, ...) \
  RCUTILS_LOG_FATAL_EXPRESSION_NAMED(expression, NULL, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_FUNCTION_NAMED(function, name, ...)             \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_FATAL,                      \
                         RCUTILS_LOG_CONDITION_FUNCTION_BEFORE(function), \
                         RCUTILS_LOG_CONDITION_FUNCTION_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_FUNCTION(function, ...) \
  RCUTILS_LOG_FATAL_FUNCTION_NAMED(function, NULL, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_SKIPFIRST_NAMED(name, ...)                                         \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_FATAL, RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE, \
                         RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_SKIPFIRST(...) RCUTILS_LOG_FATAL_SKIPFIRST_NAMED(NULL, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_THROTTLE_NAMED(get_time_point_value, duration, name, ...)             \
  RCUTILS_LOG_COND_NAMED(RCUTILS_LOG_SEVERITY_FATAL,                                            \
                         RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration), \
                         RCUTILS_LOG_CONDITION_THROTTLE_AFTER, name, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_THROTTLE(get_time_point_value, duration, ...) \
  RCUTILS_LOG_FATAL_THROTTLE_NAMED(get_time_point_value, duration, NULL, __VA_ARGS__)
#define RCUTILS_LOG_FATAL_SKIPFIRST_THROTTLE_NAMED(get_time_point_value, duration, name, ...) \
  RCUTILS_LOG_COND_NAMED(                                                                     \
      RCUTILS_LOG_SEVERITY_FATAL,                                                             \
      RCUTILS_LOG_CONDITION_THROTTLE_BEFORE(get_time_point_value, duration)                   \
          RCUTILS_LOG_CONDITION_SKIPFIRST_BEFORE,                                             \
      RCUTILS_LOG_CONDITION_THROTTLE_AFTER RCUTILS_LOG_CONDITION_SKIPFIRST_AFTER, name,       \
      __VA_ARGS__)
#define RCUTILS_LOG_FATAL_SKIPFIRST_THROTTLE(get_time_point_value, duration, ...) \
  RCUTILS_LOG_FATAL_SKIPFIRST_THROTTLE_NAMED(get_time_point_value, duration, NULL, __VA_ARGS__)
