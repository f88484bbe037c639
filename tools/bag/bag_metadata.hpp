// The bag directory's metadata.yaml as written by rosbag2 (read: bag format version 4 and later).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bag/bag_types.hpp"

namespace veltrax_bag
{

struct TopicWithCount
{
  TopicInfo topic;
  std::uint64_t message_count = 0;
};

struct BagMetadata
{
  int version = 0;
  std::string storage_identifier;  ///< "sqlite3" or "mcap"
  std::vector<std::string> relative_file_paths;
  std::int64_t duration_ns = 0;
  std::int64_t starting_time_ns = 0;  ///< ns since the epoch
  std::uint64_t message_count = 0;
  std::vector<TopicWithCount> topics_with_message_count;
  std::string compression_format;  ///< "" or "zstd"
  std::string compression_mode;    ///< "", "FILE" or "MESSAGE"
};

/// Parses `metadata_path`; throws BagError naming the file and the line or key at fault, and
/// for versions before 4.
BagMetadata read_bag_metadata(const std::filesystem::path & metadata_path);

/// Writes `metadata` of a bag of one storage file as Humble's rosbag2 writes metadata.yaml (bag
/// format version 5: `files` repeats the file's times and count); throws BagError naming the
/// path when it cannot be written.
void write_bag_metadata(const std::filesystem::path & metadata_path, const BagMetadata & metadata);

}  // namespace veltrax_bag
