// A fresh temporary directory per test, removed when the test ends.
#pragma once

#include <cstdint>
#include <filesystem>

#include <sys/resource.h>

#include "bytes.h"

namespace quarn::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path file(const char* name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// The whole content of a file (empty when it cannot be read), and a file made of bytes.
Bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const Bytes& bytes);

// Lowers the file-size limit so writes past `limit` bytes fail with EFBIG; restored when
// dropped. The signal that would end the process is ignored meanwhile.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::uint64_t limit);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*old_handler_)(int) = nullptr;
};

}  // namespace quarn::testing
