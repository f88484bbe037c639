// What `bag_info` reports about a bag, counted from the messages themselves rather than copied
// from metadata.yaml, so a disagreement with the metadata shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bag/rosbag_reader.hpp"

namespace veltrax_bag
{

struct TopicSummary
{
  std::string name;
  std::string type;
  std::uint64_t count = 0;
  std::string serialization_format;
};

struct BagSummary
{
  std::string storage;
  std::vector<std::string> files;
  std::uint64_t bag_size_bytes = 0;  ///< the storage files on disk, as stored (compressed or not)
  std::int64_t duration_ns = 0;      ///< last receive time minus first; 0 without messages
  std::int64_t start_ns = 0;         ///< first receive time, ns since the epoch; 0 without messages
  std::uint64_t message_count = 0;
  std::vector<TopicSummary> topics;  ///< in the reader's topic order, zero counts included
};

/// Reads every remaining message of `bag` (one at a time) to count them.
BagSummary summarize(BagReader & bag);

/// The JSON object: storage, duration_ns, start_ns, message_count, topics (list of name, type,
/// count, serialization_format).
std::string summary_json(const BagSummary & summary);

/// The table `ros2 bag info` prints; times in UTC.
std::string summary_text(const BagSummary & summary);

}  // namespace veltrax_bag
