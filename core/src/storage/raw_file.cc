#include "storage/raw_file.h"

#include <algorithm>
#include <cerrno>
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
