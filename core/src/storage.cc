// Byte stores: the in-memory VecStore and the unbuffered RawFileStore.
#include "storage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn {
namespace {

// Linux transfers at most this much per call; asking for more is implementation-defined.
constexpr std::size_t kMaxTransfer = 0x7ffff000;

// An offset beyond the signed range becomes negative and the system rejects it (EINVAL).
off_t file_offset(std::uint64_t offset) { return static_cast<off_t>(offset); }

// Moves all of bytes to or from the file at offset with call(at, count, file offset), a pread or
// pwrite: positioned calls, one system call per transfer instead of a seek and a read or write.
// Interrupted calls are retried; a call that moves nothing fails with (stalled, message).
template <class Byte, class Call>
Status transfer_all(std::uint64_t offset, std::span<Byte> bytes, IoErrorKind stalled,
                    const char* message, Call call) {
  if (file_offset(offset) < 0) return io_error_from_errno(EINVAL);
  Byte* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = call(p, std::min(left, kMaxTransfer),
                           file_offset(offset + static_cast<std::uint64_t>(p - bytes.data())));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_error_from_errno(errno);
    }
    if (n == 0) return io_error(stalled, message);
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return ok_status();
}

}  // namespace

namespace {

Status spooled_bytes_touched() {
  return io_error(IoErrorKind::InvalidInput, "spooled bytes cannot be read or written again");
}

}  // namespace

std::optional<std::size_t> VecStore::held_at(std::uint64_t offset) const {
  if (offset < keep_) return static_cast<std::size_t>(offset);
  if (offset < spooled_end_) return std::nullopt;
  return keep_ + static_cast<std::size_t>(offset - spooled_end_);
}

void VecStore::check_not_discarded(std::uint64_t offset, std::uint64_t end) const {
  QUARN_CHECK(end <= discarded_from_ || offset >= discarded_to_ || offset == end,
              "discarded bytes of a read-once image are touched again");
}

void VecStore::discard(std::uint64_t from, std::uint64_t to) {
  QUARN_CHECK(read_once_ && sink_ == nullptr, "discarding bytes of a store that is not read-once");
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  to = std::min<std::uint64_t>(to, bytes_.size());
  if (from >= to) return;
  const auto base = reinterpret_cast<std::uintptr_t>(bytes_.data());
  const std::uintptr_t first = (base + static_cast<std::uintptr_t>(from) + page - 1) / page * page;
  const std::uintptr_t last = (base + static_cast<std::uintptr_t>(to)) / page * page;
  if (first >= last) return;
  // Anonymous private memory reads as zeros once handed back; nothing reads it again.
  const int rc = ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  if (rc != 0) return;  // a hint the system may decline: the bytes simply stay
  if (discarded_to_ == discarded_from_) discarded_from_ = first - base;
  discarded_to_ = last - base;
}

Status VecStore::write_all_at(std::uint64_t offset, ByteSpan bytes) {
  if (bytes.size() > std::numeric_limits<std::uint64_t>::max() - offset) {
    return io_error(IoErrorKind::InvalidInput, "overflow");
  }
  check_not_discarded(offset, offset + bytes.size());
  std::size_t at = static_cast<std::size_t>(offset);
  if (sink_ != nullptr) {
    // The held head, or the held tail; never across what lies in the sink only.
    const std::optional<std::size_t> held = held_at(offset);
    const bool in_head = offset + bytes.size() <= keep_;
    if (!held || (offset < keep_ && !in_head)) return spooled_bytes_touched();
    at = *held;
  }
  // A gap past the end reads as zeros.
  if (at > bytes_.size()) bytes_.resize(at, 0);
  // What lands inside is copied over, the rest appended: growing by zeros first would write
  // every appended byte twice.
  const std::size_t inside = std::min(bytes.size(), bytes_.size() - at);
  std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(inside),
            bytes_.begin() + static_cast<std::ptrdiff_t>(at));
  bytes_.insert(bytes_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(inside), bytes.end());
  if (sink_ != nullptr && bytes_.size() - keep_ >= kSpoolRun) return spool_held_tail();
  return ok_status();
}

