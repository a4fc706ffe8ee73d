// Byte stores: the in-memory VecStore and the unbuffered RawFileStore.
#include "storage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn {
namespace {

// Linux transfers at most this much per call; asking for more is implementation-defined.
constexpr std::size_t kMaxTransfer = 0x7ffff000;

// An offset beyond the signed range becomes negative and the system rejects it (EINVAL).
off_t file_offset(std::uint64_t offset) { return static_cast<off_t>(offset); }

}  // namespace

Status VecStore::write_all_at(std::uint64_t offset, ByteSpan bytes) {
  if (bytes.size() > std::numeric_limits<std::uint64_t>::max() - offset) {
    return io_error(IoErrorKind::InvalidInput, "overflow");
  }
  // A gap past the end reads as zeros.
  if (offset > bytes_.size()) bytes_.resize(static_cast<std::size_t>(offset), 0);
  // What lands inside is copied over, the rest appended: growing by zeros first would write
  // every appended byte twice.
  const auto at = static_cast<std::size_t>(offset);
  const std::size_t inside = std::min(bytes.size(), bytes_.size() - at);
  std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(inside),
            bytes_.begin() + static_cast<std::ptrdiff_t>(at));
  bytes_.insert(bytes_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(inside), bytes.end());
  return ok_status();
}

Status VecStore::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t end = buffer.size() > max - offset ? max : offset + buffer.size();
  if (end > bytes_.size()) {
    return io_error(IoErrorKind::UnexpectedEof, "read past end of VecStore");
  }
  if (!buffer.empty()) {
    std::memcpy(buffer.data(), bytes_.data() + offset, buffer.size());
  }
  return ok_status();
}

Status VecStore::truncate(std::uint64_t length) {
  if (length < bytes_.size()) bytes_.resize(static_cast<std::size_t>(length));
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
  // Positioned calls: one system call per transfer instead of a seek and a write.
  if (file_offset(offset) < 0) return io_error_from_errno(EINVAL);
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::pwrite(fd(), p, std::min(left, kMaxTransfer),
                               file_offset(offset + static_cast<std::uint64_t>(p - bytes.data())));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_error_from_errno(errno);
    }
    if (n == 0) return io_error(IoErrorKind::WriteZero, "failed to write whole buffer");
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return ok_status();
}

Status RawFileStore::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  if (file_offset(offset) < 0) return io_error_from_errno(EINVAL);
  std::uint8_t* p = buffer.data();
  std::size_t left = buffer.size();
  while (left > 0) {
    const ssize_t n = ::pread(fd(), p, std::min(left, kMaxTransfer),
                              file_offset(offset + static_cast<std::uint64_t>(p - buffer.data())));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_error_from_errno(errno);
    }
    if (n == 0) return io_error(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return ok_status();
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
