// Host stand-in for rclcpp/macros.hpp (ROS 2 Humble rclcpp 16.0): the smart-pointer and
// copy-disabling macros, with the same aliases and static factories.
#pragma once

#include <memory>
#include <utility>

#define RCLCPP_DISABLE_COPY(...)             \
  __VA_ARGS__(const __VA_ARGS__ &) = delete; \
  __VA_ARGS__ & operator=(const __VA_ARGS__ &) = delete;

#define RCLCPP_SHARED_PTR_DEFINITIONS(...) \
  __RCLCPP_SHARED_PTR_ALIAS(__VA_ARGS__)   \
  __RCLCPP_MAKE_SHARED_DEFINITION(__VA_ARGS__)

#define RCLCPP_WEAK_PTR_DEFINITIONS(...)      \
  using WeakPtr = std::weak_ptr<__VA_ARGS__>; \
  using ConstWeakPtr = std::weak_ptr<const __VA_ARGS__>;

#define RCLCPP_UNIQUE_PTR_DEFINITIONS(...) \
  __RCLCPP_UNIQUE_PTR_ALIAS(__VA_ARGS__)   \
  __RCLCPP_MAKE_UNIQUE_DEFINITION(__VA_ARGS__)

#define RCLCPP_SMART_PTR_DEFINITIONS(...)    \
  RCLCPP_SHARED_PTR_DEFINITIONS(__VA_ARGS__) \
  RCLCPP_WEAK_PTR_DEFINITIONS(__VA_ARGS__)   \
  __RCLCPP_UNIQUE_PTR_ALIAS(__VA_ARGS__)     \
  __RCLCPP_MAKE_UNIQUE_DEFINITION(__VA_ARGS__)

#define RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(...) \
  RCLCPP_SHARED_PTR_DEFINITIONS(__VA_ARGS__)           \
  RCLCPP_WEAK_PTR_DEFINITIONS(__VA_ARGS__)             \
  __RCLCPP_UNIQUE_PTR_ALIAS(__VA_ARGS__)

#define RCLCPP_SMART_PTR_ALIASES_ONLY(...) \
  __RCLCPP_SHARED_PTR_ALIAS(__VA_ARGS__)   \
  __RCLCPP_WEAK_PTR_ALIAS(__VA_ARGS__)     \
  __RCLCPP_UNIQUE_PTR_ALIAS(__VA_ARGS__)

#define __RCLCPP_SHARED_PTR_ALIAS(...)            \
  using SharedPtr = std::shared_ptr<__VA_ARGS__>; \
  using ConstSharedPtr = std::shared_ptr<const __VA_ARGS__>;

#define __RCLCPP_MAKE_SHARED_DEFINITION(...)                           \
  template <typename... Args>                                          \
  static std::shared_ptr<__VA_ARGS__> make_shared(Args &&... args)     \
  {                                                                    \
    return std::make_shared<__VA_ARGS__>(std::forward<Args>(args)...); \
  }

#define __RCLCPP_WEAK_PTR_ALIAS(...)          \
  using WeakPtr = std::weak_ptr<__VA_ARGS__>; \
  using ConstWeakPtr = std::weak_ptr<const __VA_ARGS__>;

#define __RCLCPP_UNIQUE_PTR_ALIAS(...) using UniquePtr = std::unique_ptr<__VA_ARGS__>;

#define __RCLCPP_MAKE_UNIQUE_DEFINITION(...)                                           \
  template <typename... Args>                                                          \
  static std::unique_ptr<__VA_ARGS__> make_unique(Args &&... args)                     \
  {                                                                                    \
    return std::unique_ptr<__VA_ARGS__>(new __VA_ARGS__(std::forward<Args>(args)...)); \
  }

#define RCLCPP_STRING_JOIN(arg1, arg2) RCLCPP_DO_STRING_JOIN(arg1, arg2)
#define RCLCPP_DO_STRING_JOIN(arg1, arg2) arg1##arg2
