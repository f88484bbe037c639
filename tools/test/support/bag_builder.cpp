#include "support/bag_builder.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "bag/bag_metadata.hpp"
#include "bag/cdr_writer.hpp"
#include "bag/mcap_writer.hpp"

namespace veltrax_bag_builder
{

namespace fs = std::filesystem;
using veltrax_bag::CdrWriter;

namespace
{

CdrWriter & header(CdrWriter & out, const veltrax_bag::Header & h)
{
  return out.header(h.stamp_sec, h.stamp_nanosec, h.frame_id);
}

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

}  // namespace

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
  CdrWriter out;
  header(out, image.header)
      .put(image.height)
      .put(image.width)
      .string(image.encoding)
      .put(image.is_bigendian)
      .put(image.step)
      .byte_sequence(image.data);
  return out.take();
}

Bytes cdr_compressed_image(const veltrax_bag::CompressedImage & image)
{
  CdrWriter out;
  header(out, image.header).string(image.format).byte_sequence(image.data);
  return out.take();
}

Bytes cdr_camera_info(const veltrax_bag::CameraInfo & info)
{
  CdrWriter out;
  header(out, info.header).put(info.height).put(info.width).string(info.distortion_model);
  out.sequence_length(info.d.size());
  for (double value : info.d) out.put(value);
  for (double value : info.k) out.put(value);
  for (double value : info.r) out.put(value);
  for (double value : info.p) out.put(value);
  out.put(info.binning_x).put(info.binning_y);
  out.put(info.roi_x_offset).put(info.roi_y_offset).put(info.roi_height).put(info.roi_width);
  out.put(info.roi_do_rectify);
  return out.take();
}

Bytes cdr_tf_message(const std::vector<veltrax_bag::TransformStamped> & transforms)
{
  CdrWriter out;
  out.sequence_length(transforms.size());
  for (const veltrax_bag::TransformStamped & t : transforms) {
    header(out, t.header).string(t.child_frame_id);
    out.put(t.translation.x).put(t.translation.y).put(t.translation.z);
    for (double value : t.rotation_xyzw) out.put(value);
  }
  return out.take();
}

void write_bag(const fs::path & directory, const std::string & storage,
               const std::vector<RecordedTopic> & topics,
               const std::vector<RecordedMessage> & messages)
{
  fs::create_directories(directory);
  veltrax_bag::BagMetadata metadata;
  if (storage == "mcap") {
    veltrax_bag::McapWriter writer(directory / "bag.mcap");
    for (const RecordedTopic & topic : topics) {
      writer.add_topic({topic.name, topic.type, "cdr", ""});
    }
    for (const RecordedMessage & m : messages) {
      const auto time = static_cast<std::uint64_t>(m.time_ns);
      writer.write(static_cast<std::uint16_t>(m.topic + 1), time, time,
                   {m.data.data(), m.data.size()});
    }
    metadata = writer.close();
  } else {
    write_sqlite(directory / "bag.db3", topics, messages);
    const auto [first, last] = std::minmax_element(
        messages.begin(), messages.end(),
        [](const RecordedMessage & a, const RecordedMessage & b) { return a.time_ns < b.time_ns; });
    metadata.version = 5;
    metadata.storage_identifier = storage;
    metadata.relative_file_paths = {"bag.db3"};
    metadata.starting_time_ns = messages.empty() ? 0 : first->time_ns;
    metadata.duration_ns = messages.empty() ? 0 : last->time_ns - first->time_ns;
    metadata.message_count = messages.size();
  }
  veltrax_bag::write_bag_metadata(directory / "metadata.yaml", metadata);
}

}  // namespace veltrax_bag_builder
