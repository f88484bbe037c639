// Host stand-in for rclcpp/utilities.hpp (ROS 2 Humble rclcpp 16.0): init/shutdown/ok,
// on_shutdown, sleep_for, signal handler installation and ROS argument removal.
// ROS arguments understood inside "--ros-args ... [--]": -p/--param [node:]name:=value,
// --params-file FILE, --log-level LEVEL and --log-level name:=LEVEL, and (accepted, ignored)
// -e/--enclave, --log-config-file, --{enable,disable}-{stdout,rosout,external-lib}-logs.
// Differs from Humble: remapping (-r/--remap) is refused with RCLInvalidROSArgsError because
// the host graph does not remap names; other unknown ROS arguments throw UnknownROSArgsError
// as in Humble.
#pragma once

#include <chrono>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "rclcpp/context.hpp"
#include "rclcpp/init_options.hpp"

namespace rclcpp
{
enum class SignalHandlerOptions {
  All,
  SigInt,
  SigTerm,
  None,
};

/// Initialises the global default context; installs SIGINT/SIGTERM handlers as requested.
void init(int argc, char const * const * argv, const InitOptions & init_options = InitOptions(),
          SignalHandlerOptions signal_handler_options = SignalHandlerOptions::All);

bool install_signal_handlers(
    SignalHandlerOptions signal_handler_options = SignalHandlerOptions::All);
bool signal_handlers_installed();
SignalHandlerOptions get_current_signal_handler_options();
bool uninstall_signal_handlers();

std::vector<std::string> init_and_remove_ros_arguments(
    int argc, char const * const * argv, const InitOptions & init_options = InitOptions());
std::vector<std::string> remove_ros_arguments(int argc, char const * const * argv);

bool ok(rclcpp::Context::SharedPtr context = nullptr);

/// Shuts the context down (default: the global one, which also uninstalls the signal
/// handlers). False when it was already shut down, e.g. by a signal.
bool shutdown(rclcpp::Context::SharedPtr context = nullptr,
              const std::string & reason = "user called rclcpp::shutdown()");

void on_shutdown(std::function<void()> callback, rclcpp::Context::SharedPtr context = nullptr);

bool sleep_for(const std::chrono::nanoseconds & nanoseconds,
               rclcpp::Context::SharedPtr context = nullptr);

template <typename T>
bool add_will_overflow(const T x, const T y)
{
  return (y > 0) && (x > (std::numeric_limits<T>::max() - y));
}
template <typename T>
bool add_will_underflow(const T x, const T y)
{
  return (y < 0) && (x < (std::numeric_limits<T>::min() - y));
}
template <typename T>
bool sub_will_overflow(const T x, const T y)
{
  return (y < 0) && (x > (std::numeric_limits<T>::max() + y));
}
template <typename T>
bool sub_will_underflow(const T x, const T y)
{
  return (y > 0) && (x < (std::numeric_limits<T>::min() + y));
}

const char * get_c_string(const char * string_in);
const char * get_c_string(const std::string & string_in);
}  // namespace rclcpp
