// Host stand-in for rcl/time.h (ROS 2 Humble rcl 5.3): clock type enum, time point and duration
// structs. Differs from Humble: rcl_clock_t only records its type (no jump callbacks, no ROS time
// override), and the rcl_clock_* functions are not provided (rclcpp::Clock does the work).
#pragma once

#include <stdbool.h>

#include "rcutils/time.h"

#ifdef __cplusplus
extern "C" {
#endif

#define RCL_S_TO_NS RCUTILS_S_TO_NS
#define RCL_MS_TO_NS RCUTILS_MS_TO_NS
#define RCL_US_TO_NS RCUTILS_US_TO_NS
#define RCL_NS_TO_S RCUTILS_NS_TO_S
#define RCL_NS_TO_MS RCUTILS_NS_TO_MS
#define RCL_NS_TO_US RCUTILS_NS_TO_US

typedef rcutils_time_point_value_t rcl_time_point_value_t;
typedef rcutils_duration_value_t rcl_duration_value_t;

typedef enum rcl_clock_type_e {
  RCL_CLOCK_UNINITIALIZED = 0,
  RCL_ROS_TIME,
  RCL_SYSTEM_TIME,
  RCL_STEADY_TIME
} rcl_clock_type_t;

typedef struct rcl_duration_s
{
  rcl_duration_value_t nanoseconds;
} rcl_duration_t;

typedef struct rcl_time_point_s
{
  rcl_time_point_value_t nanoseconds;
  rcl_clock_type_t clock_type;
} rcl_time_point_t;

typedef struct rcl_clock_s
{
  rcl_clock_type_t type;
} rcl_clock_t;

#ifdef __cplusplus
}
#endif
