// Test hooks of the host ROS 2 stand-in (no Humble counterpart; product code never includes
// this header). Tests feed a node and read its output with their own rclcpp::Node,
// publishers and subscriptions in the same process; these hooks only inspect the topic graph.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "rclcpp/context.hpp"
#include "rclcpp/detail/host_graph.hpp"

namespace rclcpp_host
{
/// One topic of the graph: resolved name, message type names ("pkg/msg/Name", sorted) and
/// how many publishers and subscriptions (of any type) it has.
using TopicInfo = rclcpp::detail::TopicEndpointCounts;

/// Every topic with at least one publisher or subscription, sorted by name. Includes the
/// /rosout and /parameter_events publishers that every node has by default.
inline std::vector<TopicInfo> list_topics(rclcpp::Context::SharedPtr context = nullptr)
{
  if (!context) {
    context = rclcpp::contexts::get_global_default_context();
  }
  return context->host_graph()->list_topics();
}

/// Names of the topics that have at least one publisher, sorted.
inline std::vector<std::string> advertised_topics(rclcpp::Context::SharedPtr context = nullptr)
{
  std::vector<std::string> names;
  for (const auto & topic : list_topics(context)) {
    if (topic.publishers > 0) {
      names.push_back(topic.name);
    }
  }
  return names;
}

/// Publishers on a fully resolved topic name.
inline size_t count_publishers(const std::string & topic,
                               rclcpp::Context::SharedPtr context = nullptr)
{
  if (!context) {
    context = rclcpp::contexts::get_global_default_context();
  }
  return context->host_graph()->count_publishers(topic);
}

/// Subscriptions on a fully resolved topic name.
inline size_t count_subscriptions(const std::string & topic,
                                  rclcpp::Context::SharedPtr context = nullptr)
{
  if (!context) {
    context = rclcpp::contexts::get_global_default_context();
  }
  return context->host_graph()->count_subscriptions(topic);
}
}  // namespace rclcpp_host
