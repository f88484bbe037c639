#include "bag/mcap_reader.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#include "bag/mcap_format.hpp"
#include "bag/zstd_codec.hpp"

namespace veltrax_bag
{
namespace
{

using namespace mcap;  // the format's magic and opcodes

struct Channel
{
  std::uint16_t schema_id = 0;
  std::string topic;
  std::string message_encoding;
  std::string offered_qos_profiles;
};

// Where one message lies: in the file, or in the records of a compressed chunk.
struct MessageLocation
{
  std::uint64_t log_time_ns = 0;
  std::size_t compressed_chunk = kInFile;  ///< index into chunks_, or kInFile
  std::uint64_t offset = 0;                ///< of the record's content in the file or chunk
  std::uint64_t length = 0;

  static constexpr std::size_t kInFile = std::numeric_limits<std::size_t>::max();
};

struct CompressedChunk
{
  ByteView compressed;
  std::uint64_t records_offset = 0;  ///< in the file
  std::uint64_t uncompressed_size = 0;
};

// The file is read twice: once on opening, for the channels and an index of every message
// (time and place, not the payload), then a message at a time in time order, decompressing a
// chunk again only when the next message lies in another one.
class McapStorage : public StorageFile
{
public:
  McapStorage(FileBytes file, std::string source)
      : file_(std::move(file)), source_(std::move(source))
  {
    ByteCursor cursor(file_.view(), source_);
    const ByteView leading = cursor.bytes(kMagic.size());
    if (std::memcmp(leading.data, kMagic.data(), kMagic.size()) != 0) {
      cursor.fail_at(0, "not an MCAP file (wrong magic)");
    }
    if (!read_records(cursor, MessageLocation::kInFile)) {
      cursor.fail("file ends without a footer (truncated recording?)");
    }
    const std::uint64_t trailing_offset = cursor.file_offset();
    if (cursor.remaining() != kMagic.size() ||
        std::memcmp(cursor.bytes(kMagic.size()).data, kMagic.data(), kMagic.size()) != 0) {
      cursor.fail_at(trailing_offset, "footer is not followed by the closing magic");
    }
    collect_topics();
    std::stable_sort(locations_.begin(), locations_.end(),
                     [](const auto & a, const auto & b) { return a.log_time_ns < b.log_time_ns; });
  }

  const std::vector<TopicInfo> & topics() const override { return topics_; }

  bool next(BagMessage & message) override
  {
    if (next_location_ == locations_.size()) {
      return false;
    }
    const MessageLocation & location = locations_[next_location_++];
    ByteView records = file_.view();
    if (location.compressed_chunk != MessageLocation::kInFile) {
      records = chunk_records(location.compressed_chunk);
    }
    // The first pass checked the record, so only the payload's place is left to find.
    ByteCursor content({records.data + location.offset, static_cast<std::size_t>(location.length)},
                       source_, location.offset);
    const std::uint16_t channel_id = content.u16();
    content.skip(4 + 8 + 8);  // sequence, log time, publish time
    const ByteView data = content.bytes(content.remaining());
    message.topic = channels_.at(channel_id).topic;
    message.receive_time_ns = static_cast<std::int64_t>(location.log_time_ns);
    message.serialized.assign(data.data, data.data + data.size);
    return true;
  }

private:
  ByteView chunk_records(std::size_t chunk_index)
  {
    if (decompressed_chunk_ != chunk_index) {
      const CompressedChunk & chunk = chunks_[chunk_index];
      decompressed_ = zstd_decompress(chunk.compressed, chunk_source(chunk.records_offset),
                                      static_cast<std::size_t>(chunk.uncompressed_size));
      decompressed_chunk_ = chunk_index;
    }
    return {decompressed_.data(), decompressed_.size()};
  }

  std::string chunk_source(std::uint64_t records_offset) const
  {
    return source_ + ": zstd chunk at offset " + std::to_string(records_offset);
  }

  // Walks records until the footer (top level) or the end of a chunk's records; returns true
  // when a footer ended the walk. `compressed_chunk` says where the cursor's bytes are.
  bool read_records(ByteCursor & cursor, std::size_t compressed_chunk, bool inside_chunk = false)
  {
    while (cursor.remaining() > 0) {
      const std::uint64_t record_offset = cursor.file_offset();
      const std::uint8_t opcode = cursor.u8();
      const std::uint64_t length = cursor.u64();
      if (length > cursor.remaining()) {
        cursor.fail_at(record_offset, "record (opcode " + std::to_string(opcode) + ") of " +
                                          std::to_string(length) + " bytes runs past the end, " +
                                          std::to_string(cursor.remaining()) + " bytes left");
      }
      const std::uint64_t content_offset = cursor.file_offset();
      ByteCursor content(cursor.bytes(length), cursor.source(), content_offset);
      if (opcode == kFooter && !inside_chunk) {
        return true;
      }
      if (opcode == kChunk && inside_chunk) {
        cursor.fail_at(record_offset, "chunk inside a chunk");
      }
      read_record(opcode, content, compressed_chunk);
    }
    return false;
  }

  void collect_topics()
  {
    for (const auto & [id, channel] : channels_) {
      // Schema id 0 is MCAP's "no schema": the type is then unknown.
      const auto schema = schema_names_.find(channel.schema_id);
      if (channel.schema_id != 0 && schema == schema_names_.end()) {
        throw BagError(source_ + ": channel " + std::to_string(id) + " (" + channel.topic +
                       ") names schema " + std::to_string(channel.schema_id) +
                       ", which the file does not define");
      }
      topics_.push_back({channel.topic, channel.schema_id == 0 ? std::string() : schema->second,
                         channel.message_encoding, channel.offered_qos_profiles});
    }
  }

