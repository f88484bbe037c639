// Serialises ROS 2 messages as CDR, the mirror of cdr.hpp: what Humble's default middleware
// writes and what its recorder stores.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "bag/byte_cursor.hpp"
#include "bag/cdr.hpp"

namespace veltrax_bag
{

/// Builds one serialised message: the little-endian plain-CDR encapsulation header, then each
/// field aligned to its size counted from the end of that header, as CdrReader reads it back.
/// The caller writes the fields of the message type in declaration order.
class CdrWriter
{
public:
  CdrWriter();

  /// One integer, floating-point or byte field; `bool` is written as one byte.
  template <typename T>
  CdrWriter & put(T value)
  {
    static_assert(std::is_arithmetic_v<T>, "scalar fields only");
    using Bits = std::conditional_t<
        sizeof(T) == 1, std::uint8_t,
        std::conditional_t<sizeof(T) == 2, std::uint16_t,
                           std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
    static_assert(sizeof(Bits) == sizeof(T), "no scalar of this size in CDR");
    align(sizeof(T));
    Bits bits = 0;
    std::memcpy(&bits, &value, sizeof(T));
    append_little_endian(bytes_, bits);
    return *this;
  }
  /// A string: u32 length counting the terminating NUL, then the bytes and the NUL.
  CdrWriter & string(const std::string & text);
  /// A sequence's u32 element count; the elements follow with put() or their own fields.
  CdrWriter & sequence_length(std::size_t count);
  /// A sequence of bytes: u32 count, then the bytes.
  CdrWriter & byte_sequence(ByteView data);
  CdrWriter & byte_sequence(const std::vector<std::uint8_t> & data)
  {
    return byte_sequence(ByteView{data.data(), data.size()});
  }
  /// std_msgs/Header: stamp (builtin_interfaces/Time) and frame id.
  CdrWriter & header(std::int32_t sec, std::uint32_t nanosec, const std::string & frame_id);

  const std::vector<std::uint8_t> & bytes() const { return bytes_; }
  std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
  void align(std::size_t size);

  std::vector<std::uint8_t> bytes_;
};

}  // namespace veltrax_bag
