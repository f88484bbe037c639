// rclcpp::Duration, rclcpp::Time and rclcpp::Clock for the host stand-in.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

#include "rclcpp/clock.hpp"
#include "rclcpp/duration.hpp"
#include "rclcpp/time.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp
{
namespace
{
constexpr int64_t kNsPerSecond = 1000000000LL;

// Floors to whole seconds so that nanosec is always in [0, 1e9), as rclcpp does.
template <typename MsgT>
MsgT to_msg(int64_t ns)
{
  MsgT msg;
  const auto result = std::div(static_cast<long long>(ns), static_cast<long long>(kNsPerSecond));
  if (result.rem >= 0) {
    msg.sec = static_cast<int32_t>(result.quot);
    msg.nanosec = static_cast<uint32_t>(result.rem);
  } else {
    msg.sec = static_cast<int32_t>(result.quot - 1);
    msg.nanosec = static_cast<uint32_t>(kNsPerSecond + result.rem);
  }
  return msg;
}
}  // namespace

// ---- Duration ----

Duration::Duration(int32_t seconds, uint32_t nanoseconds)
{
  rcl_duration_.nanoseconds =
      RCL_S_TO_NS(static_cast<int64_t>(seconds)) + static_cast<int64_t>(nanoseconds);
}

Duration::Duration(std::chrono::nanoseconds nanoseconds)
{
  rcl_duration_.nanoseconds = nanoseconds.count();
}

Duration::Duration(const builtin_interfaces::msg::Duration & duration_msg)
    : Duration(duration_msg.sec, duration_msg.nanosec)
{
}

Duration::Duration(const rcl_duration_t & duration) : rcl_duration_(duration) {}

Duration::Duration(const Duration & rhs) = default;

Duration::operator builtin_interfaces::msg::Duration() const
{
  return to_msg<builtin_interfaces::msg::Duration>(rcl_duration_.nanoseconds);
}

Duration & Duration::operator=(const Duration & rhs) = default;

Duration & Duration::operator=(const builtin_interfaces::msg::Duration & duration_msg)
{
  *this = Duration(duration_msg);
  return *this;
}

bool Duration::operator==(const Duration & rhs) const
{
  return rcl_duration_.nanoseconds == rhs.rcl_duration_.nanoseconds;
}
bool Duration::operator!=(const Duration & rhs) const { return !(*this == rhs); }
bool Duration::operator<(const Duration & rhs) const
{
  return rcl_duration_.nanoseconds < rhs.rcl_duration_.nanoseconds;
}
bool Duration::operator<=(const Duration & rhs) const
{
  return rcl_duration_.nanoseconds <= rhs.rcl_duration_.nanoseconds;
}
bool Duration::operator>=(const Duration & rhs) const
{
  return rcl_duration_.nanoseconds >= rhs.rcl_duration_.nanoseconds;
}
bool Duration::operator>(const Duration & rhs) const
{
  return rcl_duration_.nanoseconds > rhs.rcl_duration_.nanoseconds;
}

Duration Duration::operator+(const Duration & rhs) const
{
  if (add_will_overflow(rcl_duration_.nanoseconds, rhs.rcl_duration_.nanoseconds)) {
    throw std::overflow_error("addition leads to int64_t overflow");
  }
  if (add_will_underflow(rcl_duration_.nanoseconds, rhs.rcl_duration_.nanoseconds)) {
    throw std::underflow_error("addition leads to int64_t underflow");
  }
  return Duration::from_nanoseconds(rcl_duration_.nanoseconds + rhs.rcl_duration_.nanoseconds);
}

Duration & Duration::operator+=(const Duration & rhs)
{
  *this = *this + rhs;
  return *this;
}

Duration Duration::operator-(const Duration & rhs) const
{
  if (sub_will_overflow(rcl_duration_.nanoseconds, rhs.rcl_duration_.nanoseconds)) {
    throw std::overflow_error("duration subtraction leads to int64_t overflow");
  }
  if (sub_will_underflow(rcl_duration_.nanoseconds, rhs.rcl_duration_.nanoseconds)) {
    throw std::underflow_error("duration subtraction leads to int64_t underflow");
  }
  return Duration::from_nanoseconds(rcl_duration_.nanoseconds - rhs.rcl_duration_.nanoseconds);
}

Duration & Duration::operator-=(const Duration & rhs)
{
  *this = *this - rhs;
  return *this;
}

Duration Duration::operator*(double scale) const
{
  if (!std::isfinite(scale)) {
    throw std::runtime_error("abnormal scale in rclcpp::Duration");
  }
  const long double scaled = static_cast<long double>(rcl_duration_.nanoseconds) * scale;
  if (scaled > static_cast<long double>(std::numeric_limits<int64_t>::max())) {
    throw std::overflow_error("duration scaling leads to int64_t overflow");
  }
  if (scaled < static_cast<long double>(std::numeric_limits<int64_t>::min())) {
    throw std::underflow_error("duration scaling leads to int64_t underflow");
  }
  return Duration::from_nanoseconds(static_cast<rcl_duration_value_t>(scaled));
}

Duration & Duration::operator*=(double scale)
{
  *this = *this * scale;
  return *this;
}

Duration Duration::max() { return Duration(std::numeric_limits<int32_t>::max(), 999999999); }

rcl_duration_value_t Duration::nanoseconds() const { return rcl_duration_.nanoseconds; }

double Duration::seconds() const
{
  return std::chrono::duration<double>(std::chrono::nanoseconds(rcl_duration_.nanoseconds)).count();
}

Duration Duration::from_seconds(double seconds)
{
  Duration ret;
  ret.rcl_duration_.nanoseconds = static_cast<rcl_duration_value_t>(RCL_S_TO_NS(seconds));
  return ret;
}

Duration Duration::from_nanoseconds(rcl_duration_value_t nanoseconds)
{
  Duration ret;
  ret.rcl_duration_.nanoseconds = nanoseconds;
  return ret;
}

Duration Duration::from_rmw_time(rmw_time_t duration)
{
  Duration ret;
  constexpr auto kMaxSeconds =
      static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / kNsPerSecond);
  if (duration.sec > kMaxSeconds ||
      static_cast<int64_t>(duration.nsec) >
          std::numeric_limits<int64_t>::max() - static_cast<int64_t>(duration.sec) * kNsPerSecond) {
    ret.rcl_duration_.nanoseconds = std::numeric_limits<int64_t>::max();
  } else {
    ret.rcl_duration_.nanoseconds =
        static_cast<int64_t>(duration.sec) * kNsPerSecond + static_cast<int64_t>(duration.nsec);
  }
  return ret;
}

