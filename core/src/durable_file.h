// Where a database file lives, putting a whole image there so that a crash at any moment
// leaves either what was there before or the complete image, never a part of it, and no
// temporary file that a later open does not remove, and the lock under which one handle at a
// time writes a file that several may have open.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include <sys/types.h>

#include "bytes.h"
#include "result.h"
#include "storage.h"

namespace quarn {

// A directory held open: names looked up through it stay in that directory whatever the
// working directory becomes. Move-only; closes the descriptor.
using DirectoryHandle = OwnedFd;

// A file named in a held directory.
struct FileLocation {
  DirectoryHandle dir;
  std::string name;
};

// Resolves path once: symbolic links at its last component are followed to their target, and
// the target's directory is opened. The file itself need not exist. Errors: DbError::Io (the
// directory's open; InvalidInput for a NUL in the path; "Is a directory" when the path ends in
// no file name, such as "dir/" or "..").
Result<FileLocation> locate_file(const std::string& path);

// Opens the regular file at location for reading and writing (close-on-exec), or nothing when
// no file has the name. Anything else at the name is refused before it is opened, so a FIFO or
// a device is never opened: a directory with the system's "Is a directory", the rest with the
// i/o error "database path is not a regular file: " and shown_path.
Result<std::optional<RawFileStore>> open_regular_file(const FileLocation& location,
                                                      const std::string& shown_path);

// Whether the file open as fd is the one at location (same device and inode). A missing name
// is false.
Result<bool> location_names_file(const FileLocation& location, int fd);

// The exclusive write lock of a database file: an open-file-description lock (F_OFD_SETLK) over
// the whole file, so it excludes every other open of the file, in this process or another, but
// not a descriptor that shares this one's open (a dup, or a fork's copy). Readers take none.
// Released when dropped; it holds its own duplicate of the descriptor, so it stays valid however
// the descriptor it was taken through is closed or reused. Move-only.
class FileWriteLock {
 public:
  // How long a write waits for another handle's lock before it is refused: long enough to ride
  // over another handle's commit, too short to look like a hang.
  static constexpr std::chrono::milliseconds kWriteWait{200};

  // Takes the lock on the file open as fd, waiting at most `wait` while another open holds it;
  // nothing when that open still holds it then. Errors: DbError::Io from the system.
  static Result<std::optional<FileWriteLock>> acquire(int fd, std::chrono::milliseconds wait);

  FileWriteLock(FileWriteLock&&) noexcept = default;
  FileWriteLock& operator=(FileWriteLock&&) noexcept;
  ~FileWriteLock();

  // Lets go now rather than when dropped.
  void release();

 private:
  explicit FileWriteLock(OwnedFd fd) : fd_(std::move(fd)) {}
  OwnedFd fd_;
};

// The i/o error of a write refused because another handle holds the file's write lock.
DbError file_busy_error();
// The i/o error of a write refused because the file is no longer the one this handle read:
// another handle appended to it or replaced it.
DbError file_changed_error();

// A store over a database file that other handles may share: writes to it take its lock.
template <class S>
concept SharedFileStore = Store<S> && requires(const S& store) {
  { store.fd() } -> std::same_as<int>;
};

// Whether the file open as fd is still the one at location and ends at `end`, as a handle that
// last saw it `end` bytes long expects before it writes: file_changed_error() if not.
// REQUIRES: the caller holds the file's FileWriteLock.
Status check_file_unchanged(const FileLocation& location, int fd, std::uint64_t end);

// The steps of a replacement, in order.
enum class ReplaceStep : std::uint8_t { CreateTemp, Write, SyncTemp, Link, Rename, SyncDirectory };

// Told of each step of a replacement where it is reached: CreateTemp before the new file is
// made, Write before the image goes into it, SyncTemp and Link once it is written and synced,
// Rename before the rename and SyncDirectory after it. `file` is the new file (null before it
// exists). A fallback to a named temporary reports steps again. It may end the process, which
// then leaves what a process death at that step leaves.
using ReplaceObserver = std::function<void(ReplaceStep step, RawFileStore* file)>;

// Writes a whole image into a new, empty file from offset 0; called at most once per file.
using ImageWriter = std::function<Status(RawFileStore& file)>;

// Writes image to a new file in location's directory (unnamed where the file system allows,
// else a temporary name), syncs it, names it, renames it over location.name and syncs the
// directory. The new file gets the permission bits `mode` (07777 bits), or, without one, those
// of a file already at the name, else 0666 before the umask. Returns the new file, open. On
// failure no temporary name is left and the target is as it was, unless the failure came after
// the rename (the directory sync), when the target holds the image. Errors: DbError::Io.
// observer, when given, is told of each step.
Result<RawFileStore> replace_file_durably(const FileLocation& location, ByteSpan image,
                                          std::optional<mode_t> mode = std::nullopt,
                                          const ReplaceObserver& observer = {});

// The same with the image written by write when the Write step is reached, so that an image
// need not be held whole; its errors fail the replacement as a write's would.
Result<RawFileStore> replace_file_durably(const FileLocation& location, const ImageWriter& write,
                                          std::optional<mode_t> mode = std::nullopt,
                                          const ReplaceObserver& observer = {});

// The same for a path, resolved now (following symbolic links at it).
Status replace_file_durably(const std::string& path, ByteSpan image,
                            const ReplaceObserver& observer = {});
Status replace_file_durably(const std::string& path, const ImageWriter& write,
                            const ReplaceObserver& observer = {});

// Makes location.name a new file holding image, synced, only while no file has that name: the
// name appears with the complete image or not at all (0666 before the umask). Returns the new
// file, open. Errors: DbError::Io; AlreadyExists when a file took the name meanwhile.
Result<RawFileStore> create_file_durably(const FileLocation& location, ByteSpan image);

// Removes the temporary files that replacements of location.name left behind in processes that
// are no longer alive (a crash between naming and renaming, or where no unnamed file could be
// made). Best effort: errors are ignored.
void remove_stale_temporaries(const FileLocation& location);

}  // namespace quarn
