// Durable whole-file writes through a held directory: the image goes into an unnamed file
// where the file system allows (so a crash leaves nothing behind), is synced, and only then
// gets its name. Named temporaries, the fallback, carry their process id so that a later open
// can tell the leftovers of dead processes.
#include "durable_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn {
namespace {

// Bound on symbolic links followed, as the system's own limit for path lookup.
constexpr int kMaxSymlinkHops = 40;
constexpr std::string_view kTempInfix = ".quarn-tmp-";

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

Status sync_fd(int fd) {
  const int rc = retry_on_eintr([&] { return ::fsync(fd); });
  if (rc != 0) return io_error_from_errno(errno);
  return ok_status();
}

std::string temp_prefix(const std::string& name) { return "." + name + std::string(kTempInfix); }

std::string next_temp_name(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  return temp_prefix(name) + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1));
}

// The process id of a temporary's name ".NAME.quarn-tmp-PID-N", if it is one of name's.
std::optional<pid_t> temp_owner(std::string_view entry, const std::string& name) {
  const std::string prefix = temp_prefix(name);
  if (entry.substr(0, prefix.size()) != prefix) return std::nullopt;
  entry.remove_prefix(prefix.size());
  const std::size_t dash = entry.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 10 || dash + 1 == entry.size()) {
    return std::nullopt;
  }
  long long pid = 0;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    if (i == dash) continue;
    if (entry[i] < '0' || entry[i] > '9') return std::nullopt;
    if (i < dash) pid = pid * 10 + (entry[i] - '0');
  }
  if (pid <= 0 || pid > INT_MAX) return std::nullopt;
  return static_cast<pid_t>(pid);
}

int open_in(int dir, const char* name, int flags, mode_t mode) {
  return retry_on_eintr([&] { return ::openat(dir, name, flags, mode); });
}

// A fresh file in the directory under a name no one else uses.
Result<std::pair<std::string, RawFileStore>> create_named_temp(const FileLocation& at) {
  for (int attempt = 0;; ++attempt) {
    std::string temp = next_temp_name(at.name);
    const int fd = open_in(at.dir.fd(), temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return std::pair<std::string, RawFileStore>(std::move(temp), RawFileStore(fd));
    if (errno != EEXIST || attempt >= 100) return io_error_from_errno(errno);
  }
}

// An unnamed file in the directory, or nothing where the file system has none.
std::optional<RawFileStore> create_unnamed(const FileLocation& at) {
  const int fd = open_in(at.dir.fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd < 0) return std::nullopt;
  return RawFileStore(fd);
}

// Gives the unnamed file open as fd the name `name` in dir; fails with EEXIST when taken.
// Through /proc first, which needs no privilege; AT_EMPTY_PATH where /proc is missing.
int link_unnamed(int fd, int dir, const std::string& name) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, proc.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno == EEXIST) return EEXIST;
  if (::linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
  return errno;
}

Status write_and_sync(RawFileStore& file, const ImageWriter& write, std::optional<mode_t> mode) {
  // Without this a replaced file would take on the umask's bits instead of its own.
  if (mode && ::fchmod(file.fd(), *mode & 07777) != 0) return io_error_from_errno(errno);
  QUARN_TRY(write(file));
  return file.sync();
}

ImageWriter writer_of(ByteSpan image) {
  return [image](RawFileStore& file) { return file.write_all_at(0, image); };
}

// The image already written to source, copied in runs.
ImageWriter copy_of(RawFileStore& source) {
  return [&source](RawFileStore& file) -> Status {
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t length, source.len());
    Bytes run(static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t{1} << 20)));
    for (std::uint64_t at = 0; at < length;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length - at, run.size()));
      const std::span<std::uint8_t> piece(run.data(), n);
      QUARN_TRY(source.read_exact_at(at, piece));
      QUARN_TRY(file.write_all_at(at, piece));
      at += n;
    }
    return ok_status();
  };
}

// Tells the observer, if there is one, of a step.
void report(const ReplaceObserver& observer, ReplaceStep step, RawFileStore* file) {
  if (observer) observer(step, file);
}

Result<RawFileStore> replace_named(const FileLocation& at, const ImageWriter& write,
                                   std::optional<mode_t> mode, const ReplaceObserver& observer) {
  QUARN_ASSIGN_OR_RETURN(auto created, create_named_temp(at));
  const std::string temp = std::move(created.first);
  RawFileStore file = std::move(created.second);
  report(observer, ReplaceStep::Write, &file);
  Status written = write_and_sync(file, write, mode);
  if (written.ok()) {
    report(observer, ReplaceStep::SyncTemp, &file);
    report(observer, ReplaceStep::Link, &file);
    report(observer, ReplaceStep::Rename, &file);
  }
  if (written.ok() && ::renameat(at.dir.fd(), temp.c_str(), at.dir.fd(), at.name.c_str()) != 0) {
    written = io_error_from_errno(errno);
  }
  if (!written.ok()) {
    ::unlinkat(at.dir.fd(), temp.c_str(), 0);
    return std::move(written).error();
  }
  report(observer, ReplaceStep::SyncDirectory, &file);
  QUARN_TRY(sync_fd(at.dir.fd()));
  return file;
}

