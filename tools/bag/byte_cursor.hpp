// Bounds-checked reading of little-endian records, shared by the MCAP and CDR readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace veltrax_bag
{

/// Any fault in a recording: the text names the file (or message) and, where known, the offset.
class BagError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

/// A non-owning view of bytes; the owner outlives the view.
struct ByteView
{
  const std::uint8_t * data = nullptr;
  std::size_t size = 0;
};

/// Reads forward through `view`; every read checks the bytes are there and otherwise throws a
/// BagError "<source>: offset <n>: <what>". `base_offset` is the view's position in its file,
/// so offsets inside a record or chunk still name the place in the file.
class ByteCursor
{
public:
  ByteCursor(ByteView view, std::string source, std::uint64_t base_offset = 0);

  std::uint8_t u8();
  std::uint16_t u16();
  std::uint32_t u32();
  std::uint64_t u64();
  /// The next `count` bytes; the view points into the cursor's buffer.
  ByteView bytes(std::uint64_t count);
  /// A u32 length followed by that many bytes.
  std::string string_u32();
  void skip(std::uint64_t count) { bytes(count); }

  std::size_t position() const { return position_; }
  std::size_t remaining() const { return view_.size - position_; }
  std::uint64_t file_offset() const { return base_offset_ + position_; }
  const std::string & source() const { return source_; }

  /// Throws a BagError naming the source and the current file offset.
  [[noreturn]] void fail(const std::string & what) const { fail_at(file_offset(), what); }
  /// Throws a BagError naming the source and `offset` (a file offset, as file_offset()).
  [[noreturn]] void fail_at(std::uint64_t offset, const std::string & what) const;

private:
  template <typename T>
  T little_endian();

  ByteView view_;
  std::string source_;
  std::uint64_t base_offset_;
  std::size_t position_ = 0;
};

/// Appends `value` least significant byte first: the mirror of ByteCursor's reads, for the
/// MCAP and CDR writers.
template <typename T>
void append_little_endian(std::vector<std::uint8_t> & out, T value)
{
  static_assert(std::is_unsigned_v<T>, "unsigned integers only");
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

}  // namespace veltrax_bag
