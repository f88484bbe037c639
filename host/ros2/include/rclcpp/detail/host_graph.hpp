// Host-only internals of the rclcpp stand-in (no Humble counterpart): the in-process topic
// graph that replaces rmw/DDS, and the wake-up signal that replaces rcl wait sets.
// Semantics: publishers and subscriptions of one context connect when their resolved topic
// names and message type names are equal. QoS reliability is not matched (a RELIABLE
// subscription also receives from a BEST_EFFORT publisher, which rmw would refuse), and
// durability is only used for late joining: a TRANSIENT_LOCAL publisher keeps its last
// `depth` messages and replays them to each TRANSIENT_LOCAL subscription created later.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rmw/types.h"

namespace rclcpp
{
namespace detail
{
/// One executor's wake-up: every notify bumps a generation counter. Thread-safe.
class WakeSignal
{
public:
  void notify();
  uint64_t generation() const;
  /// Blocks until the generation differs from `seen` or `deadline` passes.
  void wait_until(uint64_t seen, std::chrono::steady_clock::time_point deadline);

private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t generation_ = 0;
};

/// The executors that may run a node's callbacks; ready work notifies all of them.
class WakeSet
{
public:
  void add(const std::shared_ptr<WakeSignal> & signal);
  void remove(const WakeSignal * signal);
  void notify();

private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<WakeSignal>> signals_;
};

/// Receiving end of a connection, implemented by rclcpp::SubscriptionBase.
class SubscriptionEndpoint
{
public:
  virtual ~SubscriptionEndpoint() = default;
  /// Called with the graph lock held; must only queue the message and notify.
  virtual void host_enqueue(const std::shared_ptr<const void> & message,
                            const rmw_message_info_t & info) = 0;
};

struct TopicEndpointCounts
{
  std::string name;
  std::vector<std::string> types;
  size_t publishers = 0;
  size_t subscriptions = 0;
};

/// Topic graph of one context. Every member is thread-safe.
class Graph
{
public:
  uint64_t add_publisher(const std::string & topic, const std::string & type,
                         const rmw_qos_profile_t & qos);
  void remove_publisher(const std::string & topic, uint64_t publisher_id);
  /// Registers `endpoint` (which must call remove_subscription before it dies) and replays
  /// the history of matching TRANSIENT_LOCAL publishers to a TRANSIENT_LOCAL subscription.
  uint64_t add_subscription(const std::string & topic, const std::string & type,
                            const rmw_qos_profile_t & qos, SubscriptionEndpoint * endpoint);
  void remove_subscription(const std::string & topic, uint64_t subscription_id);
  void publish(const std::string & topic, uint64_t publisher_id,
               const std::shared_ptr<const void> & message);

  /// Subscriptions matching the publisher's type on its topic.
  size_t count_matched_subscriptions(const std::string & topic, uint64_t publisher_id) const;
  /// Publishers matching the subscription's type on its topic.
  size_t count_matched_publishers(const std::string & topic, uint64_t subscription_id) const;
  size_t count_publishers(const std::string & topic) const;
  size_t count_subscriptions(const std::string & topic) const;
  std::map<std::string, std::vector<std::string>> topic_names_and_types() const;
  std::vector<TopicEndpointCounts> list_topics() const;

private:
  struct PublisherEntry
  {
    uint64_t id;
    std::string type;
    rmw_qos_profile_t qos;
    uint64_t sequence = 0;
    std::vector<std::shared_ptr<const void>> history;
  };
  struct SubscriptionEntry
  {
    uint64_t id;
    std::string type;
    rmw_qos_profile_t qos;
    SubscriptionEndpoint * endpoint;
  };
  struct Topic
  {
    std::vector<PublisherEntry> publishers;
    std::vector<SubscriptionEntry> subscriptions;
  };

  void erase_if_empty(const std::string & topic);

  mutable std::mutex mutex_;
  std::map<std::string, Topic> topics_;
  uint64_t next_id_ = 1;
};
}  // namespace detail
}  // namespace rclcpp
