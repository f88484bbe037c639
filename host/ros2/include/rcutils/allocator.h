// Host stand-in for rcutils/allocator.h (ROS 2 Humble): see rcutils/types.h.
#pragma once

#include "rcutils/types.h"
