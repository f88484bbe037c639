// zstd decompression for compressed bag files, messages and MCAP chunks (Debian's libzstd).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{

/// Decompresses one or more zstd frames; `source` names the input in the BagError thrown on a
/// corrupt or truncated stream, or on one that decompresses to more than `max_bytes` (a
/// damaged or hostile size cannot exhaust memory where the size is known in advance).
std::vector<std::uint8_t> zstd_decompress(
    ByteView compressed, const std::string & source,
    std::size_t max_bytes = std::numeric_limits<std::size_t>::max());

}  // namespace veltrax_bag