// Sets (F_WRLCK) or clears (F_UNLCK) the whole-file lock of fd's open without waiting.
int set_ofd_lock(int fd, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return retry_on_eintr([&] { return ::fcntl(fd, F_OFD_SETLK, &lock); });
}

}  // namespace

Result<std::optional<FileWriteLock>> FileWriteLock::acquire(int fd,
                                                            std::chrono::milliseconds wait) {
  OwnedFd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (own.fd() < 0) return io_error_from_errno(errno);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  // Polled: a blocking lock cannot be given a deadline without a signal.
  std::chrono::microseconds pause{50};
  for (;;) {
    if (set_ofd_lock(own.fd(), F_WRLCK) == 0) {
      return std::optional<FileWriteLock>(FileWriteLock(std::move(own)));
    }
    if (errno != EAGAIN && errno != EACCES) return io_error_from_errno(errno);
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return std::optional<FileWriteLock>();
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::microseconds{5000});
  }
}

FileWriteLock& FileWriteLock::operator=(FileWriteLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::move(other.fd_);
  }
  return *this;
}

FileWriteLock::~FileWriteLock() { release(); }

void FileWriteLock::release() {
  if (fd_.fd() < 0) return;
  // Closing the duplicate alone would not let go: the open it shares stays open.
  set_ofd_lock(fd_.fd(), F_UNLCK);
  fd_ = OwnedFd(-1);
}

DbError file_busy_error() {
  return io_error(IoErrorKind::Other,
                  "the database file is being written by another handle; wait for it, then open "
                  "the database again to write to it");
}

DbError file_changed_error() {
  return io_error(IoErrorKind::Other,
                  "the database file was changed by another handle; open the database again to "
                  "write to it");
}

Status check_file_unchanged(const FileLocation& location, int fd, std::uint64_t end) {
  struct stat own;
  if (::fstat(fd, &own) != 0) return io_error_from_errno(errno);
  if (static_cast<std::uint64_t>(own.st_size) != end) return file_changed_error();
  struct stat named;
  if (::fstatat(location.dir.fd(), location.name.c_str(), &named, 0) != 0) {
    if (errno == ENOENT) return file_changed_error();
    return io_error_from_errno(errno);
  }
  if (own.st_dev != named.st_dev || own.st_ino != named.st_ino) return file_changed_error();
  return ok_status();
}

