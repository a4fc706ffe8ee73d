// Byte stores: the Store interface every engine component is written against, the in-memory
// VecStore and the unbuffered RawFileStore. The page-cached stores live in pager.h.
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

class RawFileStore;

// The whole image in a byte vector: in-memory databases and snapshots.
class VecStore {
 public:
  VecStore() = default;
  explicit VecStore(Bytes bytes) : bytes_(std::move(bytes)) {}

  // InvalidInput "overflow" when offset + size passes 2^64 - 1.
  Status write_all_at(std::uint64_t offset, ByteSpan bytes);
  // UnexpectedEof "read past end of VecStore" (also when offset + size would overflow).
  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer);
  Result<std::uint64_t> len() {
    return sink_ == nullptr ? static_cast<std::uint64_t>(bytes_.size())
                            : spooled_end_ + (bytes_.size() - keep_);
  }
  Status sync() { return ok_status(); }
  // Shortens the vector; a greater length leaves it as it is.
  Status truncate(std::uint64_t length);

  // The image. REQUIRES: not spooling.
  const Bytes& bytes() const { return bytes_; }
  // Gives the image back (snapshot bytes); the store is empty afterwards.
  Bytes take_bytes() { return std::move(bytes_); }

  // A read-once image: the copy of a file that an open walks and then replays front to back,
  // and drops. Its replay hands back the pages of what it has applied (discard), so that the
  // copy and the state built from it are not held whole at once.
  void set_read_once() { read_once_ = true; }
  bool read_once() const { return read_once_; }
  // Hands the whole pages within bytes [from, to) back to the system. Their bytes are gone: a
  // read or write of them through the store is an internal fault, and a view of them taken from
  // bytes() reads zeros (or the old bytes, where the system declined to take them back).
  // REQUIRES: read_once(), not spooling, and each call's range starts where the last one's did.
  void discard(std::uint64_t from, std::uint64_t to);

  // Spooling, for an image built by appends that need not be held whole (a compaction's): the
  // bytes held now stay in memory, and the bytes appended after them go to sink, at their own
  // offsets, whenever about kSpoolRun of them are held. The length counts every byte; a read
  // or write of bytes already handed over fails with InvalidInput "spooled bytes cannot be read
  // or written again". REQUIRES: not spooling yet; sink outlives the spooling.
  static constexpr std::size_t kSpoolRun = std::size_t{1} << 20;
  void spool_to(RawFileStore& sink);
  // Hands the sink every byte it lacks, the ones held from the start included, so that its
  // file holds the image; the store is then empty and spools no more.
  Status finish_spool();

 private:
  // Where offset lies in bytes_ while spooling, or nothing for a spooled byte.
  std::optional<std::size_t> held_at(std::uint64_t offset) const;
  Status spool_held_tail();

  Bytes bytes_;
  // While spooling: bytes_ holds offsets [0, keep_), then offsets from spooled_end_ on; the
  // offsets in between are in the sink only.
  RawFileStore* sink_ = nullptr;
  std::size_t keep_ = 0;
  std::uint64_t spooled_end_ = 0;
  bool read_once_ = false;
  // The bytes discard handed back: [discarded_from_, discarded_to_), empty when equal.
  std::uint64_t discarded_from_ = 0;
  std::uint64_t discarded_to_ = 0;
  // Fails the call when [offset, end) meets the discarded bytes.
  void check_not_discarded(std::uint64_t offset, std::uint64_t end) const;
};

static_assert(Store<VecStore>);

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
