// Host stand-in for rcutils/logging.h (ROS 2 Humble rcutils 5.1): the same types, severities,
// output-handler typedef and functions, with the printf format attribute on rcutils_log.
// Console output is "[SEVERITY] [sec.nsec] [name]: message" (RCUTILS_CONSOLE_OUTPUT_FORMAT
// overrides it; tokens {severity} {time} {time_as_nanoseconds} {name} {message}
// {function_name} {file_name} {line_number}), on stderr unless RCUTILS_LOGGING_USE_STDOUT=1.
// Differs from Humble: no colouring and no RCUTILS_LOGGING_BUFFERED_STREAM; the logger-level
// table is a mutex-guarded map; rcutils_logging_console_output_handler writes each line with one
// locked write, so lines of concurrent threads never interleave.
#pragma once

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>

#include "rcutils/allocator.h"
#include "rcutils/time.h"
#include "rcutils/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define RCUTILS_LOGGING_SEPARATOR_STRING "."

typedef struct rcutils_log_location_s
{
  const char * function_name;
  const char * file_name;
  size_t line_number;
} rcutils_log_location_t;

enum RCUTILS_LOG_SEVERITY {
  RCUTILS_LOG_SEVERITY_UNSET = 0,
  RCUTILS_LOG_SEVERITY_DEBUG = 10,
  RCUTILS_LOG_SEVERITY_INFO = 20,
  RCUTILS_LOG_SEVERITY_WARN = 30,
  RCUTILS_LOG_SEVERITY_ERROR = 40,
  RCUTILS_LOG_SEVERITY_FATAL = 50,
};

#define RCUTILS_DEFAULT_LOGGER_DEFAULT_LEVEL RCUTILS_LOG_SEVERITY_INFO

extern const char * const g_rcutils_log_severity_names[RCUTILS_LOG_SEVERITY_FATAL + 1];

typedef void (*rcutils_logging_output_handler_t)(const rcutils_log_location_t *, int, const char *,
                                                 rcutils_time_point_value_t, const char *,
                                                 va_list *);

extern bool g_rcutils_logging_initialized;

rcutils_ret_t rcutils_logging_initialize(void);
rcutils_ret_t rcutils_logging_initialize_with_allocator(rcutils_allocator_t allocator);
rcutils_ret_t rcutils_logging_shutdown(void);

rcutils_ret_t rcutils_logging_severity_level_from_string(const char * severity_string,
                                                         rcutils_allocator_t allocator,
                                                         int * severity);

rcutils_logging_output_handler_t rcutils_logging_get_output_handler(void);
void rcutils_logging_set_output_handler(rcutils_logging_output_handler_t function);

rcutils_ret_t rcutils_logging_format_message(const rcutils_log_location_t * location, int severity,
                                             const char * name,
                                             rcutils_time_point_value_t timestamp, const char * msg,
                                             char * logging_output, size_t logging_output_size);

int rcutils_logging_get_default_logger_level(void);
void rcutils_logging_set_default_logger_level(int level);
int rcutils_logging_get_logger_level(const char * name);
int rcutils_logging_get_logger_leveln(const char * name, size_t name_length);
rcutils_ret_t rcutils_logging_set_logger_level(const char * name, int level);
bool rcutils_logging_logger_is_enabled_for(const char * name, int severity);
int rcutils_logging_get_logger_effective_level(const char * name);

void rcutils_log(const rcutils_log_location_t * location, int severity, const char * name,
                 const char * format, ...) __attribute__((format(printf, 4, 5)));

void rcutils_logging_console_output_handler(const rcutils_log_location_t * location, int severity,
                                            const char * name, rcutils_time_point_value_t timestamp,
                                            const char * format, va_list * args);

#define RCUTILS_LOGGING_AUTOINIT                               \
  do {                                                         \
    if (__builtin_expect(!g_rcutils_logging_initialized, 0)) { \
      if (rcutils_logging_initialize() != RCUTILS_RET_OK) {    \
        /* the console handler still works without the env */  \
      }                                                        \
    }                                                          \
  } while (0)

#ifdef __cplusplus
}
#endif

#include "rcutils/logging_macros.h"
