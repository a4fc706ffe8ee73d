// Compaction: a fresh image holding only the live state, encoded as a new database would log it
// and put in place with a durable rename, so the old image stays whole until the new one is.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>

#include "db/database.h"
#include "db/helpers.h"
#include "db/memory.h"
#include "db/registration.h"
#include "db/write_impl.h"
#include "durable_file.h"
#include "file_format.h"
#include "manifest.h"
#include "pager.h"
#include "publish.h"
#include "segments/writer.h"
#include "superblock.h"
#include "txn.h"

namespace quarn {
namespace {

// A compacted image: what a new in-memory database's log holds once each collection is
// registered and stepped to its schema version and each live row inserted, every one a commit
// of its own. The same bytes, encoded straight into the file instead of made by those commits:
// the log goes out in runs as it grows, the superblocks are only counted, and the fixed area,
// which names the last two, is written last.
class CompactedImage {
 public:
  explicit CompactedImage(RawFileStore& file) : file_(file) {
    // A new image's log: the manifest that its creation published into slot B.
    slots_.a = Superblock{};
    slots_.a->generation = 1;
    publish_manifest();
  }

  // One framed transaction, with the next id, and its publish.
  Status commit(std::span<const SegmentView> segments) {
    ++txn_id_;
    encode_txn_payload_v0(txn_id_, marker_);
    append_encoded_segment(SegmentType::TxnBegin, marker_, run_);
    for (const SegmentView& segment : segments) {
      append_encoded_segment(segment.type, segment.payload, run_);
    }
    append_encoded_segment(SegmentType::TxnCommit, marker_, run_);
    marker_.clear();
    publish_manifest();
    if (run_.size() >= kRun) return flush();
    return ok_status();
  }

  // Writes what is held and then the fixed area; the image's length.
  Result<std::uint64_t> finish() {
    QUARN_TRY(flush());
    Bytes fixed;
    fixed.reserve(kDataStart);
    encode_file_header(FileHeader{}, fixed);
    encode_superblock(*slots_.a, fixed);
    encode_superblock(*slots_.b, fixed);
    QUARN_CHECK(fixed.size() == kDataStart, "fixed area of a compacted image");
    QUARN_TRY(file_.write_all_at(0, fixed));
    return run_at_;
  }

 private:
  static constexpr std::size_t kRun = std::size_t{1} << 20;

  std::uint64_t end() const { return run_at_ + run_.size(); }
  void publish_manifest() {
    const std::uint64_t manifest_at = end();
    manifest_.clear();
    encode_manifest_v0(ManifestV0{manifest_at, kManifestSegmentLen}, manifest_);
    append_encoded_segment(SegmentType::Manifest, manifest_, run_);
    const Publication next = next_publication(slots_, manifest_at);
    (next.slot == SuperblockSlot::A ? slots_.a : slots_.b) = next.superblock;
  }
  Status flush() {
    QUARN_TRY(file_.write_all_at(run_at_, run_));
    run_at_ += run_.size();
    run_.clear();
    return ok_status();
  }