Result<FileLocation> locate_file(const std::string& path) {
  QUARN_TRY(check_no_nul(path));
  const std::filesystem::path target = follow_symlinks(path);
  std::string name = target.filename().string();
  if (name.empty() || name == "." || name == "..") {
    // Names no file in a directory ("", "dir/", ".."): the system's own answer for the path.
    const int fd = open_in(AT_FDCWD, path.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return io_error_from_errno(errno);
    ::close(fd);
    return io_error_from_errno(EISDIR);
  }
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  int fd = open_in(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  // A directory one may search but not read still serves to look names up in.
  if (fd < 0 && errno == EACCES) {
    fd = open_in(AT_FDCWD, dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  }
  if (fd < 0) return io_error_from_errno(errno);
  return FileLocation{DirectoryHandle(fd), std::move(name)};
}

Result<std::optional<RawFileStore>> open_regular_file(const FileLocation& location,
                                                      const std::string& shown_path) {
  const auto not_regular = [&] {
    return io_error(IoErrorKind::InvalidInput,
                    "database path is not a regular file: " + shown_path);
  };
  const auto kind_of = [&](const struct stat& st) -> Status {
    if (S_ISDIR(st.st_mode)) return io_error_from_errno(EISDIR);
    if (!S_ISREG(st.st_mode)) return not_regular();
    return ok_status();
  };
  struct stat st;
  if (::fstatat(location.dir.fd(), location.name.c_str(), &st, 0) != 0) {
    if (errno == ENOENT) return std::optional<RawFileStore>();
    return io_error_from_errno(errno);
  }
  QUARN_TRY(kind_of(st));
  // Non-blocking, in case a FIFO took the name since the check.
  const int fd =
      open_in(location.dir.fd(), location.name.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) {
    if (errno == ENOENT) return std::optional<RawFileStore>();
    return io_error_from_errno(errno);
  }
  RawFileStore file(fd);
  if (::fstat(fd, &st) != 0) return io_error_from_errno(errno);
  QUARN_TRY(kind_of(st));
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return io_error_from_errno(errno);
  }
  return std::optional<RawFileStore>(std::move(file));
}

Result<bool> location_names_file(const FileLocation& location, int fd) {
  struct stat own;
  if (::fstat(fd, &own) != 0) return io_error_from_errno(errno);
  struct stat named;
  if (::fstatat(location.dir.fd(), location.name.c_str(), &named, 0) != 0) {
    if (errno == ENOENT) return false;
    return io_error_from_errno(errno);
  }
  return own.st_dev == named.st_dev && own.st_ino == named.st_ino;
}

Result<RawFileStore> replace_file_durably(const FileLocation& location, ByteSpan image,
                                          std::optional<mode_t> mode,
                                          const ReplaceObserver& observer) {
  return replace_file_durably(location, writer_of(image), mode, observer);
}

Result<RawFileStore> replace_file_durably(const FileLocation& location, const ImageWriter& write,
                                          std::optional<mode_t> mode,
                                          const ReplaceObserver& observer) {
  if (!mode) {
    struct stat existing;
    if (::fstatat(location.dir.fd(), location.name.c_str(), &existing, 0) == 0) {
      mode = existing.st_mode & 07777;
    }
  }
  report(observer, ReplaceStep::CreateTemp, nullptr);
  std::optional<RawFileStore> unnamed = create_unnamed(location);
  if (!unnamed) return replace_named(location, write, mode, observer);

  RawFileStore file = std::move(*unnamed);
  report(observer, ReplaceStep::Write, &file);
  QUARN_TRY(write_and_sync(file, write, mode));
  report(observer, ReplaceStep::SyncTemp, &file);
  report(observer, ReplaceStep::Link, &file);
  // A name cannot be linked over an existing one, so the file is named beside the target
  // first; only the rename replaces.
  std::string temp;
  int linked = EEXIST;
  for (int attempt = 0; linked == EEXIST && attempt < 100; ++attempt) {
    temp = next_temp_name(location.name);
    linked = link_unnamed(file.fd(), location.dir.fd(), temp);
  }
  if (linked != 0) {
    if (linked == EEXIST) return io_error_from_errno(EEXIST);
    // Unnamed files that cannot be linked (no /proc, no privilege): write a named one instead,
    // a copy of what is written.
    return replace_named(location, copy_of(file), mode, observer);
  }
  report(observer, ReplaceStep::Rename, &file);
  if (::renameat(location.dir.fd(), temp.c_str(), location.dir.fd(), location.name.c_str()) != 0) {
    const int saved = errno;
    ::unlinkat(location.dir.fd(), temp.c_str(), 0);
    return io_error_from_errno(saved);
  }
  report(observer, ReplaceStep::SyncDirectory, &file);
  QUARN_TRY(sync_fd(location.dir.fd()));
  return file;
}

Status replace_file_durably(const std::string& path, ByteSpan image,
                            const ReplaceObserver& observer) {
  return replace_file_durably(path, writer_of(image), observer);
}

Status replace_file_durably(const std::string& path, const ImageWriter& write,
                            const ReplaceObserver& observer) {
  QUARN_ASSIGN_OR_RETURN(const FileLocation location, locate_file(path));
  QUARN_TRY(replace_file_durably(location, write, std::nullopt, observer));
  return ok_status();
}

Result<RawFileStore> create_file_durably(const FileLocation& location, ByteSpan image) {
  const int dir = location.dir.fd();
  if (std::optional<RawFileStore> unnamed = create_unnamed(location)) {
    QUARN_TRY(write_and_sync(*unnamed, writer_of(image), std::nullopt));
    const int linked = link_unnamed(unnamed->fd(), dir, location.name);
    if (linked == EEXIST) return io_error_from_errno(EEXIST);
    if (linked == 0) {
      QUARN_TRY(sync_fd(dir));
      return std::move(*unnamed);
    }
  }
  QUARN_ASSIGN_OR_RETURN(auto created, create_named_temp(location));
  const std::string temp = std::move(created.first);
  RawFileStore file = std::move(created.second);
  Status written = write_and_sync(file, writer_of(image), std::nullopt);
  // A link, unlike a rename, never replaces a file that appeared at the name meanwhile.
  if (written.ok() && ::linkat(dir, temp.c_str(), dir, location.name.c_str(), 0) != 0) {
    written = io_error_from_errno(errno);
  }
  ::unlinkat(dir, temp.c_str(), 0);
  QUARN_TRY(written);
  QUARN_TRY(sync_fd(dir));
  return file;
}

void remove_stale_temporaries(const FileLocation& location) {
  const int listing = ::dup(location.dir.fd());
  if (listing < 0) return;
  DIR* entries = ::fdopendir(listing);
  if (entries == nullptr) {
    ::close(listing);
    return;
  }
  ::rewinddir(entries);
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(entries)) {
    const std::optional<pid_t> owner = temp_owner(entry->d_name, location.name);
    if (!owner || *owner == self) continue;
    // EPERM means the process exists under another user: its temporary may be in use.
    if (::kill(*owner, 0) == 0 || errno != ESRCH) continue;
    struct stat st;
    if (::fstatat(location.dir.fd(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode)) continue;
    ::unlinkat(location.dir.fd(), entry->d_name, 0);
  }
  ::closedir(entries);
}

}  // namespace quarn
