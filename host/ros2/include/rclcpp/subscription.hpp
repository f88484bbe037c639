// Host stand-in for rclcpp/subscription.hpp and any_subscription_callback.hpp (ROS 2 Humble
// rclcpp 16.0): Subscription<MessageT> accepting the Humble callback forms
//   void(const T &), void(std::unique_ptr<T>), void(std::shared_ptr<const T>),
//   void(const std::shared_ptr<const T> &), each optionally followed by
//   const rclcpp::MessageInfo &, and void(std::shared_ptr<T>) which compiles with a
//   deprecation warning as in Humble.
// Differs from Humble: the callable is matched by invocability rather than by
// rclcpp::function_traits, so a generic lambda is accepted (Humble rejects it); serialized
// message callbacks are not supported.
#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/message_info.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription_base.hpp"
#include "rclcpp/subscription_options.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

namespace rclcpp
{
namespace detail
{
template <typename CallbackT>
[[deprecated("use 'void(std::shared_ptr<const MessageT>)' instead")]] void
set_deprecated_shared_ptr_callback()
{
}

template <typename>
struct dependent_false : std::false_type
{
};

template <typename MessageT>
using HostSubscriptionCallback =
    std::function<void(const std::shared_ptr<const MessageT> &, const rclcpp::MessageInfo &)>;

/// Wraps a user callback of any supported form into one dispatch signature.
template <typename MessageT, typename CallbackT>
HostSubscriptionCallback<MessageT> make_subscription_callback(CallbackT && callback)
{
  using F = std::decay_t<CallbackT>;
  using ConstRef = const MessageT &;
  using ConstShared = std::shared_ptr<const MessageT>;
  using Unique = std::unique_ptr<MessageT>;
  using Shared = std::shared_ptr<MessageT>;
  using Info = const rclcpp::MessageInfo &;
  // Order matters: a callable taking std::shared_ptr<T> also accepts std::unique_ptr<T>&&.
  F cb(std::forward<CallbackT>(callback));
  if constexpr (std::is_invocable_v<F &, ConstRef>) {
    return [cb](const ConstShared & msg, Info) mutable { cb(*msg); };
  } else if constexpr (std::is_invocable_v<F &, ConstRef, Info>) {
    return [cb](const ConstShared & msg, Info info) mutable { cb(*msg, info); };
  } else if constexpr (std::is_invocable_v<F &, const ConstShared &>) {
    return [cb](const ConstShared & msg, Info) mutable { cb(msg); };
  } else if constexpr (std::is_invocable_v<F &, const ConstShared &, Info>) {
    return [cb](const ConstShared & msg, Info info) mutable { cb(msg, info); };
  } else if constexpr (std::is_invocable_v<F &, Shared>) {
    set_deprecated_shared_ptr_callback<CallbackT>();
    return [cb](const ConstShared & msg, Info) mutable { cb(std::make_shared<MessageT>(*msg)); };
  } else if constexpr (std::is_invocable_v<F &, Shared, Info>) {
    set_deprecated_shared_ptr_callback<CallbackT>();
    return [cb](const ConstShared & msg, Info info) mutable {
      cb(std::make_shared<MessageT>(*msg), info);
    };
  } else if constexpr (std::is_invocable_v<F &, Unique &&>) {
    return [cb](const ConstShared & msg, Info) mutable { cb(std::make_unique<MessageT>(*msg)); };
  } else if constexpr (std::is_invocable_v<F &, Unique &&, Info>) {
    return [cb](const ConstShared & msg, Info info) mutable {
      cb(std::make_unique<MessageT>(*msg), info);
    };
  } else {
    static_assert(dependent_false<CallbackT>::value,
                  "callback signature is not supported for this message type");
    return {};
  }
}
}  // namespace detail

template <typename MessageT, typename AllocatorT = std::allocator<void>>
class Subscription : public SubscriptionBase
{
public:
  static_assert(rosidl_generator_traits::is_message<MessageT>::value,
                "given message type is not compatible with ROS and cannot be used with a "
                "Subscription");

  using SubscribedType = MessageT;
  using ROSMessageType = MessageT;
  using MessageDeleter = std::default_delete<MessageT>;
  using ConstMessageSharedPtr = std::shared_ptr<const MessageT>;
  using MessageUniquePtr = std::unique_ptr<MessageT>;

  RCLCPP_SMART_PTR_DEFINITIONS(Subscription)

  /// `topic_name` must already be resolved.
  template <typename CallbackT>
  Subscription(rclcpp::node_interfaces::NodeBaseInterface * node_base,
               const std::string & topic_name, const rclcpp::QoS & qos, CallbackT && callback,
               const rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> & options,
               std::shared_ptr<detail::WakeSet> wake_set)
      : SubscriptionBase(node_base, topic_name, rosidl_generator_traits::name<MessageT>(), qos,
                         std::move(wake_set)),
        callback_(detail::make_subscription_callback<MessageT>(std::forward<CallbackT>(callback))),
        options_(options)
  {
    host_connect();
  }

  ~Subscription() override { host_disconnect(); }

protected:
  void host_dispatch(const std::shared_ptr<const void> & message,
                     const rmw_message_info_t & info) override
  {
    callback_(std::static_pointer_cast<const MessageT>(message), rclcpp::MessageInfo(info));
  }

private:
  detail::HostSubscriptionCallback<MessageT> callback_;
  rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> options_;
};
}  // namespace rclcpp
