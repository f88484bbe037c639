// The in-process topic graph that stands in for rmw/DDS on the host.
#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "rclcpp/detail/host_graph.hpp"

namespace rclcpp
{
namespace detail
{
namespace
{
int64_t system_now_ns()
{
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool transient_local(const rmw_qos_profile_t & qos)
{
  return qos.durability == RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL;
}

rmw_message_info_t make_info(uint64_t publisher_id, uint64_t sequence, int64_t stamp)
{
  rmw_message_info_t info{};
  info.source_timestamp = stamp;
  info.received_timestamp = system_now_ns();
  info.publication_sequence_number = sequence;
  info.publisher_gid.implementation_identifier = "host_graph";
  for (size_t i = 0; i < sizeof(publisher_id); ++i) {
    info.publisher_gid.data[i] = static_cast<uint8_t>(publisher_id >> (8 * i));
  }
  return info;
}
}  // namespace

uint64_t Graph::add_publisher(const std::string & topic, const std::string & type,
                              const rmw_qos_profile_t & qos)
{
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t id = next_id_++;
  topics_[topic].publishers.push_back(PublisherEntry{id, type, qos, 0, {}});
  return id;
}

void Graph::remove_publisher(const std::string & topic, uint64_t publisher_id)
{
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = topics_.find(topic);
  if (it == topics_.end()) {
    return;
  }
  auto & pubs = it->second.publishers;
  pubs.erase(
      std::remove_if(pubs.begin(), pubs.end(),
                     [publisher_id](const PublisherEntry & e) { return e.id == publisher_id; }),
      pubs.end());
  erase_if_empty(topic);
}

uint64_t Graph::add_subscription(const std::string & topic, const std::string & type,
                                 const rmw_qos_profile_t & qos, SubscriptionEndpoint * endpoint)
{
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t id = next_id_++;
  Topic & entry = topics_[topic];
  entry.subscriptions.push_back(SubscriptionEntry{id, type, qos, endpoint});
  // Replayed under the lock so that no newer message can overtake the history.
  if (transient_local(qos)) {
    for (const auto & publisher : entry.publishers) {
      if (publisher.type != type || !transient_local(publisher.qos)) {
        continue;
      }
      uint64_t sequence = publisher.sequence - publisher.history.size();
      for (const auto & message : publisher.history) {
        endpoint->host_enqueue(message, make_info(publisher.id, ++sequence, system_now_ns()));
      }
    }
  }
  return id;
}

void Graph::remove_subscription(const std::string & topic, uint64_t subscription_id)
{
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = topics_.find(topic);
  if (it == topics_.end()) {
    return;
  }
  auto & subs = it->second.subscriptions;
  subs.erase(std::remove_if(subs.begin(), subs.end(),
                            [subscription_id](const SubscriptionEntry & e) {
                              return e.id == subscription_id;
                            }),
             subs.end());
  erase_if_empty(topic);
}

void Graph::publish(const std::string & topic, uint64_t publisher_id,
                    const std::shared_ptr<const void> & message)
{
  const int64_t stamp = system_now_ns();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = topics_.find(topic);
  if (it == topics_.end()) {
    return;
  }
  Topic & entry = it->second;
  auto publisher =
      std::find_if(entry.publishers.begin(), entry.publishers.end(),
                   [publisher_id](const PublisherEntry & e) { return e.id == publisher_id; });
  if (publisher == entry.publishers.end()) {
    return;
  }
  const uint64_t sequence = ++publisher->sequence;
  if (transient_local(publisher->qos)) {
    publisher->history.push_back(message);
    const size_t keep = publisher->qos.history == RMW_QOS_POLICY_HISTORY_KEEP_ALL
                            ? publisher->history.size()
                            : std::max<size_t>(publisher->qos.depth, 1);
    if (publisher->history.size() > keep) {
      publisher->history.erase(publisher->history.begin(),
                               publisher->history.end() - static_cast<std::ptrdiff_t>(keep));
    }
  }
  const rmw_message_info_t info = make_info(publisher_id, sequence, stamp);
  for (const auto & subscription : entry.subscriptions) {
    if (subscription.type == publisher->type) {
      subscription.endpoint->host_enqueue(message, info);
    }
  }
}

size_t Graph::count_matched_subscriptions(const std::string & topic, uint64_t publisher_id) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = topics_.find(topic);
  if (it == topics_.end()) {
    return 0;
  }
  const auto & entry = it->second;
  auto publisher =
      std::find_if(entry.publishers.begin(), entry.publishers.end(),
                   [publisher_id](const PublisherEntry & e) { return e.id == publisher_id; });
  if (publisher == entry.publishers.end()) {
    return 0;
  }
  return static_cast<size_t>(std::count_if(
      entry.subscriptions.begin(), entry.subscriptions.end(),
      [&publisher](const SubscriptionEntry & e) { return e.type == publisher->type; }));
}

size_t Graph::count_matched_publishers(const std::string & topic, uint64_t subscription_id) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = topics_.find(topic);
  if (it == topics_.end()) {
    return 0;
  }
  const auto & entry = it->second;
  auto subscription = std::find_if(
      entry.subscriptions.begin(), entry.subscriptions.end(),
      [subscription_id](const SubscriptionEntry & e) { return e.id == subscription_id; });
  if (subscription == entry.subscriptions.end()) {
    return 0;
  }
  return static_cast<size_t>(std::count_if(
      entry.publishers.begin(), entry.publishers.end(),
      [&subscription](const PublisherEntry & e) { return e.type == subscription->type; }));
}

size_t Graph::count_publishers(const std::string & topic) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = topics_.find(topic);
  return it == topics_.end() ? 0 : it->second.publishers.size();
}

size_t Graph::count_subscriptions(const std::string & topic) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = topics_.find(topic);
  return it == topics_.end() ? 0 : it->second.subscriptions.size();
}

std::map<std::string, std::vector<std::string>> Graph::topic_names_and_types() const
{
  std::map<std::string, std::vector<std::string>> result;
  for (const auto & topic : list_topics()) {
    result[topic.name] = topic.types;
  }
  return result;
}

std::vector<TopicEndpointCounts> Graph::list_topics() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TopicEndpointCounts> result;
  for (const auto & item : topics_) {
    TopicEndpointCounts counts;
    counts.name = item.first;
    counts.publishers = item.second.publishers.size();
    counts.subscriptions = item.second.subscriptions.size();
    auto add_type = [&counts](const std::string & type) {
      if (std::find(counts.types.begin(), counts.types.end(), type) == counts.types.end()) {
        counts.types.push_back(type);
      }
    };
    for (const auto & publisher : item.second.publishers) {
      add_type(publisher.type);
    }
    for (const auto & subscription : item.second.subscriptions) {
      add_type(subscription.type);
    }
    std::sort(counts.types.begin(), counts.types.end());
    result.push_back(std::move(counts));
  }
  return result;
}

void Graph::erase_if_empty(const std::string & topic)
{
  auto it = topics_.find(topic);
  if (it != topics_.end() && it->second.publishers.empty() && it->second.subscriptions.empty()) {
    topics_.erase(it);
  }
}
}  // namespace detail
}  // namespace rclcpp