  void read_record(std::uint8_t opcode, ByteCursor & content, std::size_t compressed_chunk)
  {
    switch (opcode) {
      case kSchema: {
        const std::uint16_t id = content.u16();
        schema_names_[id] = content.string_u32();
        break;
      }
      case kChannel:
        read_channel(content);
        break;
      case kMessage:
        read_message(content, compressed_chunk);
        break;
      case kChunk:
        read_chunk(content);
        break;
      default:
        // Header, indexes, statistics, attachments and metadata do not change what is recorded.
        break;
    }
  }

  void read_channel(ByteCursor & content)
  {
    const std::uint16_t id = content.u16();
    Channel channel;
    channel.schema_id = content.u16();
    channel.topic = content.string_u32();
    channel.message_encoding = content.string_u32();
    const std::uint32_t metadata_length = content.u32();
    const std::uint64_t metadata_offset = content.file_offset();
    ByteCursor metadata(content.bytes(metadata_length), content.source(), metadata_offset);
    while (metadata.remaining() > 0) {
      const std::string key = metadata.string_u32();
      std::string value = metadata.string_u32();
      if (key == "offered_qos_profiles") {
        channel.offered_qos_profiles = std::move(value);
      }
    }
    channels_[id] = std::move(channel);
  }

  void read_message(ByteCursor & content, std::size_t compressed_chunk)
  {
    const std::uint64_t record_offset = content.file_offset();
    const std::uint64_t length = content.remaining();
    const std::uint16_t channel_id = content.u16();
    content.u32();  // sequence
    const std::uint64_t log_time_ns = content.u64();
    content.u64();  // publish time
    if (channels_.count(channel_id) == 0) {
      content.fail_at(record_offset, "message on channel " + std::to_string(channel_id) +
                                         " before that channel is defined");
    }
    // Receive times are signed nanoseconds: a later one would sort after the rest yet read as
    // long before them.
    if (log_time_ns > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      content.fail_at(record_offset, "message log time " + std::to_string(log_time_ns) +
                                         " ns lies beyond the year 2262");
    }
    locations_.push_back({log_time_ns, compressed_chunk, record_offset, length});
  }

  void read_chunk(ByteCursor & content)
  {
    content.u64();  // message start time
    content.u64();  // message end time
    const std::uint64_t uncompressed_size = content.u64();
    const std::uint32_t uncompressed_crc = content.u32();
    const std::string compression = content.string_u32();
    const std::uint64_t records_length = content.u64();
    const std::uint64_t records_offset = content.file_offset();
    const ByteView compressed = content.bytes(records_length);

    std::vector<std::uint8_t> decompressed;
    ByteView records = compressed;
    if (compression == "zstd") {
      decompressed =
          zstd_decompress(compressed, chunk_source(records_offset),
                          static_cast<std::size_t>(std::min<std::uint64_t>(
                              uncompressed_size, std::numeric_limits<std::size_t>::max())));
      records = {decompressed.data(), decompressed.size()};
    } else if (!compression.empty()) {
      content.fail("chunk compressed with \"" + compression +
                   "\", which this reader does not support (only zstd or none)");
    }
    if (records.size != uncompressed_size) {
      content.fail("chunk holds " + std::to_string(records.size) + " bytes, its header says " +
                   std::to_string(uncompressed_size));
    }
    // Zero means the writer did not compute a CRC.
    if (uncompressed_crc != 0 && crc32(records) != uncompressed_crc) {
      content.fail("chunk CRC mismatch");
    }
    if (compression.empty()) {
      ByteCursor chunk_records(records, source_, records_offset);
      read_records(chunk_records, MessageLocation::kInFile, true);
      return;
    }
    chunks_.push_back({compressed, records_offset, uncompressed_size});
    // Offsets inside a decompressed chunk cannot name a file position; name the chunk instead.
    ByteCursor chunk_records(records, chunk_source(records_offset) + ", decompressed", 0);
    read_records(chunk_records, chunks_.size() - 1, true);
  }

  FileBytes file_;
  std::string source_;
  std::map<std::uint16_t, std::string> schema_names_;
  std::map<std::uint16_t, Channel> channels_;
  std::vector<TopicInfo> topics_;
  std::vector<CompressedChunk> chunks_;
  std::vector<MessageLocation> locations_;
  std::size_t next_location_ = 0;
  std::size_t decompressed_chunk_ = MessageLocation::kInFile;
  std::vector<std::uint8_t> decompressed_;
};

}  // namespace

std::uint32_t crc32(ByteView bytes, std::uint32_t previous)
{
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> entries{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t value = i;
      for (int bit = 0; bit < 8; ++bit) {
        value = (value & 1U) != 0 ? 0xEDB88320U ^ (value >> 1) : value >> 1;
      }
      entries[i] = value;
    }
    return entries;
  }();
  std::uint32_t crc = previous ^ 0xFFFFFFFFU;
  for (std::size_t i = 0; i < bytes.size; ++i) {
    crc = table[(crc ^ bytes.data[i]) & 0xFFU] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFU;
}

std::unique_ptr<StorageFile> open_mcap_storage(FileBytes file, const std::string & source)
{
  return std::make_unique<McapStorage>(std::move(file), source);
}

}  // namespace veltrax_bag
