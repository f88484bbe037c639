// rosbag2's sqlite3 storage: the `topics` and `messages` tables of one .db3 file.
#pragma once

#include <memory>
#include <string>

#include "bag/bag_types.hpp"
#include "bag/file_bytes.hpp"

namespace veltrax_bag
{

/// Opens a .db3 image (a mapped file, or a decompressed one) and reads its topics; messages
/// then come in timestamp order. A finished recording's write-ahead log is already in the file
/// and is not looked for. Throws BagError naming `source` when the bytes are not a database,
/// a table or column is missing, or a message names an undeclared topic.
std::unique_ptr<StorageFile> open_sqlite_storage(FileBytes database, const std::string & source);

}  // namespace veltrax_bag
