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

class SqliteStorage : public StorageFile
{
public:
  SqliteStorage(FileBytes database, std::string source)
      : database_(std::move(database)), source_(std::move(source))
  {
    // rosbag2 records in WAL mode (header bytes 18 and 19 are 2), which an in-memory database
    // cannot open; the rollback-journal mode reads the same pages.
    constexpr std::size_t kWriteVersionByte = 18;
    constexpr std::size_t kReadVersionByte = 19;
    constexpr std::uint8_t kWalMode = 2;
    constexpr std::uint8_t kRollbackJournalMode = 1;
    std::uint8_t * bytes = database_.data();
    if (database_.size() > kReadVersionByte && bytes[kWriteVersionByte] == kWalMode &&
        bytes[kReadVersionByte] == kWalMode) {
      bytes[kWriteVersionByte] = kRollbackJournalMode;
      bytes[kReadVersionByte] = kRollbackJournalMode;
    }
    sqlite3 * raw_db = nullptr;
    const int opened = sqlite3_open_v2(":memory:", &raw_db, SQLITE_OPEN_READWRITE, nullptr);
    db_.reset(raw_db);
    if (opened != SQLITE_OK) {
      fail(source_, db_.get());
    }
    // Read-only over our bytes, which outlive the connection: sqlite neither copies nor frees
    // them.
    if (sqlite3_deserialize(db_.get(), "main", bytes, static_cast<sqlite3_int64>(database_.size()),
                            static_cast<sqlite3_int64>(database_.size()),
                            SQLITE_DESERIALIZE_READONLY) != SQLITE_OK) {
      fail(source_, db_.get());
    }

    const Statement topics = prepare(
        db_.get(),
        "SELECT id, name, type, serialization_format, offered_qos_profiles FROM topics ORDER BY id",
        source_);
    for_each_row(db_.get(), topics.get(), source_, [&](sqlite3_stmt * row) {
      TopicInfo topic{text_column(row, 1), text_column(row, 2), text_column(row, 3),
                      text_column(row, 4)};
      topic_names_[sqlite3_column_int64(row, 0)] = topic.name;
      topics_.push_back(std::move(topic));
    });
    messages_ =
        prepare(db_.get(), "SELECT topic_id, timestamp, data FROM messages ORDER BY timestamp, id",
                source_);
  }

  const std::vector<TopicInfo> & topics() const override { return topics_; }

  bool next(BagMessage & message) override
  {
    const int status = sqlite3_step(messages_.get());
    if (status == SQLITE_DONE) {
      return false;
    }
    if (status != SQLITE_ROW) {
      fail(source_, db_.get());
    }
    sqlite3_stmt * row = messages_.get();
    const sqlite3_int64 topic_id = sqlite3_column_int64(row, 0);
    const auto topic = topic_names_.find(topic_id);
    if (topic == topic_names_.end()) {
      throw BagError(source_ + ": message at " + std::to_string(sqlite3_column_int64(row, 1)) +
                     " ns names topic id " + std::to_string(topic_id) +
                     ", which the topics table does not declare");
    }
    const auto * data = static_cast<const std::uint8_t *>(sqlite3_column_blob(row, 2));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(row, 2));
    message.topic = topic->second;
    message.receive_time_ns = sqlite3_column_int64(row, 1);
    message.serialized.assign(data, data == nullptr ? data : data + size);
    return true;
  }

private:
  // Declared first so the statements and connection close before the bytes go.
  FileBytes database_;
  std::string source_;
  Database db_{nullptr, &sqlite3_close};
  Statement messages_{nullptr, &sqlite3_finalize};
  std::vector<TopicInfo> topics_;
  std::map<sqlite3_int64, std::string> topic_names_;
};

}  // namespace

std::unique_ptr<StorageFile> open_sqlite_storage(FileBytes database, const std::string & source)
{
  return std::make_unique<SqliteStorage>(std::move(database), source);
}

}  // namespace veltrax_bag
