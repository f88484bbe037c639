// Recordings built from plain records for the replay test and the read benchmark: CDR messages
// as Humble's middleware writes them (cdr_writer.hpp) and whole bag directories in sqlite3 or
// MCAP storage.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bag/ros_messages.hpp"

namespace veltrax_bag_builder
{

using Bytes = std::vector<std::uint8_t>;

/// An image record of `pixels` (rows packed) in `encoding`.
veltrax_bag::Image image_record(const cv::Mat & pixels, const std::string & encoding,
                                const veltrax_bag::Header & header);

/// The serialised message of each record, the inverse of ros_messages.hpp's decoders.
Bytes cdr_image(const veltrax_bag::Image & image);
Bytes cdr_compressed_image(const veltrax_bag::CompressedImage & image);
Bytes cdr_camera_info(const veltrax_bag::CameraInfo & info);
Bytes cdr_tf_message(const std::vector<veltrax_bag::TransformStamped> & transforms);

struct RecordedTopic
{
  std::string name;
  std::string type;
};

struct RecordedMessage
{
  std::size_t topic{0};  ///< index into the topics
  std::int64_t time_ns{0};
  Bytes data;
};

/// A bag directory as Humble's recorder writes it, `storage` "sqlite3" (bag.db3 with the
/// recorder's tables) or "mcap" (bag.mcap by McapWriter: zstd chunks, indexes, summary), with
/// its metadata.yaml. MCAP needs a type message_definitions.hpp knows.
void write_bag(const std::filesystem::path & directory, const std::string & storage,
               const std::vector<RecordedTopic> & topics,
               const std::vector<RecordedMessage> & messages);

}  // namespace veltrax_bag_builder
