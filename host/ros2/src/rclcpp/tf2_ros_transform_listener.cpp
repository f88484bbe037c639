// Feeds a tf2 buffer from /tf and /tf_static, on a thread of its own when asked to.
#include "tf2_ros/transform_listener.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <exception>

#include "rclcpp/logging.hpp"

namespace tf2_ros
{
namespace
{
rclcpp::Node::SharedPtr make_default_node(const void * listener)
{
  // Unique per listener, as in Humble (the address in hex).
  char node_name[48];
  std::snprintf(node_name, sizeof(node_name), "transform_listener_impl_%" PRIxPTR,
                reinterpret_cast<uintptr_t>(listener));
  rclcpp::NodeOptions options;
  options.start_parameter_event_publisher(false);
  options.start_parameter_services(false);
  return rclcpp::Node::make_shared(node_name, options);
}
}  // namespace

TransformListener::TransformListener(tf2::BufferCore & buffer, bool spin_thread)
    : optional_default_node_(make_default_node(this)),
      buffer_(buffer),
      logger_(optional_default_node_->get_logger())
{
  init(optional_default_node_, spin_thread, DynamicListenerQoS(), StaticListenerQoS(),
       detail::get_default_transform_listener_sub_options(),
       detail::get_default_transform_listener_static_sub_options());
}

TransformListener::~TransformListener()
{
  if (spin_thread_ && dedicated_listener_thread_.joinable()) {
    // The thread may not have entered spin() yet, and a cancel() that comes first is lost, so
    // cancel until spin() has actually returned.
    while (!spin_finished_.load(std::memory_order_acquire)) {
      executor_->cancel();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    dedicated_listener_thread_.join();
  }
}

void TransformListener::start_dedicated_thread(
    const rclcpp::node_interfaces::NodeBaseInterface::SharedPtr & node_base)
{
  executor_ = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
  executor_->add_callback_group(callback_group_, node_base);
  dedicated_listener_thread_ = std::thread([this]() {
    try {
      executor_->spin();
    } catch (const std::exception & e) {
      RCLCPP_ERROR(logger_, "Transform listener thread stopped: %s", e.what());
    }
    spin_finished_.store(true, std::memory_order_release);
  });
  // Timed lookups on the buffer may now wait for this thread.
  buffer_.setUsingDedicatedThread(true);
}

void TransformListener::subscription_callback(const tf2_msgs::msg::TFMessage::ConstSharedPtr & msg,
                                              bool is_static)
{
  const std::string authority = "Authority undetectable";
  for (const auto & transform : msg->transforms) {
    try {
      buffer_.setTransform(transform, authority, is_static);
    } catch (const tf2::TransformException & ex) {
      RCLCPP_ERROR(logger_, "Failure to set received transform from %s to %s with error: %s\n",
                   transform.child_frame_id.c_str(), transform.header.frame_id.c_str(), ex.what());
    }
  }
}
}  // namespace tf2_ros
