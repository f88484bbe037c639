// Host stand-in for rclcpp/publisher.hpp (ROS 2 Humble rclcpp 16.0): Publisher<MessageT> with
// publish(const T &) and publish(std::unique_ptr<T>) enabled only for rosidl messages of
// exactly MessageT, and no publish(std::shared_ptr<T>) overload, as in Humble. Publishing after
// the context shut down is silently ignored.
// Differs from Humble: no loaned, serialized or type-adapted publishing; every subscription
// receives a pointer to one shared, immutable copy of the message.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "rclcpp/macros.hpp"
#include "rclcpp/publisher_base.hpp"
#include "rclcpp/publisher_options.hpp"
#include "rclcpp/qos.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

namespace rclcpp
{
template <typename MessageT, typename AllocatorT = std::allocator<void>>
class Publisher : public PublisherBase
{
public:
  static_assert(
      rosidl_generator_traits::is_message<MessageT>::value,
      "given message type is not compatible with ROS and cannot be used with a Publisher");

  using PublishedType = MessageT;
  using ROSMessageType = MessageT;
  using ROSMessageTypeDeleter = std::default_delete<ROSMessageType>;
  using PublishedTypeDeleter = std::default_delete<PublishedType>;
  using MessageDeleter = ROSMessageTypeDeleter;

  RCLCPP_SMART_PTR_DEFINITIONS(Publisher<MessageT, AllocatorT>)

  Publisher(rclcpp::node_interfaces::NodeBaseInterface * node_base, const std::string & topic,
            const rclcpp::QoS & qos,
            const rclcpp::PublisherOptionsWithAllocator<AllocatorT> & options)
      : PublisherBase(node_base, topic, rosidl_generator_traits::name<MessageT>(), qos),
        options_(options)
  {
  }

  ~Publisher() override = default;

  template <typename T>
  std::enable_if_t<rosidl_generator_traits::is_message<T>::value &&
                   std::is_same<T, ROSMessageType>::value>
  publish(std::unique_ptr<T, ROSMessageTypeDeleter> msg)
  {
    std::shared_ptr<const T> shared(std::move(msg));
    this->do_publish(std::static_pointer_cast<const void>(shared));
  }

  template <typename T>
  std::enable_if_t<rosidl_generator_traits::is_message<T>::value &&
                   std::is_same<T, ROSMessageType>::value>
  publish(const T & msg)
  {
    this->do_publish(std::static_pointer_cast<const void>(std::make_shared<const T>(msg)));
  }

private:
  rclcpp::PublisherOptionsWithAllocator<AllocatorT> options_;
};
}  // namespace rclcpp
