// The unbuffered file store. The page-cached stores live in pager.h.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "bytes.h"
#include "result.h"
#include "storage/store.h"
#include "storage/system.h"

namespace quarn {

// How RawFileStore::open treats the path. Every mode opens for reading and writing with
// close-on-exec; a created file gets permission bits 0666 before the process umask.
enum class OpenMode {
  CreateIfMissing,  // a database file: created when missing, never truncated
  Truncate,         // a compaction target: created when missing, cut to length 0
  ExistingOnly,     // a spill file: the file must exist, never truncated
};

// The unbuffered file: every call goes straight to the operating system. Reads and writes are
// positioned (pread, pwrite): they neither use nor move the file description's position.
// Operating-system failures are the system's error; interrupted calls are retried.
class RawFileStore {
 public:
  // Takes ownership of an open read-write descriptor.
  explicit RawFileStore(int fd) : fd_(fd) {}
  // Errors: the open's system error; a path holding a NUL character is InvalidInput
  // "file name contained an unexpected NUL byte".
  static Result<RawFileStore> open(const std::string& path, OpenMode mode);

  // Closes the file when destroyed; move-only.
  RawFileStore(RawFileStore&&) noexcept = default;
  RawFileStore& operator=(RawFileStore&&) noexcept = default;

  // WriteZero "failed to write whole buffer" when the system accepts 0 bytes. A failure
  // part-way may leave a prefix of the bytes in the file.
  Status write_all_at(std::uint64_t offset, ByteSpan bytes);
  // UnexpectedEof "failed to fill whole buffer" when the file ends before the buffer is full.
  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer);
  // The size the system reports for the handle (fstat), asked every time.
  Result<std::uint64_t> len();
  // fsync: data and metadata.
  Status sync();
  // ftruncate: a greater length extends the file with zero bytes.
  Status truncate(std::uint64_t length);

  int fd() const { return fd_.fd(); }

 private:
  OwnedFd fd_;
};

static_assert(Store<RawFileStore>);

}  // namespace quarn
