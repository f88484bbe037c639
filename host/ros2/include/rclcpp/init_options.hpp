// Host stand-in for rclcpp/init_options.hpp (ROS 2 Humble rclcpp 16.0): same members.
// Differs from Humble: the domain id is only stored (there is no DDS domain on the host).
#pragma once

#include <cstddef>

#include "rcl/allocator.h"

namespace rclcpp
{
class InitOptions
{
public:
  /// If true, SIGINT/SIGTERM shut down the context initialised with these options.
  bool shutdown_on_signal = true;

  explicit InitOptions(rcl_allocator_t allocator = rcl_get_default_allocator());
  InitOptions(const InitOptions & other);
  InitOptions & operator=(const InitOptions & other);
  virtual ~InitOptions();

  bool auto_initialize_logging() const { return initialize_logging_; }
  InitOptions & auto_initialize_logging(bool initialize_logging)
  {
    initialize_logging_ = initialize_logging;
    return *this;
  }
  void use_default_domain_id() { domain_id_ = 0; }
  void set_domain_id(size_t domain_id) { domain_id_ = domain_id; }
  size_t get_domain_id() const { return domain_id_; }

private:
  rcl_allocator_t allocator_;
  bool initialize_logging_ = true;
  size_t domain_id_ = 0;
};
}  // namespace rclcpp
