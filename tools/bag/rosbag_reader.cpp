#include "bag/rosbag_reader.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "bag/mcap_reader.hpp"
#include "bag/sqlite_storage.hpp"
#include "bag/zstd_codec.hpp"

namespace veltrax_bag
{
namespace
{

std::vector<std::uint8_t> read_file(const std::filesystem::path & path)
{
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw BagError(path.string() + ": cannot open");
  }
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

bool compressed(const BagMetadata & metadata, const char * mode)
{
  return !metadata.compression_format.empty() && metadata.compression_mode == mode;
}

}  // namespace

BagReader::BagReader(const std::filesystem::path & bag_directory)
    : directory_(bag_directory), metadata_(read_bag_metadata(bag_directory / "metadata.yaml"))
{
  const std::string metadata_source = (bag_directory / "metadata.yaml").string();
  if (!metadata_.compression_format.empty() && metadata_.compression_format != "zstd") {
    throw BagError(metadata_source + ": compression format \"" + metadata_.compression_format +
                   "\" is not supported (only zstd)");
  }
  if (!metadata_.compression_format.empty() && metadata_.compression_mode != "FILE" &&
      metadata_.compression_mode != "MESSAGE") {
    throw BagError(metadata_source + ": compression mode \"" + metadata_.compression_mode +
                   "\" is not supported (FILE or MESSAGE)");
  }
  if (metadata_.storage_identifier != "sqlite3" && metadata_.storage_identifier != "mcap") {
    throw BagError(metadata_source + ": storage \"" + metadata_.storage_identifier +
                   "\" is not supported (sqlite3 or mcap)");
  }
  for (const std::string & relative_path : metadata_.relative_file_paths) {
    add_storage_file(bag_directory / relative_path);
  }
  // Split files each hold their own time span, which may overlap at the seams.
  std::stable_sort(messages_.begin(), messages_.end(), [](const auto & a, const auto & b) {
    return a.receive_time_ns < b.receive_time_ns;
  });
}

void BagReader::add_storage_file(const std::filesystem::path & path)
{
  const std::string source = path.string();
  // Messages still in a write-ahead log would be silently missing from what is read.
  const std::filesystem::path write_ahead_log = source + "-wal";
  if (metadata_.storage_identifier == "sqlite3" && std::filesystem::exists(write_ahead_log) &&
      std::filesystem::file_size(write_ahead_log) > 0) {
    throw BagError(write_ahead_log.string() +
                   ": holds messages not yet in the database (the recorder did not close it); "
                   "open the .db3 once with sqlite3 to fold them in");
  }
  std::vector<std::uint8_t> bytes = read_file(path);
  if (compressed(metadata_, "FILE")) {
    bytes = zstd_decompress({bytes.data(), bytes.size()}, source);
  }
  StorageContents contents = metadata_.storage_identifier == "mcap"
                                 ? read_mcap_storage({bytes.data(), bytes.size()}, source)
                                 : read_sqlite_storage(std::move(bytes), source);
  for (const TopicInfo & topic : contents.topics) {
    add_topic(topic, path);
  }
  for (BagMessage & message : contents.messages) {
    if (compressed(metadata_, "MESSAGE")) {
      message.serialized = zstd_decompress({message.serialized.data(), message.serialized.size()},
                                           source + ": message on " + message.topic + " at " +
                                               std::to_string(message.receive_time_ns) + " ns");
    }
    messages_.push_back(std::move(message));
  }
}

void BagReader::add_topic(const TopicInfo & topic, const std::filesystem::path & path)
{
  const auto known = std::find_if(topics_.begin(), topics_.end(),
                                  [&](const TopicInfo & t) { return t.name == topic.name; });
  if (known == topics_.end()) {
    topics_.push_back(topic);
  } else if (known->type != topic.type) {
    throw BagError(path.string() + ": topic " + topic.name + " has type " + topic.type +
                   ", an earlier file says " + known->type);
  }
}

}  // namespace veltrax_bag
