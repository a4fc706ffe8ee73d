// Byte stores: the Store interface every engine component is written against, the in-memory
// VecStore and ReadOnceImage, and the unbuffered RawFileStore. The page-cached stores live in
// pager.h.
#pragma once

#include <cerrno>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "bytes.h"
#include "result.h"

namespace quarn {

// Repeats a system call while it fails with EINTR; its last result.
template <std::invocable Call>
auto retry_on_eintr(Call call) {
  for (;;) {
    auto rc = call();
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

// No system call can name a path holding a NUL byte: an InvalidInput i/o error for one.
Status check_no_nul(std::string_view path);

// A flat, growable array of bytes addressed by 64-bit offsets. Every failure is DbError::Io.
//   write_all_at(offset, bytes): the store holds bytes at [offset, offset + size); it grows as
//     needed and a gap reads as zero bytes.
//   read_exact_at(offset, buffer): fills the whole buffer; a range past the end is an error.
//   len(): the current length.  sync(): makes all writes durable.  truncate(n): cuts to n.
template <class S>
concept Store = requires(S& s, std::uint64_t offset, ByteSpan in, std::span<std::uint8_t> out) {
  { s.write_all_at(offset, in) } -> std::same_as<Status>;
  { s.read_exact_at(offset, out) } -> std::same_as<Status>;
  { s.len() } -> std::same_as<Result<std::uint64_t>>;
  { s.sync() } -> std::same_as<Status>;
  { s.truncate(offset) } -> std::same_as<Status>;
};

// The whole image in a byte vector: in-memory databases and snapshots.
class VecStore {
 public:
  VecStore() = default;
  explicit VecStore(Bytes bytes) : bytes_(std::move(bytes)) {}

  // InvalidInput "overflow" when offset + size passes 2^64 - 1.
  Status write_all_at(std::uint64_t offset, ByteSpan bytes);
  // UnexpectedEof "read past end of VecStore" (also when offset + size would overflow).
  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer);
  Result<std::uint64_t> len() { return static_cast<std::uint64_t>(bytes_.size()); }
  Status sync() { return ok_status(); }
  // Shortens the vector; a greater length leaves it as it is.
  Status truncate(std::uint64_t length);

  // The image.
  const Bytes& bytes() const { return bytes_; }
  // Gives the image back (snapshot bytes); the store is empty afterwards.
  Bytes take_bytes() { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

// The copy of a file that an open reads once: recovery walks it, then replay applies it front to
// back and hands back the pages of what it has applied (discard), so that the copy and the state
// built from it are not held whole at once. Read as a VecStore is; the open never writes it.
class ReadOnceImage {
 public:
  explicit ReadOnceImage(Bytes bytes) : bytes_(std::move(bytes)) {}

  // Unsupported "a read-once image is not written".
  Status write_all_at(std::uint64_t offset, ByteSpan bytes);
  // As VecStore's. A read of discarded bytes is an internal fault.
  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer);
  Result<std::uint64_t> len() { return static_cast<std::uint64_t>(bytes_.size()); }
  Status sync() { return ok_status(); }
  // Shortens the copy (the cut of a torn tail); a greater length leaves it as it is.
  Status truncate(std::uint64_t length);

  // The image. A view of discarded bytes reads zeros (or the old bytes, where the system
  // declined to take them back).
  const Bytes& bytes() const { return bytes_; }
  // Hands the whole pages within bytes [from, to) back to the system; their bytes are gone.
  // REQUIRES: each call's range starts where the last one's did.
  void discard(std::uint64_t from, std::uint64_t to);

 private:
  Bytes bytes_;
  // The bytes discard handed back: [discarded_from_, discarded_to_), empty when equal.
  std::uint64_t discarded_from_ = 0;
  std::uint64_t discarded_to_ = 0;
};

// A store whose whole image lies in memory, read in place through bytes().
template <class S>
concept InMemoryStore = Store<S> && requires(const S& store) {
  { store.bytes() } -> std::same_as<const Bytes&>;
};

// An in-memory store that can hand back the bytes a replay has applied.
template <class S>
concept DiscardingStore = InMemoryStore<S> && requires(S& store, std::uint64_t offset) {
  store.discard(offset, offset);
};

static_assert(InMemoryStore<VecStore> && !DiscardingStore<VecStore>);
static_assert(DiscardingStore<ReadOnceImage>);

// How RawFileStore::open treats the path. Every mode opens for reading and writing with
// close-on-exec; a created file gets permission bits 0666 before the process umask.
enum class OpenMode {
  CreateIfMissing,  // a database file: created when missing, never truncated
  Truncate,         // a compaction target: created when missing, cut to length 0
  ExistingOnly,     // a spill file: the file must exist, never truncated
};

// Owns one open file descriptor and closes it when destroyed or replaced by a move; a failing
// close is ignored (nothing is buffered at this level). Move-only.
class OwnedFd {
 public:
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd();
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept;

  // -1 once moved from.
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
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
