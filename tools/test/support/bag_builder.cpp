#include "support/bag_builder.hpp"

#include <sqlite3.h>
#include <zstd.h>

#include <fstream>
#include <memory>
#include <stdexcept>

#include "bag/mcap_reader.hpp"

namespace veltrax_bag_builder
{

namespace fs = std::filesystem;

Bytes read_bytes(const fs::path & path)
{
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path & path, const Bytes & bytes)
{
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes zstd_compress(const Bytes & raw)
{
  Bytes out(ZSTD_compressBound(raw.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), 3));
  return out;
}

CdrWriter & CdrWriter::string(const std::string & text)
{
  put<std::uint32_t>(static_cast<std::uint32_t>(text.size() + 1));
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  bytes_.push_back(0);
  return *this;
}

CdrWriter & CdrWriter::byte_sequence(const Bytes & data)
{
  put<std::uint32_t>(static_cast<std::uint32_t>(data.size()));
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

CdrWriter & CdrWriter::header(std::int32_t sec, std::uint32_t nanosec, const std::string & frame)
{
  return put(sec).put(nanosec).string(frame);
}

CdrWriter & CdrWriter::header(const veltrax_bag::Header & h)
{
  return header(h.stamp_sec, h.stamp_nanosec, h.frame_id);
}

veltrax_bag::Image image_record(const cv::Mat & pixels, const std::string & encoding,
                                const veltrax_bag::Header & header)
{
  veltrax_bag::Image image;
  image.header = header;
  image.height = static_cast<std::uint32_t>(pixels.rows);
  image.width = static_cast<std::uint32_t>(pixels.cols);
  image.encoding = encoding;
  image.step = static_cast<std::uint32_t>(pixels.cols * pixels.elemSize());
  const cv::Mat packed = pixels.isContinuous() ? pixels : pixels.clone();
  image.data.assign(packed.datastart, packed.dataend);
  return image;
}

Bytes cdr_image(const veltrax_bag::Image & image)
{
  return CdrWriter()
      .header(image.header)
      .put(image.height)
      .put(image.width)
      .string(image.encoding)
      .put<std::uint8_t>(image.is_bigendian ? 1 : 0)
      .put(image.step)
      .byte_sequence(image.data)
      .bytes();
}

Bytes cdr_compressed_image(const veltrax_bag::CompressedImage & image)
{
  return CdrWriter().header(image.header).string(image.format).byte_sequence(image.data).bytes();
}

Bytes cdr_camera_info(const veltrax_bag::CameraInfo & info)
{
  CdrWriter writer;
  writer.header(info.header).put(info.height).put(info.width).string(info.distortion_model);
  writer.put(static_cast<std::uint32_t>(info.d.size()));
  for (double value : info.d) writer.put(value);
  for (double value : info.k) writer.put(value);
  for (double value : info.r) writer.put(value);
  for (double value : info.p) writer.put(value);
  writer.put(info.binning_x).put(info.binning_y);
  writer.put(info.roi_x_offset).put(info.roi_y_offset).put(info.roi_height).put(info.roi_width);
  writer.put<std::uint8_t>(info.roi_do_rectify ? 1 : 0);
  return writer.bytes();
}

Bytes cdr_tf_message(const std::vector<veltrax_bag::TransformStamped> & transforms)
{
  CdrWriter writer;
  writer.put(static_cast<std::uint32_t>(transforms.size()));
  for (const veltrax_bag::TransformStamped & t : transforms) {
    writer.header(t.header).string(t.child_frame_id);
    writer.put(t.translation.x).put(t.translation.y).put(t.translation.z);
    for (double value : t.rotation_xyzw) writer.put(value);
  }
  return writer.bytes();
}

McapBytes & McapBytes::str(const std::string & s)
{
  u32(static_cast<std::uint32_t>(s.size()));
  return raw(s.data(), s.size());
}

McapBytes & McapBytes::record(std::uint8_t opcode, const Bytes & content)
{
  return u8(opcode).u64(content.size()).append(content);
}

McapBytes & McapBytes::raw(const void * data, std::size_t size)
{
  const auto * p = static_cast<const std::uint8_t *>(data);
  bytes.insert(bytes.end(), p, p + size);
  return *this;
}

const Bytes kMcapMagic = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

Bytes chunk_record(const Bytes & records, const std::string & compression)
{
  const Bytes stored = compression == "zstd" ? zstd_compress(records) : records;
  return McapBytes()
      .record(0x06, McapBytes()
                        .u64(0)
                        .u64(0)
                        .u64(records.size())
                        .u32(veltrax_bag::crc32({records.data(), records.size()}))
                        .str(compression)
                        .u64(stored.size())
                        .append(stored)
                        .bytes)
      .bytes;
}

Bytes mcap_file(const Bytes & data_section)
{
  return McapBytes()
      .append(kMcapMagic)
      .record(0x01, McapBytes().str("ros2").str("test").bytes)
      .append(data_section)
      .record(0x02, McapBytes().u64(0).u64(0).u32(0).bytes)
      .append(kMcapMagic)
      .bytes;
}

void write_metadata(const fs::path & directory, const std::string & storage,
                    const std::vector<std::string> & files, const std::string & compression_mode,
                    std::int64_t start_ns, std::int64_t duration_ns, std::size_t message_count)
{
  std::ofstream out(directory / "metadata.yaml");
  out << "rosbag2_bagfile_information:\n  version: 5\n  storage_identifier: " << storage
      << "\n  relative_file_paths:\n";
  for (const std::string & file : files) {
    out << "    - " << file << "\n";
  }
  out << "  duration: {nanoseconds: " << duration_ns
      << "}\n  starting_time: {nanoseconds_since_epoch: " << start_ns
      << "}\n  message_count: " << message_count << "\n  topics_with_message_count: []\n"
      << "  compression_format: \"" << (compression_mode.empty() ? "" : "zstd") << "\"\n"
      << "  compression_mode: \"" << compression_mode << "\"\n";
}

namespace
{

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

void check(sqlite3 * db, int status)
{
  if (status != SQLITE_OK && status != SQLITE_DONE) {
    throw std::runtime_error(std::string("sqlite3: ") + sqlite3_errmsg(db));
  }
}

void write_sqlite(const fs::path & path, const std::vector<RecordedTopic> & topics,
                  const std::vector<RecordedMessage> & messages)
{
  fs::remove(path);
  sqlite3 * raw = nullptr;
  sqlite3_open(path.string().c_str(), &raw);
  Database db(raw, &sqlite3_close);
  // The recorder's schema (Humble).
  check(db.get(), sqlite3_exec(db.get(),
                               "CREATE TABLE topics(id INTEGER PRIMARY KEY,name TEXT NOT NULL,"
                               "type TEXT NOT NULL,serialization_format TEXT NOT NULL,"
                               "offered_qos_profiles TEXT NOT NULL);"
                               "CREATE TABLE messages(id INTEGER PRIMARY KEY,topic_id INTEGER NOT "
                               "NULL,timestamp INTEGER NOT NULL, data BLOB NOT NULL);"
                               "CREATE INDEX timestamp_idx ON messages (timestamp ASC);"
                               "BEGIN;",
                               nullptr, nullptr, nullptr));
  sqlite3_stmt * statement = nullptr;
  check(db.get(), sqlite3_prepare_v2(db.get(), "INSERT INTO topics VALUES(?, ?, ?, 'cdr', '')", -1,
                                     &statement, nullptr));
  for (std::size_t i = 0; i < topics.size(); ++i) {
    sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(i) + 1);
    sqlite3_bind_text(statement, 2, topics[i].name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 3, topics[i].type.c_str(), -1, SQLITE_TRANSIENT);
    check(db.get(), sqlite3_step(statement));
    sqlite3_reset(statement);
  }
  sqlite3_finalize(statement);
  check(db.get(), sqlite3_prepare_v2(db.get(),
                                     "INSERT INTO messages(topic_id, timestamp, data) VALUES(?, "
                                     "?, ?)",
                                     -1, &statement, nullptr));
  for (const RecordedMessage & m : messages) {
    sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(m.topic) + 1);
    sqlite3_bind_int64(statement, 2, m.time_ns);
    sqlite3_bind_blob(statement, 3, m.data.data(), static_cast<int>(m.data.size()), SQLITE_STATIC);
    check(db.get(), sqlite3_step(statement));
    sqlite3_reset(statement);
  }
  sqlite3_finalize(statement);
  check(db.get(), sqlite3_exec(db.get(), "COMMIT;", nullptr, nullptr, nullptr));
}

void write_mcap(const fs::path & path, const std::vector<RecordedTopic> & topics,
                const std::vector<RecordedMessage> & messages)
{
  constexpr std::size_t kChunkBytes = std::size_t{768} * 1024;
  McapBytes data;
  for (std::size_t i = 0; i < topics.size(); ++i) {
    const auto id = static_cast<std::uint16_t>(i + 1);
    data.record(0x03, McapBytes().u16(id).str(topics[i].type).str("ros2msg").str("").bytes);
    data.record(0x04, McapBytes().u16(id).u16(id).str(topics[i].name).str("cdr").u32(0).bytes);
  }
  McapBytes chunk;
  const auto flush = [&] {
    if (!chunk.bytes.empty()) {
      data.append(chunk_record(chunk.bytes, "zstd"));
      chunk.bytes.clear();
    }
  };
  for (const RecordedMessage & m : messages) {
    const auto time = static_cast<std::uint64_t>(m.time_ns);
    chunk.record(0x05, McapBytes()
                           .u16(static_cast<std::uint16_t>(m.topic + 1))
                           .u32(0)
                           .u64(time)
                           .u64(time)
                           .append(m.data)
                           .bytes);
    if (chunk.bytes.size() >= kChunkBytes) {
      flush();
    }
  }
  flush();
  write_bytes(path, mcap_file(data.bytes));
}

}  // namespace

void write_bag(const fs::path & directory, const std::string & storage,
               const std::vector<RecordedTopic> & topics,
               const std::vector<RecordedMessage> & messages)
{
  fs::create_directories(directory);
  const std::string file = storage == "mcap" ? "bag.mcap" : "bag.db3";
  if (storage == "mcap") {
    write_mcap(directory / file, topics, messages);
  } else {
    write_sqlite(directory / file, topics, messages);
  }
  std::int64_t first_ns = 0;
  std::int64_t last_ns = 0;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    first_ns = i == 0 ? messages[i].time_ns : std::min(first_ns, messages[i].time_ns);
    last_ns = i == 0 ? messages[i].time_ns : std::max(last_ns, messages[i].time_ns);
  }
  write_metadata(directory, storage, {file}, "", first_ns, last_ns - first_ns, messages.size());
}

}  // namespace veltrax_bag_builder
