// Host stand-in for rosidl_runtime_cpp/message_initialization.hpp (ROS 2 Humble).
// Same enum; the host message structs accept it and always initialise every field (ALL).
#pragma once

namespace rosidl_runtime_cpp
{
enum class MessageInitialization { ALL, SKIP, ZERO, DEFAULTS_ONLY };
}  // namespace rosidl_runtime_cpp
