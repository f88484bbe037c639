// Recordings built byte by byte for the tests and benchmarks of the bag reader and the replay:
// CDR messages as Humble's middleware writes them, MCAP records, and whole bag directories in
// sqlite3 or MCAP storage.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bag/ros_messages.hpp"

namespace veltrax_bag_builder
{

using Bytes = std::vector<std::uint8_t>;

Bytes read_bytes(const std::filesystem::path & path);
void write_bytes(const std::filesystem::path & path, const Bytes & bytes);
Bytes zstd_compress(const Bytes & raw);

// Little-endian CDR as Humble's middleware writes it, alignment counted after the header.
class CdrWriter
{
public:
  template <typename T>
  CdrWriter & put(T value)
  {
    while ((bytes_.size() - 4) % sizeof(T) != 0) {
      bytes_.push_back(0);
    }
    std::uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    bytes_.insert(bytes_.end(), raw, raw + sizeof(T));
    return *this;
  }
  CdrWriter & string(const std::string & text);
  CdrWriter & byte_sequence(const Bytes & data);
  CdrWriter & header(std::int32_t sec, std::uint32_t nanosec, const std::string & frame);
  CdrWriter & header(const veltrax_bag::Header & header);
  const Bytes & bytes() const { return bytes_; }

private:
  Bytes bytes_{0x00, 0x01, 0x00, 0x00};
};

/// An image record of `pixels` (rows packed) in `encoding`.
veltrax_bag::Image image_record(const cv::Mat & pixels, const std::string & encoding,
                                const veltrax_bag::Header & header);

/// The serialised message of each record, the inverse of ros_messages.hpp's decoders.
Bytes cdr_image(const veltrax_bag::Image & image);
Bytes cdr_compressed_image(const veltrax_bag::CompressedImage & image);
Bytes cdr_camera_info(const veltrax_bag::CameraInfo & info);
Bytes cdr_tf_message(const std::vector<veltrax_bag::TransformStamped> & transforms);

// MCAP records built field by field, to exercise the reader beyond what the recorder wrote.
struct McapBytes
{
  Bytes bytes;
  McapBytes & u8(std::uint8_t v) { return raw(&v, 1); }
  McapBytes & u16(std::uint16_t v) { return raw(&v, 2); }
  McapBytes & u32(std::uint32_t v) { return raw(&v, 4); }
  McapBytes & u64(std::uint64_t v) { return raw(&v, 8); }
  McapBytes & str(const std::string & s);
  McapBytes & append(const Bytes & b) { return raw(b.data(), b.size()); }
  McapBytes & record(std::uint8_t opcode, const Bytes & content);
  McapBytes & raw(const void * data, std::size_t size);
};

extern const Bytes kMcapMagic;

/// A Chunk record holding `records`, stored as is ("") or zstd-compressed ("zstd"), CRC filled.
Bytes chunk_record(const Bytes & records, const std::string & compression);
/// Magic, Header record, `data_section`, an empty Footer, magic.
Bytes mcap_file(const Bytes & data_section);

/// metadata.yaml of a bag directory: version 5, `storage`, `files`; compression zstd in
/// `compression_mode` (FILE or MESSAGE) unless it is empty.
void write_metadata(const std::filesystem::path & directory, const std::string & storage,
                    const std::vector<std::string> & files, const std::string & compression_mode,
                    std::int64_t start_ns = 0, std::int64_t duration_ns = 0,
                    std::size_t message_count = 0);

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
/// recorder's tables) or "mcap" (bag.mcap: schemas, channels, then the messages in zstd chunks
/// of about 768 KiB, the MCAP library's default), with its metadata.yaml.
void write_bag(const std::filesystem::path & directory, const std::string & storage,
               const std::vector<RecordedTopic> & topics,
               const std::vector<RecordedMessage> & messages);

}  // namespace veltrax_bag_builder
