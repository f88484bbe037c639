#include "bag/rosbag_reader.hpp"

#include <algorithm>
#include <fstream>

#include "bag/mcap_reader.hpp"
#include "bag/sqlite_storage.hpp"
#include "bag/zstd_codec.hpp"

namespace veltrax_bag
{
namespace
{

bool compressed(const BagMetadata & metadata, const char * mode)
{
  return !metadata.compression_format.empty() && metadata.compression_mode == mode;
}

}  // namespace

// One storage file and the message it will give next, if any.
struct BagReader::OpenFile
{
  std::string source;
  std::unique_ptr<StorageFile> storage;
  BagMessage head;
  bool has_head = false;

  void advance() { has_head = storage->next(head); }
};

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
    const std::filesystem::path path = bag_directory / relative_path;
    const std::string source = path.string();
    // Messages still in a write-ahead log would be silently missing from what is read.
    const std::filesystem::path write_ahead_log = source + "-wal";
    if (metadata_.storage_identifier == "sqlite3" && std::filesystem::exists(write_ahead_log) &&
        std::filesystem::file_size(write_ahead_log) > 0) {
      throw BagError(write_ahead_log.string() +
                     ": holds messages not yet in the database (the recorder did not close it); "
                     "open the .db3 once with sqlite3 to fold them in");
    }
    FileBytes bytes = FileBytes::map(path);
    if (compressed(metadata_, "FILE")) {
      bytes = FileBytes(zstd_decompress(bytes.view(), source));
    }
    OpenFile file;
    file.source = source;
    file.storage = metadata_.storage_identifier == "mcap"
                       ? open_mcap_storage(std::move(bytes), source)
                       : open_sqlite_storage(std::move(bytes), source);
    for (const TopicInfo & topic : file.storage->topics()) {
      add_topic(topic, path);
    }
    files_.push_back(std::move(file));
  }
  for (OpenFile & file : files_) {
    file.advance();
  }
}

BagReader::~BagReader() = default;
BagReader::BagReader(BagReader &&) noexcept = default;
BagReader & BagReader::operator=(BagReader &&) noexcept = default;

bool BagReader::read_next(BagMessage & message)
{
  // Split files each hold their own time span, which may overlap at the seams; a bag has few
  // files, so a scan for the earliest head is enough.
  OpenFile * earliest = nullptr;
  for (OpenFile & file : files_) {
    if (file.has_head &&
        (earliest == nullptr || file.head.receive_time_ns < earliest->head.receive_time_ns)) {
      earliest = &file;
    }
  }
  if (earliest == nullptr) {
    return false;
  }
  std::swap(message, earliest->head);
  earliest->advance();
  if (compressed(metadata_, "MESSAGE")) {
    message.serialized =
        zstd_decompress({message.serialized.data(), message.serialized.size()},
                        earliest->source + ": message on " + message.topic + " at " +
                            std::to_string(message.receive_time_ns) + " ns");
  }
  return true;
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

std::vector<BagMessage> read_all_messages(BagReader & bag)
{
  std::vector<BagMessage> messages;
  BagMessage message;
  while (bag.read_next(message)) {
    messages.push_back(std::move(message));
  }
  return messages;
}

}  // namespace veltrax_bag
