// Where a database file lives, and putting a whole image there so that a crash at any moment
// leaves either what was there before or the complete image, never a part of it, and no
// temporary file that a later open does not remove.
#pragma once

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
