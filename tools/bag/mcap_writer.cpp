#include "bag/mcap_writer.hpp"

#include <zstd.h>

#include <algorithm>
#include <array>

#include "bag/mcap_format.hpp"
#include "bag/mcap_reader.hpp"
#include "bag/message_definitions.hpp"

namespace veltrax_bag
{
namespace
{

using namespace mcap;  // the format's magic and opcodes

// Fast enough for a demo's images, and a demo run still shrinks to under a third.
constexpr int kZstdLevel = 1;

// The content of one record, field by field.
class Fields
{
public:
  Fields & u8(std::uint8_t v) { return le(v); }
  Fields & u16(std::uint16_t v) { return le(v); }
  Fields & u32(std::uint32_t v) { return le(v); }
  Fields & u64(std::uint64_t v) { return le(v); }
  Fields & text(const std::string & s)
  {
    u32(static_cast<std::uint32_t>(s.size()));
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  /// A map or array: its byte length (u32), then its bytes.
  Fields & prefixed(const std::vector<std::uint8_t> & raw)
  {
    u32(static_cast<std::uint32_t>(raw.size()));
    return append(raw);
  }
  Fields & append(const std::vector<std::uint8_t> & raw)
  {
    return append({raw.data(), raw.size()});
  }
  Fields & append(ByteView raw)
  {
    bytes.insert(bytes.end(), raw.data, raw.data + raw.size);
    return *this;
  }

  std::vector<std::uint8_t> bytes;

private:
  template <typename T>
  Fields & le(T value)
  {
    append_little_endian(bytes, value);
    return *this;
  }
};

void append_record(std::vector<std::uint8_t> & out, std::uint8_t opcode,
                   const std::vector<std::uint8_t> & content)
{
  out.push_back(opcode);
  append_little_endian(out, static_cast<std::uint64_t>(content.size()));
  out.insert(out.end(), content.begin(), content.end());
}

}  // namespace

McapWriter::McapWriter(const std::filesystem::path & path, std::size_t chunk_bytes)
    : path_(path), file_(path, std::ios::binary | std::ios::trunc), chunk_bytes_(chunk_bytes)
{
  if (!file_) {
    throw BagError(path_.string() + ": cannot be written");
  }
  std::vector<std::uint8_t> start(kMagic.begin(), kMagic.end());
  append_record(start, kHeader, Fields().text("ros2").text("veltrax_bag").bytes);
  emit(start);
}

void McapWriter::emit(const std::vector<std::uint8_t> & bytes)
{
  file_.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  if (!file_) {
    throw BagError(path_.string() + ": offset " + std::to_string(position_) + ": write failed");
  }
  position_ += bytes.size();
  running_crc_ = crc32({bytes.data(), bytes.size()}, running_crc_);
}

std::vector<std::uint8_t> McapWriter::schema_record(std::uint16_t id) const
{
  const std::string & type = schemas_[id - 1U];
  return Fields().u16(id).text(type).text("ros2msg").text(ros2msg_definition(type)).bytes;
}

std::vector<std::uint8_t> McapWriter::channel_record(std::uint16_t id) const
{
  const Channel & channel = channels_[id - 1U];
  return Fields()
      .u16(id)
      .u16(channel.schema_id)
      .text(channel.topic.name)
      .text(channel.topic.serialization_format)
      .prefixed(
          Fields().text("offered_qos_profiles").text(channel.topic.offered_qos_profiles).bytes)
      .bytes;
}

std::uint16_t McapWriter::add_topic(const TopicInfo & topic)
{
  if (std::any_of(channels_.begin(), channels_.end(),
                  [&](const Channel & c) { return c.topic.name == topic.name; })) {
    throw BagError(path_.string() + ": topic " + topic.name + " declared twice");
  }
  auto schema = schema_ids_.find(topic.type);
  const bool new_schema = schema == schema_ids_.end();
  if (new_schema) {
    ros2msg_definition(topic.type);  // throws now for a type no reader could decode
    schemas_.push_back(topic.type);
    schema = schema_ids_.emplace(topic.type, static_cast<std::uint16_t>(schemas_.size())).first;
  }
  channels_.push_back({topic, schema->second, 0});
  const auto id = static_cast<std::uint16_t>(channels_.size());
  // Into the chunk being gathered, if any, so a reader meets them before the channel's messages.
  std::vector<std::uint8_t> records;
  if (new_schema) {
    append_record(records, kSchema, schema_record(schema->second));
  }
  append_record(records, kChannel, channel_record(id));
  if (chunk_.empty()) {
    emit(records);
  } else {
    chunk_.insert(chunk_.end(), records.begin(), records.end());
  }
  return id;
}

void McapWriter::write(std::uint16_t channel, std::uint64_t log_time_ns,
                       std::uint64_t publish_time_ns, ByteView data)
{
  if (channel == 0 || channel > channels_.size()) {
    throw BagError(path_.string() + ": message on undeclared channel " + std::to_string(channel));
  }
  Channel & declared = channels_[channel - 1U];
  if (chunk_message_index_.empty()) {
    chunk_start_ns_ = chunk_end_ns_ = log_time_ns;
  }
  chunk_start_ns_ = std::min(chunk_start_ns_, log_time_ns);
  chunk_end_ns_ = std::max(chunk_end_ns_, log_time_ns);
  start_ns_ = message_count_ == 0 ? log_time_ns : std::min(start_ns_, log_time_ns);
  end_ns_ = message_count_ == 0 ? log_time_ns : std::max(end_ns_, log_time_ns);

  std::vector<std::uint8_t> & index = chunk_message_index_[channel];
  append_little_endian(index, log_time_ns);
  append_little_endian(index, static_cast<std::uint64_t>(chunk_.size()));
  // Written in place: images are large, and this avoids a copy per message.
  chunk_.push_back(kMessage);
  append_little_endian(chunk_, static_cast<std::uint64_t>(2 + 4 + 8 + 8 + data.size));
  append_little_endian(chunk_, channel);
  append_little_endian(chunk_, static_cast<std::uint32_t>(declared.message_count));
  append_little_endian(chunk_, log_time_ns);
  append_little_endian(chunk_, publish_time_ns);
  chunk_.insert(chunk_.end(), data.data, data.data + data.size);
  ++declared.message_count;
  ++message_count_;
  if (chunk_.size() >= chunk_bytes_) {
    write_chunk();
  }
}

void McapWriter::write_chunk()
{
  if (chunk_.empty()) {
    return;
  }
  std::vector<std::uint8_t> compressed(ZSTD_compressBound(chunk_.size()));
  const std::size_t compressed_size =
      ZSTD_compress(compressed.data(), compressed.size(), chunk_.data(), chunk_.size(), kZstdLevel);
  if (ZSTD_isError(compressed_size)) {
    throw BagError(path_.string() + ": zstd: " + ZSTD_getErrorName(compressed_size));
  }
  compressed.resize(compressed_size);

  const std::uint64_t chunk_offset = position_;
  std::vector<std::uint8_t> records;
  append_record(records, kChunk,
                Fields()
                    .u64(chunk_start_ns_)
                    .u64(chunk_end_ns_)
                    .u64(chunk_.size())
                    .u32(crc32({chunk_.data(), chunk_.size()}))
                    .text("zstd")
                    .u64(compressed.size())
                    .append(compressed)
                    .bytes);
  const std::uint64_t chunk_length = records.size();
  emit(records);

  // The message indexes follow their chunk; the chunk index says where each one lies.
  records.clear();
  Fields index_offsets;
  for (const auto & [channel, entries] : chunk_message_index_) {
    index_offsets.u16(channel).u64(position_ + records.size());
    append_record(records, kMessageIndex, Fields().u16(channel).prefixed(entries).bytes);
  }
  emit(records);
  chunk_indexes_.push_back(Fields()
                               .u64(chunk_start_ns_)
                               .u64(chunk_end_ns_)
                               .u64(chunk_offset)
                               .u64(chunk_length)
                               .prefixed(index_offsets.bytes)
                               .u64(records.size())
                               .text("zstd")
                               .u64(compressed.size())
                               .u64(chunk_.size())
                               .bytes);
  chunk_.clear();
  chunk_message_index_.clear();
}

BagMetadata McapWriter::close()
{
  if (closed_) {
    throw BagError(path_.string() + ": closed twice");
  }
  closed_ = true;
  write_chunk();
  std::vector<std::uint8_t> records;
  append_record(records, kDataEnd, Fields().u32(running_crc_).bytes);
  emit(records);

  // The summary repeats the definitions and indexes the chunks, so readers can seek.
  const std::uint64_t summary_start = position_;
  running_crc_ = 0;
  std::vector<std::vector<std::uint8_t>> offsets;
  const auto group = [&](std::uint8_t opcode, const std::vector<std::vector<std::uint8_t>> & all) {
    records.clear();
    for (const std::vector<std::uint8_t> & content : all) {
      append_record(records, opcode, content);
    }
    if (!records.empty()) {
      offsets.push_back(Fields().u8(opcode).u64(position_).u64(records.size()).bytes);
      emit(records);
    }
  };
  std::vector<std::vector<std::uint8_t>> schemas;
  for (std::size_t id = 1; id <= schemas_.size(); ++id) {
    schemas.push_back(schema_record(static_cast<std::uint16_t>(id)));
  }
  group(kSchema, schemas);
  std::vector<std::vector<std::uint8_t>> channels;
  Fields counts;
  for (std::size_t id = 1; id <= channels_.size(); ++id) {
    channels.push_back(channel_record(static_cast<std::uint16_t>(id)));
    if (channels_[id - 1].message_count > 0) {
      counts.u16(static_cast<std::uint16_t>(id)).u64(channels_[id - 1].message_count);
    }
  }
  group(kChannel, channels);
  group(kStatistics, {Fields()
                          .u64(message_count_)
                          .u16(static_cast<std::uint16_t>(schemas_.size()))
                          .u32(static_cast<std::uint32_t>(channels_.size()))
                          .u32(0)  // attachments
                          .u32(0)  // metadata records
                          .u32(static_cast<std::uint32_t>(chunk_indexes_.size()))
                          .u64(start_ns_)
                          .u64(end_ns_)
                          .prefixed(counts.bytes)
                          .bytes});
  group(kChunkIndex, chunk_indexes_);
  const std::uint64_t summary_offset_start = position_;
  records.clear();
  for (const std::vector<std::uint8_t> & offset : offsets) {
    append_record(records, kSummaryOffset, offset);
  }
  emit(records);

  // The summary CRC covers the footer up to its own field.
  records = {kFooter};
  append_little_endian(records, std::uint64_t{8 + 8 + 4});
  append_little_endian(records, summary_start);
  append_little_endian(records, summary_offset_start);
  append_little_endian(records, crc32({records.data(), records.size()}, running_crc_));
  records.insert(records.end(), kMagic.begin(), kMagic.end());
  emit(records);
  file_.close();
  if (!file_) {
    throw BagError(path_.string() + ": cannot be closed");
  }

  BagMetadata metadata;
  metadata.version = 5;
  metadata.storage_identifier = "mcap";
  metadata.relative_file_paths = {path_.filename().string()};
  metadata.starting_time_ns = static_cast<std::int64_t>(start_ns_);
  metadata.duration_ns = static_cast<std::int64_t>(end_ns_ - start_ns_);
  metadata.message_count = message_count_;
  for (const Channel & channel : channels_) {
    metadata.topics_with_message_count.push_back({channel.topic, channel.message_count});
  }
  return metadata;
}

}  // namespace veltrax_bag
