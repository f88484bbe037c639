// Host stand-in for rcl/types.h (ROS 2 Humble): the return codes that rclcpp exceptions carry.
// Differs from Humble: only the codes the host stand-in can produce.
#pragma once

#include "rcutils/types.h"

typedef rcutils_ret_t rcl_ret_t;
#define RCL_RET_OK 0
#define RCL_RET_ERROR 1
#define RCL_RET_TIMEOUT 2
#define RCL_RET_BAD_ALLOC 10
#define RCL_RET_INVALID_ARGUMENT 11
#define RCL_RET_ALREADY_INIT 100
#define RCL_RET_NOT_INIT 101
#define RCL_RET_ALREADY_SHUTDOWN 104
#define RCL_RET_NODE_INVALID 200
#define RCL_RET_NODE_INVALID_NAME 201
#define RCL_RET_NODE_INVALID_NAMESPACE 202
#define RCL_RET_TOPIC_NAME_INVALID 103
#define RCL_RET_INVALID_REMAP_RULE 1001
#define RCL_RET_WRONG_LEXEME 1002
#define RCL_RET_INVALID_ROS_ARGS 1003
#define RCL_RET_INVALID_PARAM_RULE 1010
#define RCL_RET_INVALID_LOG_LEVEL_RULE 1020
