#include "bag/zstd_codec.hpp"

#include <zstd.h>

#include <memory>

namespace veltrax_bag
{

std::vector<std::uint8_t> zstd_decompress(ByteView compressed, const std::string & source,
                                          std::size_t max_bytes)
{
  // Streaming, because rosbag2's file compression does not always record the content size.
  const std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(),
                                                                     &ZSTD_freeDCtx);
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> block(ZSTD_DStreamOutSize());
  ZSTD_inBuffer input{compressed.data, compressed.size, 0};
  std::size_t last_result = 0;
  for (;;) {
    ZSTD_outBuffer output{block.data(), block.size(), 0};
    last_result = ZSTD_decompressStream(context.get(), &output, &input);
    if (ZSTD_isError(last_result)) {
      throw BagError(source + ": offset " + std::to_string(input.pos) +
                     ": zstd: " + ZSTD_getErrorName(last_result));
    }
    if (output.pos > max_bytes - out.size()) {
      throw BagError(source + ": offset " + std::to_string(input.pos) +
                     ": zstd data decompresses to more than " + std::to_string(max_bytes) +
                     " bytes");
    }
    out.insert(out.end(), block.data(), block.data() + output.pos);
    // A full output block may leave decoded bytes inside zstd; only a partly filled one is final.
    if (input.pos == input.size && output.pos < output.size) {
      break;
    }
  }
  // A non-zero hint after all input is consumed means the last frame was cut short.
  if (last_result != 0 || compressed.size == 0) {
    throw BagError(source + ": offset " + std::to_string(compressed.size) +
                   ": zstd stream is truncated");
  }
  return out;
}

}  // namespace veltrax_bag
