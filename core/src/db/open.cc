// The open sequence: a new image for an empty store, the 0.2 rewrite, header and superblock
// checks, tail recovery, then the state from a checkpoint or from the whole log.
#include "db/open.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>

#include <fcntl.h>

#include "db/database.h"
#include "db/open_impl.h"
#include "db/recover.h"
#include "durable_file.h"
#include "store_instances.h"

namespace quarn {
namespace {

bool is_already_exists(const DbError& error) {
  return error.is<IoError>() && error.as<IoError>().os_code == EEXIST;
}

// The regular file at location, opened; a missing one is created holding a new image, written
// so that its name appears only with the whole image behind it.
Result<RawFileStore> open_or_create(const FileLocation& location, const std::string& path) {
  for (int attempt = 0;; ++attempt) {
    QUARN_ASSIGN_OR_RETURN(std::optional<RawFileStore> file, open_regular_file(location, path));
    if (file) return std::move(*file);
    VecStore image;
    QUARN_TRY(write_new_image(image));
    Result<RawFileStore> created = create_file_durably(location, image.bytes());
    if (created.ok()) return std::move(created).value();
    if (!is_already_exists(created.error()) || attempt >= 2) return std::move(created).error();
    // Another process created it meanwhile: open that one.
  }
}

// The file's write lock, waited for: file_busy_error() when another handle keeps it.
Result<FileWriteLock> wait_for_lock(const FileStore& store) {
  QUARN_ASSIGN_OR_RETURN(std::optional<FileWriteLock> lock,
                         FileWriteLock::acquire(store.fd(), FileWriteLock::kWriteWait));
  if (!lock) return file_busy_error();
  return std::move(*lock);
}

// Lays out a new image in the file, which the open found empty, unless another handle made one
// in it meanwhile. Written into the file itself, so that other links to it still name the
// database.
Status lay_out_new_image(FileStore& store) {
  QUARN_ASSIGN_OR_RETURN(const FileWriteLock lock, wait_for_lock(store));
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
  if (len != 0) return ok_status();
  return write_new_image_in_place(store.paged().inner());
}

// Lays out the fixed area behind the 0.2 header that the open found alone in the file, unless
// another handle changed the file meanwhile.
Status lay_out_header_only(FileStore& store, ByteSpan header_read) {
  QUARN_ASSIGN_OR_RETURN(const FileWriteLock lock, wait_for_lock(store));
  RawFileStore& file = store.paged().inner();
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, file.len());
  if (len != kFileHeaderSize) return ok_status();
  std::array<std::uint8_t, kFileHeaderSize> header;
  QUARN_TRY(file.read_exact_at(0, header));
  if (!std::ranges::equal(header, header_read)) return ok_status();
  return open_detail::lay_out_fixed_area(store, kFormatMinorFixedArea);
}

// Cuts a torn tail off the file, which the open read with its log ending at safe_end, where no
// other handle holds the file's lock: one that does may be writing what looks torn. Under the
// lock the tail is walked again, in case another handle wrote it since: only what is torn now
// goes. Errors: the cut's and its sync's.
Status cut_tail_if_still_torn(FileStore& store, std::uint64_t safe_end, std::uint16_t minor) {
  QUARN_ASSIGN_OR_RETURN(const std::optional<FileWriteLock> lock,
                         FileWriteLock::acquire(store.fd(), std::chrono::milliseconds(0)));
  if (!lock) return ok_status();
  // A cache of its own: the store's may hold pages from before the lock.
  const int dup = ::fcntl(store.fd(), F_DUPFD_CLOEXEC, 0);
  if (dup < 0) return io_error_from_errno(errno);
  FileStore fresh{RawFileStore(dup)};
  std::array<std::uint8_t, kFileHeaderSize> header_bytes;
  QUARN_TRY(fresh.read_exact_at(0, header_bytes));
  const Result<FileHeader> header = decode_header(header_bytes);
  // Another handle upgraded the header since: the tail reads otherwise now; leave it.
  if (!header.ok() || header.value().minor != minor) return ok_status();
  const Result<std::uint64_t> end = truncate_end_for_recovery(fresh, safe_end, minor);
  // What the open read decides the open; a tail that no longer walks is not cut.
  if (!end.ok()) return ok_status();
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t now, fresh.len());
  if (end.value() >= now) return ok_status();
  QUARN_TRY(store.truncate(end.value()));
  return store.sync();
}

