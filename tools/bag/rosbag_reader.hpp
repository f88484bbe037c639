// A rosbag2 bag directory (metadata.yaml + storage files) read on a PC without ROS 2.
#pragma once

#include <filesystem>
#include <vector>

#include "bag/bag_metadata.hpp"
#include "bag/bag_types.hpp"
#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{

/// Opens a bag directory written by Humble's recorder: sqlite3 (.db3) or MCAP (.mcap) storage,
/// split bags, and zstd compression per file or per message. The whole bag is read into memory
/// on construction; throws BagError naming the file (and offset, where there is one) on any
/// fault, and names the mode when the compression is not zstd.
class BagReader
{
public:
  explicit BagReader(const std::filesystem::path & bag_directory);

  const std::filesystem::path & directory() const { return directory_; }
  const BagMetadata & metadata() const { return metadata_; }
  /// Every topic the storage files declare, in order of first declaration; a topic declared in
  /// several split files appears once.
  const std::vector<TopicInfo> & topics() const { return topics_; }
  /// Every message of every file in receive-time order; equal times keep file order.
  const std::vector<BagMessage> & messages() const { return messages_; }

private:
  void add_storage_file(const std::filesystem::path & path);
  void add_topic(const TopicInfo & topic, const std::filesystem::path & path);

  std::filesystem::path directory_;
  BagMetadata metadata_;
  std::vector<TopicInfo> topics_;
  std::vector<BagMessage> messages_;
};

}  // namespace veltrax_bag
