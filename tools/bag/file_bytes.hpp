// The bytes of one storage file: mapped from disk, so a recording of many gigabytes is paged in
// as it is read rather than copied to memory, or owned after decompression.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{

class FileBytes
{
public:
  /// Maps `path` copy-on-write: writes change only this process's view. Throws BagError
  /// naming the file when it cannot be opened or mapped.
  static FileBytes map(const std::filesystem::path & path);
  explicit FileBytes(std::vector<std::uint8_t> owned);
  FileBytes(FileBytes && other) noexcept;
  FileBytes & operator=(FileBytes && other) noexcept;
  FileBytes(const FileBytes &) = delete;
  FileBytes & operator=(const FileBytes &) = delete;
  ~FileBytes();

  std::uint8_t * data() { return data_; }
  std::size_t size() const { return size_; }
  ByteView view() const { return {data_, size_}; }

private:
  FileBytes() = default;
  void release();

  std::vector<std::uint8_t> owned_;
  std::uint8_t * data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};

}  // namespace veltrax_bag
