// Host stand-in for rclcpp/timer.hpp (ROS 2 Humble rclcpp 16.0): TimerBase (cancel,
// is_canceled, reset, time_until_trigger, is_ready), GenericTimer and WallTimer accepting
// void() or void(TimerBase &) callbacks. Scheduling follows rcl_timer_call: the next deadline
// advances by one period from the previous deadline and, when that is already past, jumps to
// the next period boundary after now, so a late tick is followed by at most one immediate tick.
// Differs from Humble: timers read std::chrono::steady_clock directly (no rcl_timer_t handle).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "rclcpp/clock.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{
namespace detail
{
class WakeSet;
}

class TimerBase
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(TimerBase)

  TimerBase(Clock::SharedPtr clock, std::chrono::nanoseconds period,
            rclcpp::Context::SharedPtr context);
  TimerBase(const TimerBase &) = delete;
  TimerBase & operator=(const TimerBase &) = delete;
  virtual ~TimerBase();

  /// Stops the timer until reset(). Any thread.
  void cancel();
  bool is_canceled();
  /// Restarts the period from now and un-cancels. Any thread.
  void reset();

  /// Advances the deadline (rcl_timer_call); false when canceled. Executor thread.
  bool call();
  virtual void execute_callback() = 0;
  virtual bool is_steady() = 0;

  Clock::SharedPtr get_clock() { return clock_; }
  /// Time left until the next tick; nanoseconds::max() when canceled.
  std::chrono::nanoseconds time_until_trigger();
  bool is_ready();

  std::atomic<bool> & exchange_in_use_by_wait_set_state_flag() { return in_use_by_wait_set_; }
  bool exchange_in_use_by_wait_set_state(bool in_use_state)
  {
    return in_use_by_wait_set_.exchange(in_use_state);
  }

  // Host-only: the executors to wake when reset() moves the deadline.
  void host_set_wake_set(std::shared_ptr<detail::WakeSet> wake_set);

protected:
  static int64_t steady_now_ns();

  Clock::SharedPtr clock_;
  int64_t period_ns_;
  std::atomic<int64_t> next_call_ns_;
  std::atomic<bool> canceled_{false};
  std::atomic<bool> in_use_by_wait_set_{false};
  std::shared_ptr<detail::WakeSet> wake_set_;
};

using VoidCallbackType = std::function<void()>;
using TimerCallbackType = std::function<void(TimerBase &)>;

template <typename FunctorT>
struct is_timer_callback
    : std::integral_constant<bool, std::is_invocable_r<void, FunctorT &>::value ||
                                       std::is_invocable_r<void, FunctorT &, TimerBase &>::value>
{
};

template <typename FunctorT,
          typename std::enable_if<is_timer_callback<FunctorT>::value>::type * = nullptr>
class GenericTimer : public TimerBase
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(GenericTimer)

  GenericTimer(Clock::SharedPtr clock, std::chrono::nanoseconds period, FunctorT && callback,
               rclcpp::Context::SharedPtr context)
      : TimerBase(std::move(clock), period, std::move(context)),
        callback_(std::forward<FunctorT>(callback))
  {
  }

  void execute_callback() override
  {
    if constexpr (std::is_invocable_r<void, FunctorT &, TimerBase &>::value) {
      callback_(*this);
    } else {
      callback_();
    }
  }

  bool is_steady() override { return clock_->get_clock_type() == RCL_STEADY_TIME; }

protected:
  FunctorT callback_;
};

template <typename FunctorT,
          typename std::enable_if<is_timer_callback<FunctorT>::value>::type * = nullptr>
class WallTimer : public GenericTimer<FunctorT>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(WallTimer)

  WallTimer(std::chrono::nanoseconds period, FunctorT && callback,
            rclcpp::Context::SharedPtr context)
      : GenericTimer<FunctorT>(std::make_shared<Clock>(RCL_STEADY_TIME), period,
                               std::forward<FunctorT>(callback), std::move(context))
  {
  }
};
}  // namespace rclcpp
