// A rosbag2 bag directory (metadata.yaml + storage files) read on a PC without ROS 2.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "bag/bag_metadata.hpp"
#include "bag/bag_types.hpp"
#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{

/// Opens a bag directory written by Humble's recorder: sqlite3 (.db3) or MCAP (.mcap) storage,
/// split bags, and zstd compression per file or per message. Opening reads the metadata and
/// every file's topics; messages are then read one at a time, so memory holds an index and the
/// files in flight rather than the recording (a file-compressed bag holds each decompressed
/// file). Throws BagError naming the file (and offset, where there is one) on any fault, and
/// names the mode when the compression is not zstd. One thread at a time.
class BagReader
{
public:
  explicit BagReader(const std::filesystem::path & bag_directory);
  ~BagReader();
  BagReader(BagReader &&) noexcept;
  BagReader & operator=(BagReader &&) noexcept;

  const std::filesystem::path & directory() const { return directory_; }
  const BagMetadata & metadata() const { return metadata_; }
  /// Every topic the storage files declare, in order of first declaration; a topic declared in
  /// several split files appears once.
  const std::vector<TopicInfo> & topics() const { return topics_; }
  /// Fills `message` with the next message across all files in receive-time order (equal times
  /// in file order, earlier files first); false after the last.
  bool read_next(BagMessage & message);

private:
  struct OpenFile;
  void add_topic(const TopicInfo & topic, const std::filesystem::path & path);

  std::filesystem::path directory_;
  BagMetadata metadata_;
  std::vector<TopicInfo> topics_;
  std::vector<OpenFile> files_;
};

/// Every remaining message of `bag`, for recordings known to be small (tests, short clips).
std::vector<BagMessage> read_all_messages(BagReader & bag);

}  // namespace veltrax_bag
