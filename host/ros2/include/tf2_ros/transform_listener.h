// Host stand-in for tf2_ros/transform_listener.h (ROS 2 Humble, geometry2 0.25.x): subscribes
// to "/tf" (DynamicListenerQoS) and "/tf_static" (StaticListenerQoS, transient local) and feeds
// every transform to buffer.setTransform(t, "Authority undetectable", is_static); a
// tf2::TransformException from there is logged, not propagated. With spin_thread the two
// subscriptions live in their own callback group, spun by a private SingleThreadedExecutor on
// a dedicated thread, and the buffer is told it has a dedicated thread. The destructor stops
// and joins that thread before returning. The buffer is held by reference and must outlive the
// listener.
// Differs from Humble:
//  - without a node, the hidden node is created directly under the name
//    transform_listener_impl_<hex> (Humble remaps "_" with --ros-args -r __node:=..., and the
//    host graph does not remap);
//  - the node may be anything with Node's members (raw or shared pointer to rclcpp::Node or a
//    subclass); Humble takes node interfaces;
//  - the default subscription options declare no qos_overrides.* parameters;
//  - the destructor keeps cancelling until the spin thread has returned, so a listener
//    destroyed right after construction cannot leave the thread spinning.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/executors.hpp"
#include "rclcpp/logger.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription.hpp"
#include "rclcpp/subscription_options.hpp"
#include "tf2/buffer_core.h"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros
{
namespace detail
{
template <class AllocatorT = std::allocator<void>>
rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> get_default_transform_listener_sub_options()
{
  return rclcpp::SubscriptionOptionsWithAllocator<AllocatorT>();
}

template <class AllocatorT = std::allocator<void>>
rclcpp::SubscriptionOptionsWithAllocator<AllocatorT>
get_default_transform_listener_static_sub_options()
{
  return rclcpp::SubscriptionOptionsWithAllocator<AllocatorT>();
}
}  // namespace detail

class TransformListener
{
public:
  /// Creates its own hidden node; `spin_thread` should stay true, as nothing else spins it.
  explicit TransformListener(tf2::BufferCore & buffer, bool spin_thread = true);

  /// Listens through `node` (raw or shared pointer). With spin_thread the callbacks run on the
  /// listener's own thread; without, on whatever spins `node`.
  template <class NodeT, class AllocatorT = std::allocator<void>>
  TransformListener(tf2::BufferCore & buffer, NodeT && node, bool spin_thread = true,
                    const rclcpp::QoS & qos = DynamicListenerQoS(),
                    const rclcpp::QoS & static_qos = StaticListenerQoS(),
                    const rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> & options =
                        detail::get_default_transform_listener_sub_options<AllocatorT>(),
                    const rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> & static_options =
                        detail::get_default_transform_listener_static_sub_options<AllocatorT>())
      : buffer_(buffer), logger_(node->get_logger())
  {
    init(node, spin_thread, qos, static_qos, options, static_options);
  }

  virtual ~TransformListener();

  TransformListener(const TransformListener &) = delete;
  TransformListener & operator=(const TransformListener &) = delete;

private:
  using Callback = std::function<void(const tf2_msgs::msg::TFMessage::ConstSharedPtr &)>;

  template <class NodeT, class AllocatorT>
  void init(NodeT & node, bool spin_thread, const rclcpp::QoS & qos, const rclcpp::QoS & static_qos,
            const rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> & options,
            const rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> & static_options)
  {
    spin_thread_ = spin_thread;
    Callback cb = [this](const tf2_msgs::msg::TFMessage::ConstSharedPtr & msg) {
      subscription_callback(msg, false);
    };
    Callback static_cb = [this](const tf2_msgs::msg::TFMessage::ConstSharedPtr & msg) {
      subscription_callback(msg, true);
    };

    if (spin_thread_) {
      callback_group_ =
          node->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive, false);
      auto tf_options = options;
      auto tf_static_options = static_options;
      tf_options.callback_group = callback_group_;
      tf_static_options.callback_group = callback_group_;
      message_subscription_tf_ = node->template create_subscription<tf2_msgs::msg::TFMessage>(
          "/tf", qos, std::move(cb), tf_options);
      message_subscription_tf_static_ =
          node->template create_subscription<tf2_msgs::msg::TFMessage>(
              "/tf_static", static_qos, std::move(static_cb), tf_static_options);
      start_dedicated_thread(node->get_node_base_interface());
    } else {
      message_subscription_tf_ = node->template create_subscription<tf2_msgs::msg::TFMessage>(
          "/tf", qos, std::move(cb), options);
      message_subscription_tf_static_ =
          node->template create_subscription<tf2_msgs::msg::TFMessage>(
              "/tf_static", static_qos, std::move(static_cb), static_options);
    }
  }

  void start_dedicated_thread(
      const rclcpp::node_interfaces::NodeBaseInterface::SharedPtr & node_base);
  void subscription_callback(const tf2_msgs::msg::TFMessage::ConstSharedPtr & msg, bool is_static);

  // Declared first so that it is destroyed last, after everything that uses it.
  rclcpp::Node::SharedPtr optional_default_node_ = nullptr;
  tf2::BufferCore & buffer_;
  rclcpp::Logger logger_;
  bool spin_thread_{false};
  rclcpp::CallbackGroup::SharedPtr callback_group_{nullptr};
  rclcpp::Subscription<tf2_msgs::msg::TFMessage>::SharedPtr message_subscription_tf_{nullptr};
  rclcpp::Subscription<tf2_msgs::msg::TFMessage>::SharedPtr message_subscription_tf_static_{
      nullptr};
  rclcpp::executors::SingleThreadedExecutor::SharedPtr executor_{nullptr};
  std::thread dedicated_listener_thread_;
  // Set by the spin thread (release) when spin() has returned; read by the destructor
  // (acquire) to know when cancelling has taken effect.
  std::atomic<bool> spin_finished_{false};
};
}  // namespace tf2_ros
