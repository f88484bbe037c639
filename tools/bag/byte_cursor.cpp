#include "bag/byte_cursor.hpp"

#include <utility>

namespace veltrax_bag
{

ByteCursor::ByteCursor(ByteView view, std::string source, std::uint64_t base_offset)
    : view_(view), source_(std::move(source)), base_offset_(base_offset)
{
}

void ByteCursor::fail_at(std::uint64_t offset, const std::string & what) const
{
  throw BagError(source_ + ": offset " + std::to_string(offset) + ": " + what);
}

ByteView ByteCursor::bytes(std::uint64_t count)
{
  if (count > remaining()) {
    fail("needs " + std::to_string(count) + " bytes, only " + std::to_string(remaining()) +
         " left");
  }
  const ByteView out{view_.data + position_, static_cast<std::size_t>(count)};
  position_ += static_cast<std::size_t>(count);
  return out;
}

template <typename T>
T ByteCursor::little_endian()
{
  const ByteView raw = bytes(sizeof(T));
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value = static_cast<T>(value | static_cast<T>(static_cast<T>(raw.data[i]) << (8 * i)));
  }
  return value;
}

std::uint8_t ByteCursor::u8() { return bytes(1).data[0]; }
std::uint16_t ByteCursor::u16() { return little_endian<std::uint16_t>(); }
std::uint32_t ByteCursor::u32() { return little_endian<std::uint32_t>(); }
std::uint64_t ByteCursor::u64() { return little_endian<std::uint64_t>(); }

std::string ByteCursor::string_u32()
{
  const std::uint32_t length = u32();
  const ByteView text = bytes(length);
  return std::string(reinterpret_cast<const char *>(text.data), text.size);
}

}  // namespace veltrax_bag
