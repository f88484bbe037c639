#include "bag/cdr.hpp"

#include <cstring>
#include <utility>

namespace veltrax_bag
{
CdrReader::CdrReader(ByteView message, std::string source) : cursor_(message, std::move(source))
{
  const ByteView header = cursor_.bytes(kCdrEncapsulationBytes);
  if (header.data[0] != 0x00 ||
      (header.data[1] != kCdrBigEndian && header.data[1] != kCdrLittleEndian)) {
    cursor_.fail_at(0, "encapsulation " + std::to_string(header.data[0]) + "," +
                           std::to_string(header.data[1]) + " is not plain CDR");
  }
  big_endian_ = header.data[1] == kCdrBigEndian;
  // Alignment counts from the end of the encapsulation header.
  cursor_ =
      ByteCursor({message.data + kCdrEncapsulationBytes, message.size - kCdrEncapsulationBytes},
                 cursor_.source(), kCdrEncapsulationBytes);
}

void CdrReader::align(std::size_t size)
{
  const std::size_t misalignment = cursor_.position() % size;
  if (misalignment != 0) {
    cursor_.skip(size - misalignment);
  }
}

template <typename T>
T CdrReader::scalar()
{
  align(sizeof(T));
  const ByteView raw = cursor_.bytes(sizeof(T));
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    const std::size_t byte = big_endian_ ? sizeof(T) - 1 - i : i;
    value = static_cast<T>(value | static_cast<T>(static_cast<T>(raw.data[byte]) << (8 * i)));
  }
  return value;
}

std::uint32_t CdrReader::u32() { return scalar<std::uint32_t>(); }
std::int32_t CdrReader::i32() { return static_cast<std::int32_t>(scalar<std::uint32_t>()); }

double CdrReader::f64()
{
  const std::uint64_t bits = scalar<std::uint64_t>();
  double value = 0.0;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

std::string CdrReader::string()
{
  const std::uint32_t length = u32();
  // Some writers send an empty string as length 0 with no terminator.
  if (length == 0) {
    return std::string();
  }
  const ByteView text = cursor_.bytes(length);
  if (text.data[length - 1] != '\0') {
    cursor_.fail("string of " + std::to_string(length) + " bytes lacks its terminating NUL");
  }
  return std::string(reinterpret_cast<const char *>(text.data), length - 1);
}

std::uint32_t CdrReader::sequence_length(std::size_t min_element_bytes)
{
  const std::uint32_t count = u32();
  if (min_element_bytes > 0 && count > cursor_.remaining() / min_element_bytes) {
    cursor_.fail("sequence of " + std::to_string(count) + " elements runs past the end (" +
                 std::to_string(cursor_.remaining()) + " bytes left)");
  }
  return count;
}

std::vector<std::uint8_t> CdrReader::byte_sequence()
{
  const ByteView bytes = cursor_.bytes(sequence_length(1));
  return std::vector<std::uint8_t>(bytes.data, bytes.data + bytes.size);
}

void CdrReader::expect_end()
{
  constexpr std::size_t kMaxTrailingPadding = 3;
  if (cursor_.remaining() > kMaxTrailingPadding) {
    cursor_.fail(std::to_string(cursor_.remaining()) + " bytes left after the last field");
  }
}

}  // namespace veltrax_bag
