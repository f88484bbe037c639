// What the tests of bag/ share: byte views of plain vectors, a scratch directory per test, and
// the text of the BagError a call throws.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bag/byte_cursor.hpp"

namespace veltrax_bag_test
{

using Bytes = std::vector<std::uint8_t>;

inline veltrax_bag::ByteView view(const Bytes & bytes) { return {bytes.data(), bytes.size()}; }

/// The text of the BagError `action` throws; empty when it throws none, so a missing refusal
/// fails the caller's check of the text.
inline std::string bag_error_text(const std::function<void()> & action)
{
  try {
    action();
  } catch (const veltrax_bag::BagError & error) {
    return error.what();
  }
  return "";
}

/// A fresh directory named after the running test and the process, removed with its contents.
class ScratchDirectory
{
public:
  ScratchDirectory()
      : path_(std::filesystem::temp_directory_path() /
              ("bag_test_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
               std::to_string(::getpid())))
  {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDirectory() { std::filesystem::remove_all(path_); }
  const std::filesystem::path & path() const { return path_; }

private:
  std::filesystem::path path_;
};

}  // namespace veltrax_bag_test
