// Host stand-in for rclcpp/publisher_options.hpp (ROS 2 Humble rclcpp 16.0).
// Differs from Humble: only the members below, all without effect on the host graph.
#pragma once

#include <memory>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/intra_process_setting.hpp"

namespace rclcpp
{
struct PublisherOptionsBase
{
  bool use_default_callbacks = true;
  bool require_unique_network_flow_endpoints = false;
  IntraProcessSetting use_intra_process_comm = IntraProcessSetting::NodeDefault;
  rclcpp::CallbackGroup::SharedPtr callback_group = nullptr;
};

template <typename Allocator>
struct PublisherOptionsWithAllocator : public PublisherOptionsBase
{
  std::shared_ptr<Allocator> allocator = nullptr;

  PublisherOptionsWithAllocator() {}
  explicit PublisherOptionsWithAllocator(const PublisherOptionsBase & publisher_options_base)
      : PublisherOptionsBase(publisher_options_base)
  {
  }
};

using PublisherOptions = PublisherOptionsWithAllocator<std::allocator<void>>;
}  // namespace rclcpp
