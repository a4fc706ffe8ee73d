// Putting a whole image at a path so that a crash at any moment leaves either what was there
// before or the complete image, never a part of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bytes.h"
#include "result.h"

namespace quarn {

// The steps of a replacement, in order.
enum class ReplaceStep : std::uint8_t { CreateTemp, Write, SyncTemp, Rename, SyncDirectory };

// Writes image to a new file in the directory of path (following a symbolic link at path to
// its target), syncs it, renames it over the target and syncs the directory. A file already at
// the target keeps its permission bits; a new one gets 0666 before the umask. On failure the
// temporary file is removed and the target is as it was, unless the failure came after the
// rename (the directory sync), when the target holds the image. Errors: DbError::Io.
// crash_at (tests only) stops the replacement as a process death would at that step: nothing is
// cleaned up, half the image is written when it names Write, and an i/o error "stopped for a
// test" is returned.
Status replace_file_durably(const std::string& path, ByteSpan image,
                            std::optional<ReplaceStep> crash_at = std::nullopt);

}  // namespace quarn
