#include "bag/mcap_reader.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>

#include "bag/zstd_codec.hpp"

namespace veltrax_bag
{
namespace
{

constexpr std::array<std::uint8_t, 8> kMagic = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Opcode : std::uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
};

struct Channel
{
  std::uint16_t schema_id = 0;
  std::string topic;
  std::string message_encoding;
  std::string offered_qos_profiles;
};

class McapParser
{
public:
  explicit McapParser(std::string source) : source_(std::move(source)) {}

  // Walks records until the footer (top level) or the end of the chunk; returns true when a
  // footer ended the walk.
  bool read_records(ByteCursor & cursor, bool inside_chunk)
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
      read_record(opcode, content);
    }
    return false;
  }

  StorageContents finish()
  {
    StorageContents contents;
    for (const auto & [id, channel] : channels_) {
      // Schema id 0 is MCAP's "no schema": the type is then unknown.
      const auto schema = schema_names_.find(channel.schema_id);
      if (channel.schema_id != 0 && schema == schema_names_.end()) {
        throw BagError(source_ + ": channel " + std::to_string(id) + " (" + channel.topic +
                       ") names schema " + std::to_string(channel.schema_id) +
                       ", which the file does not define");
      }
      contents.topics.push_back({channel.topic,
                                 channel.schema_id == 0 ? std::string() : schema->second,
                                 channel.message_encoding, channel.offered_qos_profiles});
    }
    contents.messages = std::move(messages_);
    return contents;
  }

private:
  void read_record(std::uint8_t opcode, ByteCursor & content)
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
        read_message(content);
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

  void read_message(ByteCursor & content)
  {
    const std::uint64_t record_offset = content.file_offset();
    const std::uint16_t channel_id = content.u16();
    content.u32();  // sequence
    const std::uint64_t log_time_ns = content.u64();
    content.u64();  // publish time
    const auto channel = channels_.find(channel_id);
    if (channel == channels_.end()) {
      content.fail_at(record_offset, "message on channel " + std::to_string(channel_id) +
                                         " before that channel is defined");
    }
    const ByteView data = content.bytes(content.remaining());
    BagMessage message;
    message.topic = channel->second.topic;
    message.receive_time_ns = static_cast<std::int64_t>(log_time_ns);
    message.serialized.assign(data.data, data.data + data.size);
    messages_.push_back(std::move(message));
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
      decompressed = zstd_decompress(
          compressed, source_ + ": chunk at offset " + std::to_string(records_offset),
          static_cast<std::size_t>(
              std::min<std::uint64_t>(uncompressed_size, std::numeric_limits<std::size_t>::max())));
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
    // Offsets inside a decompressed chunk cannot name a file position; name the chunk instead.
    ByteCursor chunk_records(records,
                             compression.empty()
                                 ? source_
                                 : source_ + ": " + compression + " chunk at offset " +
                                       std::to_string(records_offset) + ", decompressed",
                             compression.empty() ? records_offset : 0);
    read_records(chunk_records, true);
  }

  std::string source_;
  std::map<std::uint16_t, std::string> schema_names_;
  std::map<std::uint16_t, Channel> channels_;
  std::vector<BagMessage> messages_;
};

}  // namespace

std::uint32_t crc32(ByteView bytes)
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
  std::uint32_t crc = 0xFFFFFFFFU;
  for (std::size_t i = 0; i < bytes.size; ++i) {
    crc = table[(crc ^ bytes.data[i]) & 0xFFU] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFU;
}

StorageContents read_mcap_storage(ByteView file, const std::string & source)
{
  ByteCursor cursor(file, source);
  const ByteView leading = cursor.bytes(kMagic.size());
  if (std::memcmp(leading.data, kMagic.data(), kMagic.size()) != 0) {
    ByteCursor(file, source).fail("not an MCAP file (wrong magic)");
  }
  McapParser parser(source);
  if (!parser.read_records(cursor, false)) {
    cursor.fail("file ends without a footer (truncated recording?)");
  }
  const std::uint64_t trailing_offset = cursor.file_offset();
  if (cursor.remaining() != kMagic.size() ||
      std::memcmp(cursor.bytes(kMagic.size()).data, kMagic.data(), kMagic.size()) != 0) {
    throw BagError(source + ": offset " + std::to_string(trailing_offset) +
                   ": footer is not followed by the closing magic");
  }
  return parser.finish();
}

}  // namespace veltrax_bag
