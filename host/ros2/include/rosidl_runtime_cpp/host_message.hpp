// Host-only helper for the hand-written message headers under host/: it spells out the members
// and traits that rosidl_generator_cpp (Humble) writes into every generated message struct
// (pointer aliases, explicit default constructor, is_message/data_type/name traits).
// Differs from Humble: messages are plain structs, not allocator templates (Name_<Alloc>).
#pragma once

#include <memory>

#include "rosidl_runtime_cpp/message_initialization.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

#define HOST_ROSIDL_MESSAGE_MEMBERS(Name)                                 \
  using Type = Name;                                                      \
  using RawPtr = Name *;                                                  \
  using ConstRawPtr = const Name *;                                       \
  using SharedPtr = std::shared_ptr<Name>;                                \
  using ConstSharedPtr = std::shared_ptr<Name const>;                     \
  template <typename Deleter = std::default_delete<Name>>                 \
  using UniquePtrWithDeleter = std::unique_ptr<Name, Deleter>;            \
  using UniquePtr = UniquePtrWithDeleter<>;                               \
  template <typename Deleter = std::default_delete<Name>>                 \
  using ConstUniquePtrWithDeleter = std::unique_ptr<Name const, Deleter>; \
  using ConstUniquePtr = ConstUniquePtrWithDeleter<>;                     \
  using WeakPtr = std::weak_ptr<Name>;                                    \
  using ConstWeakPtr = std::weak_ptr<Name const>;                         \
  explicit Name(rosidl_runtime_cpp::MessageInitialization =               \
                    rosidl_runtime_cpp::MessageInitialization::ALL)       \
  {                                                                       \
  }                                                                       \
  bool operator!=(const Name & other) const { return !(*this == other); }

#define HOST_ROSIDL_MESSAGE_TRAITS(pkg, Name)        \
  namespace rosidl_generator_traits                  \
  {                                                  \
  template <>                                        \
  struct is_message<pkg::msg::Name> : std::true_type \
  {                                                  \
  };                                                 \
  template <>                                        \
  inline const char * data_type<pkg::msg::Name>()    \
  {                                                  \
    return #pkg "::msg::" #Name;                     \
  }                                                  \
  template <>                                        \
  inline const char * name<pkg::msg::Name>()         \
  {                                                  \
    return #pkg "/msg/" #Name;                       \
  }                                                  \
  }
