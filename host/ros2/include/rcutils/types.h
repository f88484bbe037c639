// Host stand-in for rcutils/types/rcutils_ret.h and rcutils/allocator.h (ROS 2 Humble rcutils 5.1).
// Mirrors the return codes and the allocator struct that rcl and rclcpp signatures mention.
// Differs from Humble: one header instead of rcutils/types/*.h; the allocator wraps malloc/free.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int rcutils_ret_t;
#define RCUTILS_RET_OK 0
#define RCUTILS_RET_WARN 1
#define RCUTILS_RET_ERROR 2
#define RCUTILS_RET_BAD_ALLOC 10
#define RCUTILS_RET_INVALID_ARGUMENT 11
#define RCUTILS_RET_NOT_INITIALIZED 13
#define RCUTILS_RET_LOGGING_SEVERITY_STRING_INVALID 1001

typedef struct rcutils_allocator_s
{
  void * (*allocate)(size_t size, void * state);
  void (*deallocate)(void * pointer, void * state);
  void * (*reallocate)(void * pointer, size_t size, void * state);
  void * (*zero_allocate)(size_t number_of_elements, size_t size_of_element, void * state);
  void * state;
} rcutils_allocator_t;

rcutils_allocator_t rcutils_get_default_allocator(void);

#ifdef __cplusplus
}
#endif
