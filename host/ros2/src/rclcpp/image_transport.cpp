// Raw image transport over the host graph: a plain rclcpp subscription/publisher on the base
// topic, wrapped in handles that copies share.
#include "image_transport/image_transport.hpp"

#include <utility>

namespace image_transport
{
namespace
{
constexpr char kRawTransport[] = "raw";

rclcpp::QoS qos_from_rmw(const rmw_qos_profile_t & custom_qos)
{
  return rclcpp::QoS(rclcpp::QoSInitialization::from_rmw(custom_qos), custom_qos);
}

// pluginlib's wording when a lookup name is not among the declared classes.
std::string missing_plugin_text(const std::string & lookup_name, const char * base_class)
{
  return "According to the loaded plugin descriptions the class " + lookup_name +
         " with base class type " + base_class +
         " does not exist. Declared types are  image_transport/raw_" +
         (std::string(base_class) == "image_transport::SubscriberPlugin" ? "sub" : "pub");
}
}  // namespace

struct Subscriber::Impl
{
  std::string transport;
  rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr subscription;
  // Guarded by the caller's discipline as in Humble: shutdown and queries come from the
  // thread that owns the Subscriber.
};

Subscriber::Subscriber(rclcpp::Node * node, const std::string & base_topic,
                       const Callback & callback, const std::string & transport,
                       rmw_qos_profile_t custom_qos, rclcpp::SubscriptionOptions options)
    : impl_(std::make_shared<Impl>())
{
  if (transport != kRawTransport) {
    const std::string lookup_name = "image_transport/" + transport + "_sub";
    throw TransportLoadException(
        transport, missing_plugin_text(lookup_name, "image_transport::SubscriberPlugin"));
  }
  impl_->transport = transport;
  // The user callback receives the very pointer rclcpp delivered.
  impl_->subscription = node->create_subscription<sensor_msgs::msg::Image>(
      base_topic, qos_from_rmw(custom_qos),
      [callback](const sensor_msgs::msg::Image::ConstSharedPtr & msg) { callback(msg); }, options);
}

std::string Subscriber::getTopic() const
{
  if (impl_ && impl_->subscription) {
    return impl_->subscription->get_topic_name();
  }
  return std::string();
}

size_t Subscriber::getNumPublishers() const
{
  if (impl_ && impl_->subscription) {
    return impl_->subscription->get_publisher_count();
  }
  return 0;
}

std::string Subscriber::getTransport() const { return impl_ ? impl_->transport : std::string(); }

void Subscriber::shutdown()
{
  if (impl_) {
    impl_->subscription.reset();
  }
}

Subscriber::operator void *() const
{
  return (impl_ && impl_->subscription) ? reinterpret_cast<void *>(1) : nullptr;
}

struct Publisher::Impl
{
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr publisher;
};

Publisher::Publisher(rclcpp::Node * node, const std::string & base_topic,
                     rmw_qos_profile_t custom_qos)
    : impl_(std::make_shared<Impl>())
{
  impl_->publisher =
      node->create_publisher<sensor_msgs::msg::Image>(base_topic, qos_from_rmw(custom_qos));
}

size_t Publisher::getNumSubscribers() const
{
  if (impl_ && impl_->publisher) {
    return impl_->publisher->get_subscription_count();
  }
  return 0;
}

std::string Publisher::getTopic() const
{
  if (impl_ && impl_->publisher) {
    return impl_->publisher->get_topic_name();
  }
  return std::string();
}

void Publisher::publish(const sensor_msgs::msg::Image & message) const
{
  if (impl_ && impl_->publisher) {
    impl_->publisher->publish(message);
  }
}

void Publisher::publish(const sensor_msgs::msg::Image::ConstSharedPtr & message) const
{
  if (message) {
    publish(*message);
  }
}

void Publisher::shutdown()
{
  if (impl_) {
    impl_->publisher.reset();
  }
}

Publisher::operator void *() const
{
  return (impl_ && impl_->publisher) ? reinterpret_cast<void *>(1) : nullptr;
}

Publisher create_publisher(rclcpp::Node * node, const std::string & base_topic,
                           rmw_qos_profile_t custom_qos)
{
  return Publisher(node, base_topic, custom_qos);
}

Subscriber create_subscription(rclcpp::Node * node, const std::string & base_topic,
                               const Subscriber::Callback & callback, const std::string & transport,
                               rmw_qos_profile_t custom_qos, rclcpp::SubscriptionOptions options)
{
  return Subscriber(node, base_topic, callback, transport, custom_qos, std::move(options));
}
}  // namespace image_transport
