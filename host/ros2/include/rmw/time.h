// Host stand-in for rmw/time.h (ROS 2 Humble rmw 6.1): rmw_time_t and the duration macros.
// Differs from Humble: the rmw_time_* helper functions are not provided.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct rmw_time_s
{
  uint64_t sec;
  uint64_t nsec;
} rmw_time_t;

typedef int64_t rmw_time_point_value_t;
typedef int64_t rmw_duration_t;

#define RMW_DURATION_INFINITE \
  {                           \
    9223372036LL, 854775807LL \
  }
#define RMW_DURATION_UNSPECIFIED \
  {                              \
    0LL, 0LL                     \
  }

#ifdef __cplusplus
}
#endif
