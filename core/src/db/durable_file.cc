// Durable whole-file replacement: write beside, sync, rename over, sync the directory.
#include "db/durable_file.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage.h"

namespace quarn {
namespace {

// Bound on symbolic links followed, as the system's own limit for path lookup.
constexpr int kMaxSymlinkHops = 40;

std::filesystem::path follow_symlinks(std::filesystem::path path) {
  for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) return path;
    std::filesystem::path target = std::filesystem::read_symlink(path, ec);
    if (ec) return path;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

Status sync_directory(const std::filesystem::path& dir) {
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return io_error_from_errno(errno);
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  const int saved = errno;
  ::close(fd);
  if (rc != 0) return io_error_from_errno(saved);
  return ok_status();
}

// Creates a fresh file with a name no one else uses in dir; returns its path and descriptor.
Result<std::pair<std::filesystem::path, int>> create_temp_beside(const std::filesystem::path& dir,
                                                                 const std::string& name,
                                                                 mode_t mode) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0;; ++attempt) {
    const std::filesystem::path temp =
        dir / ("." + name + ".quarn-tmp-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter.fetch_add(1)));
    int fd;
    do {
      fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return std::pair<std::filesystem::path, int>(temp, fd);
    if (errno != EEXIST || attempt >= 100) return io_error_from_errno(errno);
  }
}

}  // namespace

Status replace_file_durably(const std::string& path, ByteSpan image,
                            std::optional<ReplaceStep> crash_at) {
  const auto stopped = [] { return io_error(IoErrorKind::Other, "stopped for a test"); };
  if (path.find('\0') != std::string::npos) {
    return io_error(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
  }
  const std::filesystem::path target = follow_symlinks(path);
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";

  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (crash_at == ReplaceStep::CreateTemp) return stopped();
  QUARN_ASSIGN_OR_RETURN(auto created, create_temp_beside(dir, target.filename().string(), 0666));
  const std::filesystem::path temp = created.first;
  RawFileStore file(created.second);

  Status written = ok_status();
  // Without this a replaced file would take on the umask's bits instead of its own.
  if (exists && ::fchmod(file.fd(), existing.st_mode & 07777) != 0) {
    written = io_error_from_errno(errno);
  }
  if (written.ok() && crash_at == ReplaceStep::Write) {
    ignore_error(file.write_all_at(0, image.first(image.size() / 2)), "stopping anyway");
    return stopped();
  }
  if (written.ok()) written = file.write_all_at(0, image);
  if (written.ok() && crash_at == ReplaceStep::SyncTemp) return stopped();
  if (written.ok()) written = file.sync();
  if (written.ok() && crash_at == ReplaceStep::Rename) return stopped();
  if (written.ok() && ::rename(temp.c_str(), target.c_str()) != 0) {
    written = io_error_from_errno(errno);
  }
  if (!written.ok()) {
    ::unlink(temp.c_str());
    return written;
  }
  if (crash_at == ReplaceStep::SyncDirectory) return stopped();
  return sync_directory(dir);
}

}  // namespace quarn
