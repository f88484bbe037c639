// Host stand-in for rclcpp/subscription_options.hpp (ROS 2 Humble rclcpp 16.0).
// Differs from Humble: only the members below; ignore_local_publications, the intra-process
// setting and the allocator are accepted and have no effect on the host graph.
#pragma once

#include <memory>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/intra_process_setting.hpp"

namespace rclcpp
{
struct SubscriptionOptionsBase
{
  bool use_default_callbacks = true;
  bool ignore_local_publications = false;
  bool require_unique_network_flow_endpoints = false;
  rclcpp::CallbackGroup::SharedPtr callback_group = nullptr;
  IntraProcessSetting use_intra_process_comm = IntraProcessSetting::NodeDefault;
};

template <typename Allocator>
struct SubscriptionOptionsWithAllocator : public SubscriptionOptionsBase
{
  std::shared_ptr<Allocator> allocator = nullptr;

  SubscriptionOptionsWithAllocator() {}
  explicit SubscriptionOptionsWithAllocator(
      const SubscriptionOptionsBase & subscription_options_base)
      : SubscriptionOptionsBase(subscription_options_base)
  {
  }
};

using SubscriptionOptions = SubscriptionOptionsWithAllocator<std::allocator<void>>;
}  // namespace rclcpp
