#include "bag/file_bytes.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace veltrax_bag
{

FileBytes FileBytes::map(const std::filesystem::path & path)
{
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    throw BagError(path.string() + ": cannot open: " + std::strerror(errno));
  }
  struct stat status
  {
  };
  FileBytes bytes;
  if (::fstat(descriptor, &status) != 0) {
    const int error = errno;
    ::close(descriptor);
    throw BagError(path.string() + ": cannot stat: " + std::strerror(error));
  }
  bytes.size_ = static_cast<std::size_t>(status.st_size);
  if (bytes.size_ > 0) {
    void * mapping =
        ::mmap(nullptr, bytes.size_, PROT_READ | PROT_WRITE, MAP_PRIVATE, descriptor, 0);
    if (mapping == MAP_FAILED) {
      const int error = errno;
      ::close(descriptor);
      throw BagError(path.string() + ": cannot map: " + std::strerror(error));
    }
    bytes.data_ = static_cast<std::uint8_t *>(mapping);
    bytes.mapped_ = true;
  }
  ::close(descriptor);
  return bytes;
}

FileBytes::FileBytes(std::vector<std::uint8_t> owned)
    : owned_(std::move(owned)), data_(owned_.data()), size_(owned_.size())
{
}

FileBytes::FileBytes(FileBytes && other) noexcept { *this = std::move(other); }

FileBytes & FileBytes::operator=(FileBytes && other) noexcept
{
  if (this != &other) {
    release();
    owned_ = std::move(other.owned_);
    data_ = other.mapped_ ? other.data_ : owned_.data();
    size_ = other.size_;
    mapped_ = other.mapped_;
    other.data_ = nullptr;
    other.size_ = 0;
    other.mapped_ = false;
  }
  return *this;
}

FileBytes::~FileBytes() { release(); }

void FileBytes::release()
{
  if (mapped_) {
    ::munmap(data_, size_);
  }
  mapped_ = false;
}

}  // namespace veltrax_bag