rmw_time_t Duration::to_rmw_time() const
{
  if (rcl_duration_.nanoseconds < 0) {
    throw std::runtime_error("rmw_time_t cannot be negative");
  }
  rmw_time_t result;
  result.sec = static_cast<uint64_t>(rcl_duration_.nanoseconds / kNsPerSecond);
  result.nsec = static_cast<uint64_t>(rcl_duration_.nanoseconds % kNsPerSecond);
  return result;
}

// ---- Time ----

Time::Time(int32_t seconds, uint32_t nanoseconds, rcl_clock_type_t clock_type)
{
  if (seconds < 0) {
    throw std::runtime_error("cannot store a negative time point in rclcpp::Time");
  }
  rcl_time_.clock_type = clock_type;
  rcl_time_.nanoseconds =
      RCL_S_TO_NS(static_cast<int64_t>(seconds)) + static_cast<int64_t>(nanoseconds);
}

Time::Time(int64_t nanoseconds, rcl_clock_type_t clock_type)
{
  rcl_time_.nanoseconds = nanoseconds;
  rcl_time_.clock_type = clock_type;
}

Time::Time(const Time & rhs) = default;

Time::Time(const builtin_interfaces::msg::Time & time_msg, rcl_clock_type_t clock_type)
{
  if (time_msg.sec < 0) {
    throw std::runtime_error("cannot store a negative time point in rclcpp::Time");
  }
  rcl_time_.clock_type = clock_type;
  rcl_time_.nanoseconds =
      RCL_S_TO_NS(static_cast<int64_t>(time_msg.sec)) + static_cast<int64_t>(time_msg.nanosec);
}

Time::Time(const rcl_time_point_t & time_point) : rcl_time_(time_point) {}

Time::~Time() = default;

Time::operator builtin_interfaces::msg::Time() const
{
  return to_msg<builtin_interfaces::msg::Time>(rcl_time_.nanoseconds);
}

Time & Time::operator=(const Time & rhs) = default;

Time & Time::operator=(const builtin_interfaces::msg::Time & time_msg)
{
  *this = Time(time_msg);
  return *this;
}

namespace
{
void require_same_source(const rcl_time_point_t & a, const rcl_time_point_t & b)
{
  if (a.clock_type != b.clock_type) {
    throw std::runtime_error("can't compare times with different time sources");
  }
}
}  // namespace

bool Time::operator==(const Time & rhs) const
{
  require_same_source(rcl_time_, rhs.rcl_time_);
  return rcl_time_.nanoseconds == rhs.rcl_time_.nanoseconds;
}
bool Time::operator!=(const Time & rhs) const { return !(*this == rhs); }
bool Time::operator<(const Time & rhs) const
{
  require_same_source(rcl_time_, rhs.rcl_time_);
  return rcl_time_.nanoseconds < rhs.rcl_time_.nanoseconds;
}
bool Time::operator<=(const Time & rhs) const
{
  require_same_source(rcl_time_, rhs.rcl_time_);
  return rcl_time_.nanoseconds <= rhs.rcl_time_.nanoseconds;
}
bool Time::operator>=(const Time & rhs) const
{
  require_same_source(rcl_time_, rhs.rcl_time_);
  return rcl_time_.nanoseconds >= rhs.rcl_time_.nanoseconds;
}
bool Time::operator>(const Time & rhs) const
{
  require_same_source(rcl_time_, rhs.rcl_time_);
  return rcl_time_.nanoseconds > rhs.rcl_time_.nanoseconds;
}

