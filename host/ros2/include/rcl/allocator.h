// Host stand-in for rcl/allocator.h (ROS 2 Humble): rcl's allocator is rcutils' allocator.
#pragma once

#include "rcutils/allocator.h"

typedef rcutils_allocator_t rcl_allocator_t;
#define rcl_get_default_allocator rcutils_get_default_allocator