  RawFileStore& file_;
  Bytes run_;
  std::uint64_t run_at_ = kDataStart;
  Bytes marker_;
  Bytes manifest_;
  std::uint64_t txn_id_ = 0;
  SuperblockSlots slots_;
};

// The state a compacted image replays to, built beside it.
struct CompactedState {
  Catalog catalog;
  LatestRows latest;
  IndexState indexes;
};

// Writes the compacted image of catalog and latest into file, as a new database that registers
// every collection, steps it to its schema version and inserts every live row would write it,
// with the same checks and errors; built receives that database's state. The image's length.
Result<std::uint64_t> write_compacted(RawFileStore& file, const Catalog& catalog,
                                      const LatestRows& latest, CompactedState& built) {
  CompactedImage image(file);
  auto commit_catalog_entry = [&](CatalogRecordWire entry) -> Status {
    const Bytes payload = encode_catalog_payload(entry);
    QUARN_TRY(image.commit(std::array{SegmentView{SegmentType::Catalog, payload}}));
    apply_checked_entry(built.catalog, std::move(entry));
    return ok_status();
  };
  const std::vector<CollectionInfo> collections = catalog.collections();
  for (const CollectionInfo& info : collections) {
    if (!info.primary_field) return SchemaError::NoPrimaryKey{info.collection_id};
    QUARN_ASSIGN_OR_RETURN(CatalogRecordWire created,
                           collection_creation_entry(built.catalog, info.name, info.fields,
                                                     info.indexes, *info.primary_field));
    if (std::get<CatalogRecordWire::CreateCollection>(created.value()).collection_id !=
        info.collection_id) {
      return SchemaError::IncompatibleChange{"collection id mismatch during compaction"};
    }
    QUARN_TRY(commit_catalog_entry(std::move(created)));
    for (std::uint64_t version = 2; version <= info.schema_version; ++version) {
      QUARN_ASSIGN_OR_RETURN(
          CatalogRecordWire stepped,
          schema_version_entry(built.catalog, info.collection_id, info.fields, info.indexes));
      QUARN_TRY(commit_catalog_entry(std::move(stepped)));
    }
  }
  for (const CollectionInfo& info : collections) {
    const std::uint32_t id = info.collection_id;
    // Made at the first row: an insert meets the definition's errors only with a row.
    std::optional<InsertPlanner> planner;
    for (const auto entry : latest.rows_of(id)) {
      if (!planner) {
        QUARN_ASSIGN_OR_RETURN(InsertPlanner made, InsertPlanner::make(built.catalog, id));
        planner.emplace(std::move(made));
      }
      // Planned under the current definition, as an insert into the new database would be.
      QUARN_TRY(planner->plan(entry.row));
      QUARN_TRY(check_unique_insertions(built.indexes, id, planner->index_entries()));
      const std::array both{SegmentView{SegmentType::Index, planner->index_payload()},
                            SegmentView{SegmentType::Record, planner->payload()}};
      QUARN_TRY(image.commit(planner->index_entries().empty() ? std::span(both).subspan(1)
                                                              : std::span(both)));
      built.latest.put_image(id, planner->pk_key(), planner->image());
      for (const IndexEntryView& index_entry : planner->index_entries()) {
        const Status applied = built.indexes.apply(index_entry);
        QUARN_CHECK(applied.ok(), "checked index entry refused");
      }
    }
  }
  return image.finish();
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
  QUARN_ASSIGN_OR_RETURN(const FileLocation dest, locate_file(dest_path));
  // A database another handle may be writing is not pulled from under that write.
  QUARN_ASSIGN_OR_RETURN(const std::optional<FileWriteLock> dest_lock, lock_file_at(dest));
  CompactedState built;
  reserve_tables(built.latest, catalog(), latest());
  const ImageWriter write = [&](RawFileStore& file) -> Status {
    QUARN_TRY(write_compacted(file, catalog(), latest(), built));
    return ok_status();
  };
  QUARN_TRY(replace_file_durably(dest, write));
  return ok_status();
}

template <Store S>
Status Database<S>::compact_in_place() requires std::same_as<S, FileStore> {
  if (read_only_) return check_writable();
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
  CompactedState built;
  reserve_tables(built.latest, catalog(), latest());
  std::uint64_t image_len = 0;
  Result<RawFileStore> replaced = replace_file_durably(
      *location_,
      [&](RawFileStore& file) -> Status {
        QUARN_ASSIGN_OR_RETURN(new_lock, FileWriteLock::acquire(file.fd(), {}));
        QUARN_ASSIGN_OR_RETURN(image_len, write_compacted(file, catalog(), latest(), built));
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
    *this =
        Database(std::move(path_), FileStore(std::move(replaced).value()), std::move(built.catalog),
                 std::move(built.latest), std::move(built.indexes), kFormatMinor);
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
