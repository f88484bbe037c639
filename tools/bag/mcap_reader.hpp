// MCAP storage as rosbag2 writes it: the published MCAP container, read without its index.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bag/bag_types.hpp"
#include "bag/byte_cursor.hpp"
#include "bag/file_bytes.hpp"

namespace veltrax_bag
{

/// Opens an MCAP file and indexes it: every Schema, Channel and Message record, top-level or
/// inside chunks (uncompressed or zstd; a non-zero chunk CRC is checked). Topics come in
/// channel id order with the schema name as type; messages in log-time order (the recorder's
/// receive time), equal times in file order. Throws BagError "<source>: offset <n>: ..." on a
/// wrong magic, a record running past the end, a missing footer, a CRC mismatch or an
/// unsupported chunk compression such as lz4.
std::unique_ptr<StorageFile> open_mcap_storage(FileBytes file, const std::string & source);

/// CRC-32 (IEEE 802.3, as zlib), the checksum MCAP uses; `previous`, the CRC of the bytes
/// before, continues it over `bytes`.
std::uint32_t crc32(ByteView bytes, std::uint32_t previous = 0);

}  // namespace veltrax_bag
