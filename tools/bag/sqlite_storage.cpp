#include "bag/sqlite_storage.hpp"

#include <sqlite3.h>

#include <map>
#include <memory>

namespace veltrax_bag
{
namespace
{

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

[[noreturn]] void fail(const std::string & source, sqlite3 * db)
{
  throw BagError(source + ": sqlite3: " + sqlite3_errmsg(db));
}

Statement prepare(sqlite3 * db, const char * sql, const std::string & source)
{
  sqlite3_stmt * raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    fail(source, db);
  }
  return Statement(raw, &sqlite3_finalize);
}

std::string text_column(sqlite3_stmt * row, int column)
{
  const unsigned char * text = sqlite3_column_text(row, column);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char *>(text),
                                       static_cast<std::size_t>(sqlite3_column_bytes(row, column)));
}

// Steps through every row; anything but another row or the end is a fault of the file.
template <typename OnRow>
void for_each_row(sqlite3 * db, sqlite3_stmt * statement, const std::string & source, OnRow on_row)
{
  for (;;) {
    const int status = sqlite3_step(statement);
    if (status == SQLITE_DONE) {
      return;
    }
    if (status != SQLITE_ROW) {
      fail(source, db);
    }
    on_row(statement);
  }
}

}  // namespace

StorageContents read_sqlite_storage(std::vector<std::uint8_t> database, const std::string & source)
{
  // rosbag2 records in WAL mode (header bytes 18 and 19 are 2), which an in-memory database
  // cannot open; the rollback-journal mode reads the same pages.
  constexpr std::size_t kWriteVersionByte = 18;
  constexpr std::size_t kReadVersionByte = 19;
  constexpr std::uint8_t kWalMode = 2;
  constexpr std::uint8_t kRollbackJournalMode = 1;
  if (database.size() > kReadVersionByte && database[kWriteVersionByte] == kWalMode &&
      database[kReadVersionByte] == kWalMode) {
    database[kWriteVersionByte] = kRollbackJournalMode;
    database[kReadVersionByte] = kRollbackJournalMode;
  }
  sqlite3 * raw_db = nullptr;
  const int opened = sqlite3_open_v2(":memory:", &raw_db, SQLITE_OPEN_READWRITE, nullptr);
  Database db(raw_db, &sqlite3_close);
  if (opened != SQLITE_OK) {
    fail(source, db.get());
  }
  // Read-only over our buffer, which outlives the connection: sqlite neither copies nor frees it.
  if (sqlite3_deserialize(
          db.get(), "main", database.data(), static_cast<sqlite3_int64>(database.size()),
          static_cast<sqlite3_int64>(database.size()), SQLITE_DESERIALIZE_READONLY) != SQLITE_OK) {
    fail(source, db.get());
  }

  StorageContents contents;
  std::map<sqlite3_int64, std::string> topic_names;
  const Statement topics = prepare(
      db.get(),
      "SELECT id, name, type, serialization_format, offered_qos_profiles FROM topics ORDER BY id",
      source);
  for_each_row(db.get(), topics.get(), source, [&](sqlite3_stmt * row) {
    TopicInfo topic{text_column(row, 1), text_column(row, 2), text_column(row, 3),
                    text_column(row, 4)};
    topic_names[sqlite3_column_int64(row, 0)] = topic.name;
    contents.topics.push_back(std::move(topic));
  });

  const Statement messages = prepare(
      db.get(), "SELECT topic_id, timestamp, data FROM messages ORDER BY timestamp, id", source);
  for_each_row(db.get(), messages.get(), source, [&](sqlite3_stmt * row) {
    const sqlite3_int64 topic_id = sqlite3_column_int64(row, 0);
    const auto topic = topic_names.find(topic_id);
    if (topic == topic_names.end()) {
      throw BagError(source + ": message at " + std::to_string(sqlite3_column_int64(row, 1)) +
                     " ns names topic id " + std::to_string(topic_id) +
                     ", which the topics table does not declare");
    }
    const auto * data = static_cast<const std::uint8_t *>(sqlite3_column_blob(row, 2));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(row, 2));
    BagMessage message;
    message.topic = topic->second;
    message.receive_time_ns = sqlite3_column_int64(row, 1);
    if (data != nullptr) {
      message.serialized.assign(data, data + size);
    }
    contents.messages.push_back(std::move(message));
  });
  return contents;
}

}  // namespace veltrax_bag
