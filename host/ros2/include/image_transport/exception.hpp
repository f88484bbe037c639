// Host stand-in for image_transport/exception.hpp (ROS 2 Humble, image_common 3.1.x).
// Differs from Humble: TransportLoadException keeps the transport name as a std::string
// (Humble stores a dangling const char *).
#pragma once

#include <stdexcept>
#include <string>

namespace image_transport
{
/// Base of image_transport's errors.
class Exception : public std::runtime_error
{
public:
  explicit Exception(const std::string & message) : std::runtime_error(message) {}
};

/// The plugin for a transport (e.g. "compressed") could not be loaded.
class TransportLoadException : public Exception
{
public:
  TransportLoadException(const std::string & transport, const std::string & message)
      : Exception("Unable to load plugin for transport '" + transport + "', error string:\n" +
                  message),
        transport_(transport)
  {
  }

  std::string getTransport() const { return transport_; }

protected:
  std::string transport_;
};
}  // namespace image_transport
