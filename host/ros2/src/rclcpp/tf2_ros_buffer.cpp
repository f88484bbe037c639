// Timed lookups for tf2_ros::Buffer: poll the core on the buffer's clock.
#include "tf2_ros/buffer.h"

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "rclcpp/logging.hpp"
#include "rclcpp/utilities.hpp"

namespace tf2_ros
{
namespace
{
constexpr std::chrono::milliseconds kPollPeriod{10};

void conditionally_append_timeout_info(std::string * errstr, const rclcpp::Time & start_time,
                                       const rclcpp::Time & current_time,
                                       const rclcpp::Duration & timeout)
{
  if (errstr) {
    std::stringstream ss;
    ss << ". canTransform returned after " << (current_time - start_time).seconds()
       << " timeout was " << timeout.seconds() << ".";
    (*errstr) += ss.str();
  }
}
}  // namespace

Buffer::Buffer(rclcpp::Clock::SharedPtr clock, tf2::Duration cache_time,
               rclcpp::Node::SharedPtr node)
    : BufferCore(cache_time), clock_(std::move(clock)), node_(std::move(node))
{
  if (nullptr == clock_) {
    throw std::invalid_argument("clock must be a valid instance");
  }
}

rclcpp::Logger Buffer::getLogger() const
{
  return node_ ? node_->get_logger() : rclcpp::get_logger("tf2_buffer");
}

bool Buffer::checkAndErrorDedicatedThreadPresent(std::string * errstr) const
{
  if (isUsingDedicatedThread()) {
    return true;
  }
  if (errstr) {
    *errstr = tf2_ros::threading_error;
  }
  RCLCPP_ERROR(getLogger(), "%s", tf2_ros::threading_error);
  return false;
}

geometry_msgs::msg::TransformStamped Buffer::lookupTransform(const std::string & target_frame,
                                                             const std::string & source_frame,
                                                             const tf2::TimePoint & time,
                                                             const tf2::Duration timeout) const
{
  // The error text is only wanted from the core lookup below.
  std::string error;
  canTransform(target_frame, source_frame, time, timeout, &error);
  return lookupTransform(target_frame, source_frame, time);
}

geometry_msgs::msg::TransformStamped Buffer::lookupTransform(const std::string & target_frame,
                                                             const std::string & source_frame,
                                                             const rclcpp::Time & time,
                                                             const rclcpp::Duration timeout) const
{
  return lookupTransform(target_frame, source_frame, fromRclcpp(time), fromRclcpp(timeout));
}

geometry_msgs::msg::TransformStamped Buffer::lookupTransform(const std::string & target_frame,
                                                             const tf2::TimePoint & target_time,
                                                             const std::string & source_frame,
                                                             const tf2::TimePoint & source_time,
                                                             const std::string & fixed_frame,
                                                             const tf2::Duration timeout) const
{
  std::string error;
  canTransform(target_frame, target_time, source_frame, source_time, fixed_frame, timeout, &error);
  return lookupTransform(target_frame, target_time, source_frame, source_time, fixed_frame);
}

geometry_msgs::msg::TransformStamped Buffer::lookupTransform(const std::string & target_frame,
                                                             const rclcpp::Time & target_time,
                                                             const std::string & source_frame,
                                                             const rclcpp::Time & source_time,
                                                             const std::string & fixed_frame,
                                                             const rclcpp::Duration timeout) const
{
  return lookupTransform(target_frame, fromRclcpp(target_time), source_frame,
                         fromRclcpp(source_time), fixed_frame, fromRclcpp(timeout));
}

bool Buffer::canTransform(const std::string & target_frame, const std::string & source_frame,
                          const tf2::TimePoint & time, const tf2::Duration timeout,
                          std::string * errstr) const
{
  if (!checkAndErrorDedicatedThreadPresent(errstr)) {
    return false;
  }
  const rclcpp::Time start_time = clock_->now();
  const rclcpp::Duration rclcpp_timeout(timeout);
  while (rclcpp::ok() && !canTransform(target_frame, source_frame, time, errstr) &&
         clock_->now() < start_time + rclcpp_timeout) {
    std::this_thread::sleep_for(kPollPeriod);
  }
  const bool retval = canTransform(target_frame, source_frame, time, errstr);
  conditionally_append_timeout_info(errstr, start_time, clock_->now(), rclcpp_timeout);
  return retval;
}

bool Buffer::canTransform(const std::string & target_frame, const std::string & source_frame,
                          const rclcpp::Time & time, const rclcpp::Duration timeout,
                          std::string * errstr) const
{
  return canTransform(target_frame, source_frame, fromRclcpp(time), fromRclcpp(timeout), errstr);
}

bool Buffer::canTransform(const std::string & target_frame, const tf2::TimePoint & target_time,
                          const std::string & source_frame, const tf2::TimePoint & source_time,
                          const std::string & fixed_frame, const tf2::Duration timeout,
                          std::string * errstr) const
{
  if (!checkAndErrorDedicatedThreadPresent(errstr)) {
    return false;
  }
  const rclcpp::Time start_time = clock_->now();
  const rclcpp::Duration rclcpp_timeout(timeout);
  while (rclcpp::ok() &&
         !canTransform(target_frame, target_time, source_frame, source_time, fixed_frame, errstr) &&
         clock_->now() < start_time + rclcpp_timeout) {
    std::this_thread::sleep_for(kPollPeriod);
  }
  const bool retval =
      canTransform(target_frame, target_time, source_frame, source_time, fixed_frame, errstr);
  conditionally_append_timeout_info(errstr, start_time, clock_->now(), rclcpp_timeout);
  return retval;
}

bool Buffer::canTransform(const std::string & target_frame, const rclcpp::Time & target_time,
                          const std::string & source_frame, const rclcpp::Time & source_time,
                          const std::string & fixed_frame, const rclcpp::Duration timeout,
                          std::string * errstr) const
{
  return canTransform(target_frame, fromRclcpp(target_time), source_frame, fromRclcpp(source_time),
                      fixed_frame, fromRclcpp(timeout), errstr);
}
}  // namespace tf2_ros
