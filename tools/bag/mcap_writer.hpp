// MCAP storage as rosbag2 writes it: the published MCAP container with its indexes and summary,
// so that `ros2 bag play` (MCAP storage plugin) and Foxglove Studio open the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bag/bag_metadata.hpp"
#include "bag/bag_types.hpp"
#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{

/// Writes one MCAP file: the "ros2" profile header; per topic a Schema record (the type's
/// "ros2msg" definition, message_definitions.hpp) and a Channel record ("cdr", the offered QoS
/// text under "offered_qos_profiles"); Message records gathered into zstd chunks with their
/// CRC, each chunk followed by its message indexes; then the data-end CRC and the summary
/// section (schemas, channels, statistics, chunk indexes, summary offsets) with its CRC.
/// Messages may come in any order; readers that play a recording want log-time order. One
/// thread at a time. A writer destroyed before close() leaves a file without footer, which
/// readers refuse as truncated.
class McapWriter
{
public:
  /// Uncompressed bytes gathered before a chunk is compressed and written.
  static constexpr std::size_t kDefaultChunkBytes = 4 << 20;

  /// Creates or truncates `path`; throws BagError naming it when it cannot be written.
  explicit McapWriter(const std::filesystem::path & path,
                      std::size_t chunk_bytes = kDefaultChunkBytes);

  /// Declares `topic` (`type` such as "sensor_msgs/msg/Image", `serialization_format` "cdr")
  /// and returns its channel id. Throws BagError for a topic declared twice or a type without
  /// a known definition.
  std::uint16_t add_topic(const TopicInfo & topic);

  /// One serialised message on `channel`, received at `log_time_ns` and published at
  /// `publish_time_ns` (ns since the epoch). Throws BagError for an unknown channel or when
  /// the file cannot be written.
  void write(std::uint16_t channel, std::uint64_t log_time_ns, std::uint64_t publish_time_ns,
             ByteView data);

  /// Writes the last chunk, the summary and the footer and closes the file. Returns what the
  /// bag directory's metadata.yaml says of this file (write_bag_metadata).
  BagMetadata close();

private:
  struct Channel
  {
    TopicInfo topic;
    std::uint16_t schema_id = 0;
    std::uint64_t message_count = 0;
  };

  void emit(const std::vector<std::uint8_t> & bytes);
  void write_chunk();
  std::vector<std::uint8_t> schema_record(std::uint16_t id) const;
  std::vector<std::uint8_t> channel_record(std::uint16_t id) const;

  std::filesystem::path path_;
  std::ofstream file_;
  std::size_t chunk_bytes_;
  std::uint64_t position_ = 0;
  std::uint32_t running_crc_ = 0;     ///< of the data section, then of the summary
  std::vector<std::string> schemas_;  ///< type names; schema id = index + 1
  std::map<std::string, std::uint16_t> schema_ids_;
  std::vector<Channel> channels_;  ///< channel id = index + 1

  // The chunk being gathered: records, time span, and per channel (log time, offset) pairs.
  std::vector<std::uint8_t> chunk_;
  std::uint64_t chunk_start_ns_ = 0;
  std::uint64_t chunk_end_ns_ = 0;
  std::map<std::uint16_t, std::vector<std::uint8_t>> chunk_message_index_;

  std::vector<std::vector<std::uint8_t>> chunk_indexes_;  ///< ChunkIndex record contents
  std::uint64_t message_count_ = 0;
  std::uint64_t start_ns_ = 0;
  std::uint64_t end_ns_ = 0;
  bool closed_ = false;
};

}  // namespace veltrax_bag
