// zstd decompression for compressed bag files, messages and MCAP chunks (Debian's libzstd).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{

/// Decompresses one or more zstd frames; `source` names the input in the BagError thrown on a
/// corrupt or truncated stream.
std::vector<std::uint8_t> zstd_decompress(ByteView compressed, const std::string & source);

}  // namespace veltrax_bag