Time Time::operator+(const Duration & rhs) const
{
  if (add_will_overflow(rhs.nanoseconds(), nanoseconds())) {
    throw std::overflow_error("addition leads to int64_t overflow");
  }
  if (add_will_underflow(rhs.nanoseconds(), nanoseconds())) {
    throw std::underflow_error("addition leads to int64_t underflow");
  }
  return Time(nanoseconds() + rhs.nanoseconds(), get_clock_type());
}

Duration Time::operator-(const Time & rhs) const
{
  if (rcl_time_.clock_type != rhs.rcl_time_.clock_type) {
    throw std::runtime_error(std::string("can't subtract times with different time sources [") +
                             std::to_string(rcl_time_.clock_type) +
                             " != " + std::to_string(rhs.rcl_time_.clock_type) + "]");
  }
  if (sub_will_overflow(rcl_time_.nanoseconds, rhs.rcl_time_.nanoseconds)) {
    throw std::overflow_error("time subtraction leads to int64_t overflow");
  }
  if (sub_will_underflow(rcl_time_.nanoseconds, rhs.rcl_time_.nanoseconds)) {
    throw std::underflow_error("time subtraction leads to int64_t underflow");
  }
  return Duration::from_nanoseconds(rcl_time_.nanoseconds - rhs.rcl_time_.nanoseconds);
}

Time Time::operator-(const Duration & rhs) const
{
  if (sub_will_overflow(rcl_time_.nanoseconds, rhs.nanoseconds())) {
    throw std::overflow_error("time subtraction leads to int64_t overflow");
  }
  if (sub_will_underflow(rcl_time_.nanoseconds, rhs.nanoseconds())) {
    throw std::underflow_error("time subtraction leads to int64_t underflow");
  }
  return Time(rcl_time_.nanoseconds - rhs.nanoseconds(), rcl_time_.clock_type);
}

Time & Time::operator+=(const Duration & rhs)
{
  *this = *this + rhs;
  return *this;
}

Time & Time::operator-=(const Duration & rhs)
{
  *this = *this - rhs;
  return *this;
}

rcl_time_point_value_t Time::nanoseconds() const { return rcl_time_.nanoseconds; }

Time Time::max(rcl_clock_type_t clock_type)
{
  return Time(std::numeric_limits<int32_t>::max(), 999999999, clock_type);
}

double Time::seconds() const
{
  return std::chrono::duration<double>(std::chrono::nanoseconds(rcl_time_.nanoseconds)).count();
}

rcl_clock_type_t Time::get_clock_type() const { return rcl_time_.clock_type; }

Time operator+(const Duration & lhs, const Time & rhs)
{
  if (add_will_overflow(rhs.nanoseconds(), lhs.nanoseconds())) {
    throw std::overflow_error("addition leads to int64_t overflow");
  }
  if (add_will_underflow(rhs.nanoseconds(), lhs.nanoseconds())) {
    throw std::underflow_error("addition leads to int64_t underflow");
  }
  return Time(lhs.nanoseconds() + rhs.nanoseconds(), rhs.get_clock_type());
}

// ---- Clock ----

Clock::Clock(rcl_clock_type_t clock_type)
{
  if (clock_type == RCL_CLOCK_UNINITIALIZED) {
    throw std::invalid_argument("could not get current time stamp: clock is uninitialized");
  }
  rcl_clock_.type = clock_type;
}

Clock::~Clock() = default;

Time Clock::now()
{
  int64_t ns = 0;
  if (rcl_clock_.type == RCL_STEADY_TIME) {
    ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count();
  } else {
    // RCL_ROS_TIME without simulated time reads the system clock, as rcl does.
    ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
             .count();
  }
  return Time(ns, rcl_clock_.type);
}

bool Clock::sleep_until(Time until, Context::SharedPtr context)
{
  if (!context || !context->is_valid()) {
    throw std::runtime_error("context cannot be slept with because it's invalid");
  }
  if (until.get_clock_type() != rcl_clock_.type) {
    throw std::runtime_error("until's clock type does not match this clock's type");
  }
  while (context->is_valid()) {
    const Time current = now();
    if (current >= until) {
      return true;
    }
    context->sleep_for(std::chrono::nanoseconds((until - current).nanoseconds()));
  }
  return false;
}

bool Clock::sleep_for(Duration rel_time, Context::SharedPtr context)
{
  return sleep_until(now() + rel_time, context);
}
}  // namespace rclcpp
