// A small, bounds-checked reader of ROS 2 messages serialised as CDR (XCDR1, as Humble's
// default middleware writes them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{

/// The representation header in front of every serialised message: two bytes naming the
/// representation (plain CDR, big or little endian), two option bytes.
inline constexpr std::size_t kCdrEncapsulationBytes = 4;
inline constexpr std::uint8_t kCdrBigEndian = 0x00;
inline constexpr std::uint8_t kCdrLittleEndian = 0x01;

/// Reads one serialised message: a 4-byte encapsulation header (plain CDR, little or big
/// endian), then fields aligned to their size relative to the end of that header. Every read
/// that would run past the message throws BagError "<source>: offset <n>: ...", the offset
/// counted from the start of the serialised message.
class CdrReader
{
public:
  CdrReader(ByteView message, std::string source);

  std::uint8_t u8() { return cursor_.u8(); }
  bool boolean() { return cursor_.u8() != 0; }
  std::uint32_t u32();
  std::int32_t i32();
  double f64();
  /// A string: u32 length counting the terminating NUL, then the bytes and the NUL.
  std::string string();
  /// A sequence of bytes: u32 count, then the bytes (no alignment).
  std::vector<std::uint8_t> byte_sequence();
  /// A sequence's u32 count, checked against the bytes left at `min_element_bytes` each, so
  /// a corrupt count cannot make the caller reserve gigabytes.
  std::uint32_t sequence_length(std::size_t min_element_bytes);
  /// Fails unless every byte was read (a message longer than its type is also corrupt, bar
  /// the up to 3 padding bytes some writers append).
  void expect_end();

  [[noreturn]] void fail(const std::string & what) const { cursor_.fail(what); }

private:
  template <typename T>
  T scalar();
  void align(std::size_t size);

  ByteCursor cursor_;
  bool big_endian_ = false;
};

}  // namespace veltrax_bag