Status VecStore::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t end = buffer.size() > max - offset ? max : offset + buffer.size();
  check_not_discarded(offset, end);
  std::size_t at = static_cast<std::size_t>(offset);
  if (sink_ != nullptr) {
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t length, len());
    if (end > length) return io_error(IoErrorKind::UnexpectedEof, "read past end of VecStore");
    const std::optional<std::size_t> held = held_at(offset);
    if (!held || (offset < keep_ && end > keep_)) return spooled_bytes_touched();
    at = *held;
  } else if (end > bytes_.size()) {
    return io_error(IoErrorKind::UnexpectedEof, "read past end of VecStore");
  }
  if (!buffer.empty()) std::memcpy(buffer.data(), bytes_.data() + at, buffer.size());
  return ok_status();
}

Status VecStore::truncate(std::uint64_t length) {
  if (sink_ != nullptr) {
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t now, len());
    if (length >= now) return ok_status();
    const std::optional<std::size_t> held = held_at(length);
    if (!held || length < keep_) return spooled_bytes_touched();
    bytes_.resize(*held);
    return ok_status();
  }
  if (length < bytes_.size()) bytes_.resize(static_cast<std::size_t>(length));
  return ok_status();
}

void VecStore::spool_to(RawFileStore& sink) {
  QUARN_CHECK(sink_ == nullptr, "a store spooled twice");
  sink_ = &sink;
  keep_ = bytes_.size();
  spooled_end_ = keep_;
}

Status VecStore::spool_held_tail() {
  const ByteSpan tail = ByteSpan(bytes_).subspan(keep_);
  QUARN_TRY(sink_->write_all_at(spooled_end_, tail));
  spooled_end_ += tail.size();
  bytes_.resize(keep_);
  return ok_status();
}

Status VecStore::finish_spool() {
  QUARN_CHECK(sink_ != nullptr, "finishing a store that does not spool");
  QUARN_TRY(spool_held_tail());
  QUARN_TRY(sink_->write_all_at(0, ByteSpan(bytes_).first(keep_)));
  *this = VecStore();
  return ok_status();
}

Status check_no_nul(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return io_error(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
  }
  return ok_status();
}

Result<RawFileStore> RawFileStore::open(const std::string& path, OpenMode mode) {
  QUARN_TRY(check_no_nul(path));
  int flags = O_RDWR | O_CLOEXEC;
  switch (mode) {
    case OpenMode::CreateIfMissing:
      flags |= O_CREAT;
      break;
    case OpenMode::Truncate:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OpenMode::ExistingOnly:
      break;
  }
  const int fd = retry_on_eintr([&] { return ::open(path.c_str(), flags, 0666); });
  if (fd < 0) return io_error_from_errno(errno);
  return RawFileStore(fd);
}

OwnedFd::~OwnedFd() {
  if (fd_ >= 0) ::close(fd_);
}

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

Status RawFileStore::write_all_at(std::uint64_t offset, ByteSpan bytes) {
  return transfer_all(offset, bytes, IoErrorKind::WriteZero, "failed to write whole buffer",
                      [&](const std::uint8_t* at, std::size_t count, off_t from) {
                        return ::pwrite(fd(), at, count, from);
                      });
}

Status RawFileStore::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  return transfer_all(offset, buffer, IoErrorKind::UnexpectedEof, "failed to fill whole buffer",
                      [&](std::uint8_t* at, std::size_t count, off_t from) {
                        return ::pread(fd(), at, count, from);
                      });
}

Result<std::uint64_t> RawFileStore::len() {
  struct stat st;
  if (::fstat(fd(), &st) != 0) return io_error_from_errno(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

Status RawFileStore::sync() {
  const int rc = retry_on_eintr([&] { return ::fsync(fd()); });
  if (rc != 0) return io_error_from_errno(errno);
  return ok_status();
}

Status RawFileStore::truncate(std::uint64_t length) {
  const int rc = retry_on_eintr([&] { return ::ftruncate(fd(), static_cast<off_t>(length)); });
  if (rc != 0) return io_error_from_errno(errno);
  return ok_status();
}

}  // namespace quarn
