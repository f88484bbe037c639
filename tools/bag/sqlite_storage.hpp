// rosbag2's sqlite3 storage: the `topics` and `messages` tables of one .db3 file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bag/bag_types.hpp"
#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{

/// Reads a whole .db3 image held in memory (a plain file's bytes, or a decompressed one);
/// a finished recording's write-ahead log is already in the file and is not looked for;
/// messages come in timestamp order. Throws BagError naming `source` when the bytes are not
/// a database, a table or column is missing, or a message names an undeclared topic.
StorageContents read_sqlite_storage(std::vector<std::uint8_t> database, const std::string & source);

}  // namespace veltrax_bag
