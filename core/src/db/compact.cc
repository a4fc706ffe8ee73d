// Compaction: a fresh image holding only the live state, rebuilt through an in-memory database
// and put in place with a durable rename, so the old image stays whole until the new one is.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>

#include "db/database.h"
#include "db/durable_file.h"
#include "db/helpers.h"
#include "db/write_impl.h"
#include "pager.h"

namespace quarn {
namespace {

// Every collection registered once and stepped to its schema version, then one insert per
// live row, into rebuilt, a new in-memory database.
Status rebuild_image(Database<VecStore>& rebuilt, const Catalog& catalog,
                     const LatestRows& latest) {
  const std::vector<CollectionInfo> collections = catalog.collections();
  for (const CollectionInfo& info : collections) {
    if (!info.primary_field) return SchemaError::NoPrimaryKey{info.collection_id};
    QUARN_ASSIGN_OR_RETURN(const auto registered,
                           rebuilt.register_collection_with_indexes(
                               info.name, info.fields, info.indexes, *info.primary_field));
    if (registered.first != info.collection_id) {
      return SchemaError::IncompatibleChange{"collection id mismatch during compaction"};
    }
    for (std::uint64_t version = 2; version <= info.schema_version; ++version) {
      QUARN_TRY(rebuilt.register_schema_version_with_indexes_force(info.collection_id, info.fields,
                                                                   info.indexes));
    }
  }
  for (const CollectionInfo& info : collections) {
    for (const auto entry : latest.rows_of(info.collection_id)) {
      QUARN_TRY(rebuilt.insert(info.collection_id, entry.row.to_row()));
    }
  }
  return ok_status();
}

// The rebuild written into file as it goes: the image's log leaves memory in runs
// (VecStore::spool_to), so a compaction holds the state it builds, not also the whole image.
Status rebuild_into(Database<VecStore>& rebuilt, VecStore& store, RawFileStore& file,
                    const Catalog& catalog, const LatestRows& latest) {
  store.spool_to(file);
  QUARN_TRY(rebuild_image(rebuilt, catalog, latest));
  return store.finish_spool();
}

// Room in the rebuilt tables for the rows they will copy, so that they are not copied as they
// grow: the copies hold the same images under the same keys.
void reserve_tables(LatestRows& rebuilt, const Catalog& catalog, const LatestRows& latest) {
  for (const CollectionInfo& info : catalog.collections()) {
    rebuilt.reserve(info.collection_id, latest.bytes_of(info.collection_id),
                    latest.size_of(info.collection_id));
  }
}

// Whether path names the file open as fd (same device and inode), whatever its spelling.
Result<bool> path_names_file(const std::string& path, int fd) {
  QUARN_TRY(check_no_nul(path));
  struct stat own;
  if (::fstat(fd, &own) != 0) return io_error_from_errno(errno);
  struct stat at_path;
  if (::stat(path.c_str(), &at_path) != 0) {
    if (errno == ENOENT) return false;
    return io_error_from_errno(errno);
  }
  return own.st_dev == at_path.st_dev && own.st_ino == at_path.st_ino;
}

// The write lock of the regular file at location, if one is there that this process may open
// for writing; nothing otherwise, for the replacement to report what is wrong. Errors:
// file_busy_error() while another handle holds it.
Result<std::optional<FileWriteLock>> lock_file_at(const FileLocation& location) {
  const int fd = retry_on_eintr([&] {
    return ::openat(location.dir.fd(), location.name.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  });
  if (fd < 0) return std::optional<FileWriteLock>();
  const OwnedFd file(fd);
  struct stat st;
  if (::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return std::optional<FileWriteLock>();
  QUARN_ASSIGN_OR_RETURN(std::optional<FileWriteLock> lock,
                         FileWriteLock::acquire(file.fd(), FileWriteLock::kWriteWait));
  if (!lock) return file_busy_error();
  return lock;
}

}  // namespace

template <Store S>
Status Database<S>::compact_to(const std::string& dest_path) requires std::same_as<S, FileStore> {
  // Replacing the database's own file would pull it from under this handle.
  QUARN_ASSIGN_OR_RETURN(const bool own_file, path_names_file(dest_path, store_.fd()));
  if (own_file) {
    return io_error(IoErrorKind::InvalidInput,
                    "compaction target is the database's own file; use compact instead");
  }
  QUARN_ASSIGN_OR_RETURN(Database<VecStore> rebuilt, Database<VecStore>::open_in_memory());
  reserve_tables(rebuilt.latest_, catalog(), latest());
  QUARN_ASSIGN_OR_RETURN(const FileLocation dest, locate_file(dest_path));
  // A database another handle may be writing is not pulled from under that write.
  QUARN_ASSIGN_OR_RETURN(const std::optional<FileWriteLock> dest_lock, lock_file_at(dest));
  QUARN_TRY(replace_file_durably(dest, [&](RawFileStore& file) {
    return rebuild_into(rebuilt, rebuilt.store_, file, catalog(), latest());
  }));
  return ok_status();
}

template <Store S>
Status Database<S>::compact_in_place() requires std::same_as<S, FileStore> {
  if (read_only_) return check_writable();
  QUARN_ASSIGN_OR_RETURN(Database<VecStore> rebuilt, Database<VecStore>::open_in_memory());
  reserve_tables(rebuilt.latest_, catalog(), latest());
  // A handle made without open has no location yet: resolve its path now.
  if (!location_) {
    QUARN_ASSIGN_OR_RETURN(location_, locate_file(path_));
  }
  // Held until the handle is over the new file: a replacement from a state the file has moved
  // past would drop what other handles wrote.
  QUARN_ASSIGN_OR_RETURN(const std::optional<FileWriteLock> own_lock, lock_file_for_write());
  const int own_fd = store_.fd();
  struct stat own;
  if (::fstat(own_fd, &own) != 0) return io_error_from_errno(errno);
  // The new file is locked before it gets the name, so no handle that opens it there writes it
  // before this one is over it.
  std::optional<FileWriteLock> new_lock;
  std::uint64_t image_len = 0;
  Result<RawFileStore> replaced = replace_file_durably(
      *location_,
      [&](RawFileStore& file) -> Status {
        QUARN_ASSIGN_OR_RETURN(new_lock, FileWriteLock::acquire(file.fd(), {}));
        QUARN_TRY(rebuild_into(rebuilt, rebuilt.store_, file, catalog(), latest()));
        QUARN_ASSIGN_OR_RETURN(image_len, file.len());
        return ok_status();
      },
      static_cast<mode_t>(own.st_mode & 07777));
  if (replaced.ok()) {
    // The handle goes on over the new file, held through its descriptor (the file renamed into
    // place, whatever happens to the name), with the state the rebuild holds: what a reopen of
    // the image would replay, without replaying it.
    FileLocation location = std::move(*location_);
    // What the old state held, about what its replacement frees.
    const std::size_t freed = latest().bytes_held();
    *this = Database(std::move(path_), FileStore(std::move(replaced).value()),
                     std::move(rebuilt.catalog_), std::move(rebuilt.latest_),
                     std::move(rebuilt.indexes_), rebuilt.format_minor_);
    location_ = std::move(location);
    file_end_ = image_len;
    release_freed_memory(freed);
    return ok_status();
  }
  Status done = std::move(replaced).error();
  // Once the rename happened this handle's descriptor holds the old image under no name, where
  // writes would be lost: it keeps serving reads of its state but refuses writes.
  Result<bool> still_own = location_names_file(*location_, own_fd);
  if (!still_own.ok() || !still_own.value()) write_poisoned_ = true;
  return done;
}

template Status Database<FileStore>::compact_to(const std::string&);
template Status Database<FileStore>::compact_in_place();

}  // namespace quarn
