// The MCAP container's magic and record opcodes, shared by the reader and the writer.
#pragma once

#include <array>
#include <cstdint>

namespace veltrax_bag::mcap
{

/// At the start and the end of every MCAP file.
inline constexpr std::array<std::uint8_t, 8> kMagic = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Opcode : std::uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kStatistics = 0x0B,
  kSummaryOffset = 0x0E,
  kDataEnd = 0x0F,
};

}  // namespace veltrax_bag::mcap
