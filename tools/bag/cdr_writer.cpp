#include "bag/cdr_writer.hpp"

#include <limits>

namespace veltrax_bag
{

CdrWriter::CdrWriter() : bytes_{0x00, kCdrLittleEndian, 0x00, 0x00}
{
  static_assert(kCdrEncapsulationBytes == 4, "the header above has four bytes");
}

void CdrWriter::align(std::size_t size)
{
  // As the reader: alignment counts from the end of the encapsulation header.
  while ((bytes_.size() - kCdrEncapsulationBytes) % size != 0) {
    bytes_.push_back(0);
  }
}

CdrWriter & CdrWriter::sequence_length(std::size_t count)
{
  if (count > std::numeric_limits<std::uint32_t>::max()) {
    throw BagError("CDR sequence of " + std::to_string(count) + " elements is too long");
  }
  return put(static_cast<std::uint32_t>(count));
}

CdrWriter & CdrWriter::string(const std::string & text)
{
  sequence_length(text.size() + 1);
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  bytes_.push_back(0);
  return *this;
}

CdrWriter & CdrWriter::byte_sequence(ByteView data)
{
  sequence_length(data.size);
  bytes_.insert(bytes_.end(), data.data, data.data + data.size);
  return *this;
}

CdrWriter & CdrWriter::header(std::int32_t sec, std::uint32_t nanosec, const std::string & frame_id)
{
  return put(sec).put(nanosec).string(frame_id);
}

}  // namespace veltrax_bag
