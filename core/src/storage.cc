// Byte stores: the in-memory VecStore and ReadOnceImage, and the unbuffered RawFileStore.
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

// The reads of both in-memory stores.
Status read_in_memory(const Bytes& bytes, std::uint64_t offset, std::span<std::uint8_t> buffer) {
  if (buffer.size() > bytes.size() || offset > bytes.size() - buffer.size()) {
    return io_error(IoErrorKind::UnexpectedEof, "read past end of VecStore");
  }
  if (!buffer.empty()) std::memcpy(buffer.data(), bytes.data() + offset, buffer.size());
  return ok_status();
}

void truncate_in_memory(Bytes& bytes, std::uint64_t length) {
  if (length < bytes.size()) bytes.resize(static_cast<std::size_t>(length));
}

}  // namespace

Status VecStore::write_all_at(std::uint64_t offset, ByteSpan bytes) {
  if (bytes.size() > std::numeric_limits<std::uint64_t>::max() - offset) {
    return io_error(IoErrorKind::InvalidInput, "overflow");
  }
  const auto at = static_cast<std::size_t>(offset);
  // A gap past the end reads as zeros.
  if (at > bytes_.size()) bytes_.resize(at, 0);
  // What lands inside is copied over, the rest appended: growing by zeros first would write
  // every appended byte twice.
  const std::size_t inside = std::min(bytes.size(), bytes_.size() - at);
  std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(inside),
            bytes_.begin() + static_cast<std::ptrdiff_t>(at));
  bytes_.insert(bytes_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(inside), bytes.end());
  return ok_status();
}

Status VecStore::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  return read_in_memory(bytes_, offset, buffer);
}

Status VecStore::truncate(std::uint64_t length) {
  truncate_in_memory(bytes_, length);
  return ok_status();
}

Status ReadOnceImage::write_all_at(std::uint64_t, ByteSpan) {
  return io_error(IoErrorKind::Unsupported, "a read-once image is not written");
}

Status ReadOnceImage::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  QUARN_CHECK(
      buffer.empty() || offset + buffer.size() <= discarded_from_ || offset >= discarded_to_,
      "discarded bytes of a read-once image are read again");
  return read_in_memory(bytes_, offset, buffer);
}

Status ReadOnceImage::truncate(std::uint64_t length) {
  truncate_in_memory(bytes_, length);
  return ok_status();
}

void ReadOnceImage::discard(std::uint64_t from, std::uint64_t to) {
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
