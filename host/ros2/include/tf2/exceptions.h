// Host stand-in for tf2/exceptions.h (ROS 2 Humble, geometry2 0.25.x): TF2Error and the
// exception classes, all derived from tf2::TransformException : std::runtime_error.
// Differs from Humble: the deprecated unprefixed TF2Error aliases (NO_ERROR, ...) are left out
// because they collide with common macros; Humble has no ExtrapolationException subclasses,
// and neither has this.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tf2
{
enum class TF2Error : std::uint8_t {
  TF2_NO_ERROR = 0,
  TF2_LOOKUP_ERROR = 1,
  TF2_CONNECTIVITY_ERROR = 2,
  TF2_EXTRAPOLATION_ERROR = 3,
  TF2_INVALID_ARGUMENT_ERROR = 4,
  TF2_TIMEOUT_ERROR = 5,
  TF2_TRANSFORM_ERROR = 6
};

/// Base of every tf2 error; catch this to handle all of them.
class TransformException : public std::runtime_error
{
public:
  explicit TransformException(const std::string errorDescription)
      : std::runtime_error(errorDescription)
  {
  }
};

/// The frames exist but are not in the same tree.
class ConnectivityException : public TransformException
{
public:
  explicit ConnectivityException(const std::string errorDescription)
      : tf2::TransformException(errorDescription)
  {
  }
};

/// A frame is unknown to the buffer (or the tree contains a loop).
class LookupException : public TransformException
{
public:
  explicit LookupException(const std::string errorDescription)
      : tf2::TransformException(errorDescription)
  {
  }
};

/// The requested time lies outside the buffered data of some link.
class ExtrapolationException : public TransformException
{
public:
  explicit ExtrapolationException(const std::string errorDescription)
      : tf2::TransformException(errorDescription)
  {
  }
};

/// A malformed argument, such as an empty frame id or one that starts with '/'.
class InvalidArgumentException : public TransformException
{
public:
  explicit InvalidArgumentException(const std::string errorDescription)
      : tf2::TransformException(errorDescription)
  {
  }
};

/// A wait for a transform ran out of time.
class TimeoutException : public TransformException
{
public:
  explicit TimeoutException(const std::string errorDescription)
      : tf2::TransformException(errorDescription)
  {
  }
};
}  // namespace tf2