// Removes stale temporaries where no other handle is writing the file (and so perhaps
// replacing it); best effort.
void remove_stale_temporaries_when_idle(const FileStore& store, const FileLocation& location) {
  const Result<std::optional<FileWriteLock>> lock =
      FileWriteLock::acquire(store.fd(), std::chrono::milliseconds(0));
  if (lock.ok() && lock.value()) remove_stale_temporaries(location);
}

// How often an open reads the file again after another handle changed it under a layout.
constexpr int kOpenAttempts = 4;

}  // namespace

template <Store S>
Result<Database<S>> Database<S>::open(const std::string& path) requires std::same_as<S, FileStore> {
  return open_file(path, false);
}

template <Store S>
Result<Database<S>> Database<S>::open_for_reading(
    const std::string& path) requires std::same_as<S, FileStore> {
  return open_file(path, true);
}

template <Store S>
Result<Database<S>> Database<S>::open_file(const std::string& path,
                                           bool read_only) requires std::same_as<S, FileStore> {
  // The directory is resolved once: compaction and reopen act on this file whatever the
  // working directory becomes.
  QUARN_ASSIGN_OR_RETURN(FileLocation location, locate_file(path));
  QUARN_ASSIGN_OR_RETURN(RawFileStore file, open_or_create(location, path));
  FileStore store(std::move(file));
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
    QUARN_ASSIGN_OR_RETURN(const open_detail::ImageHead head,
                           open_detail::read_image_head(store, len));
    const std::uint16_t minor = head.minor;
    ReplayedState state;
    std::uint64_t file_end = len;
    switch (head.kind) {
      case open_detail::ImageHead::Kind::Empty:
        QUARN_TRY(lay_out_new_image(store));
        continue;
      case open_detail::ImageHead::Kind::HeaderOnly: {
        if (!read_only) {
          std::array<std::uint8_t, kFileHeaderSize> header;
          QUARN_TRY(store.read_exact_at(0, header));
          QUARN_TRY(lay_out_header_only(store, header));
          continue;
        }
        // The state the rewrite would give, laid out in memory only.
        VecStore image;
        QUARN_TRY(open_detail::lay_out_fixed_area(image, kFormatMinorFixedArea));
        QUARN_ASSIGN_OR_RETURN(state, open_detail::load_state(image, minor));
        break;
      }
      case open_detail::ImageHead::Kind::Log: {
        QUARN_ASSIGN_OR_RETURN(open_detail::RecoveredCopy copy,
                               open_detail::read_and_recover(store, len, minor));
        file_end = copy.safe_end;
        if (copy.safe_end < len && !read_only) {
          QUARN_TRY(cut_tail_if_still_torn(store, copy.safe_end, minor));
        }
        QUARN_ASSIGN_OR_RETURN(state, open_detail::load_copy_state(std::move(copy), minor));
        break;
      }
    }
    if (!read_only) remove_stale_temporaries_when_idle(store, location);
    Database db(path, std::move(store), std::move(state.catalog), std::move(state.latest),
                std::move(state.indexes), minor);
    db.location_ = std::move(location);
    db.file_end_ = file_end;
    db.read_only_ = read_only;
    return db;
  }
  // Each read found the file changed again under the layout it was to get.
  return file_busy_error();
}

template <Store S>
Result<Database<S>> Database<S>::open_in_memory() requires std::same_as<S, VecStore> {
  return open_with_store(kMemoryPath, VecStore());
}

template <Store S>
Result<Database<S>> Database<S>::from_snapshot_bytes(
    Bytes bytes) requires std::same_as<S, VecStore> {
  return open_with_store(kMemoryPath, VecStore(std::move(bytes)));
}

template <Store S>
Bytes Database<S>::snapshot_bytes() const requires std::same_as<S, VecStore> {
  return store_.bytes();
}

template <Store S>
    Bytes Database<S>::into_snapshot_bytes() && requires std::same_as<S, VecStore> {
  return store_.take_bytes();
}

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_DB_OPEN)

template Result<Database<FileStore>> Database<FileStore>::open(const std::string&);
template Result<Database<FileStore>> Database<FileStore>::open_for_reading(const std::string&);
template Result<Database<VecStore>> Database<VecStore>::open_in_memory();
template Result<Database<VecStore>> Database<VecStore>::from_snapshot_bytes(Bytes);
template Bytes Database<VecStore>::snapshot_bytes() const;
template Bytes Database<VecStore>::into_snapshot_bytes() &&;

}  // namespace quarn
