// Host stand-in for tf2/time.h (ROS 2 Humble, geometry2 0.25.x): the same chrono aliases,
// TimePointZero and conversion helpers. Differs from Humble: none intended.
#pragma once

#include <chrono>
#include <string>

namespace tf2
{
using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::time_point<std::chrono::system_clock, Duration>;

using IDuration = std::chrono::duration<int, std::nano>;
// This is the zero time in ROS
static const TimePoint TimePointZero = TimePoint(IDuration::zero());

TimePoint get_now();

Duration durationFromSec(double t_sec);

TimePoint timeFromSec(double t_sec);

double durationToSec(const tf2::Duration & input);

double timeToSec(const TimePoint & timepoint);

/// Seconds with six decimals ("%.6f"), as used in tf2's error texts.
std::string displayTimePoint(const TimePoint & stamp);
}  // namespace tf2
