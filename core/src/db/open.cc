// The open sequence: a new image for an empty store, the 0.2 rewrite, header and superblock
// checks, tail recovery, then the state from a checkpoint or from the whole log.
#include "db/open.h"

#include <array>
#include <cerrno>
#include <optional>
#include <utility>

#include "checkpoint.h"
#include "db/database.h"
#include "db/durable_file.h"
#include "db/recover.h"
#include "db/replay.h"
#include "file_format.h"
#include "pager.h"
#include "publish.h"
#include "store_instances.h"

namespace quarn {
namespace {

// Header, superblocks and the first manifest, for a new image (minor 6) or the rewrite of a
// header-only 0.2 image (minor 3).
template <Store S>
Status lay_out_fixed_area(S& store, std::uint16_t minor) {
  FileHeader header;
  header.minor = minor;
  QUARN_TRY(store.write_all_at(0, header.encode()));
  QUARN_TRY(init_superblocks(store));
  QUARN_TRY(append_manifest_and_publish_with_checkpoint(store, kDataStart));
  return store.sync();
}

bool is_already_exists(const DbError& error) {
  return error.is<IoError>() && error.as<IoError>().os_code == EEXIST;
}

}  // namespace

template <Store S>
Status init_superblocks(S& store) {
  const std::array<std::uint8_t, 1> zero = {0};
  QUARN_TRY(store.write_all_at(kDataStart - 1, zero));
  Superblock a;
  a.generation = 1;
  QUARN_TRY(store.write_all_at(kSuperblockSlotAOffset, a.encode()));
  return store.write_all_at(kSuperblockSlotBOffset, Superblock{}.encode());
}

template <Store S>
Result<Superblock> read_and_select_superblock(S& store) {
  QUARN_ASSIGN_OR_RETURN(const SuperblockSlots slots, read_superblock_slots(store));
  QUARN_ASSIGN_OR_RETURN(const SelectedSuperblock selected, select_superblock(slots));
  return selected.superblock;
}

template <Store S>
Status write_new_image(S& store) {
  return lay_out_fixed_area(store, kFormatMinor);
}

template <Store S>
Result<Database<S>> Database<S>::open_with_store(std::string path, S store) {
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
  std::uint16_t minor = kFormatMinor;
  if (len == 0) {
    QUARN_TRY(write_new_image(store));
  } else {
    if (len < kFileHeaderSize) return FormatError::TruncatedHeader{len, kFileHeaderSize};
    std::array<std::uint8_t, kFileHeaderSize> header_bytes;
    QUARN_TRY(store.read_exact_at(0, header_bytes));
    QUARN_ASSIGN_OR_RETURN(const FileHeader header, decode_header(header_bytes));
    minor = header.minor;
    if (minor == kFormatMinorHeaderOnly) {
      if (len != kFileHeaderSize) {
        return FormatError::UnsupportedVersion{kFormatMajor, kFormatMinorHeaderOnly};
      }
      QUARN_TRY(lay_out_fixed_area(store, kFormatMinorFixedArea));
      minor = kFormatMinorFixedArea;
    } else {
      if (len < kDataStart) return FormatError::TruncatedSuperblock{len, kDataStart};
      QUARN_TRY(read_and_select_superblock(store));
      QUARN_ASSIGN_OR_RETURN(const std::uint64_t safe_end,
                             truncate_end_for_recovery(store, kDataStart, minor));
      QUARN_ASSIGN_OR_RETURN(const std::uint64_t now, store.len());
      if (safe_end < now) {
        QUARN_TRY(store.truncate(safe_end));
        QUARN_TRY(store.sync());
      }
    }
  }

  QUARN_ASSIGN_OR_RETURN(const Superblock superblock, read_and_select_superblock(store));
  Result<std::optional<CheckpointState>> checkpoint =
      try_load_checkpoint_state(store, superblock.checkpoint_offset, superblock.checkpoint_len);
  if (checkpoint.ok() && checkpoint.value().has_value()) {
    CheckpointState state = std::move(*checkpoint.value());
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t now, store.len());
    if (state.replay_offset >= kDataStart && state.replay_offset < now) {
      QUARN_TRY(replay_tail_into(store, state.replay_offset, minor, state.catalog, state.latest,
                                 state.indexes));
    }
    return Database(std::move(path), std::move(store), std::move(state.catalog),
                    std::move(state.latest), std::move(state.indexes), minor);
  }
  // A checkpoint that does not load is passed over: the full replay decides the open.
  QUARN_ASSIGN_OR_RETURN(ReplayedState state,
                         load_catalog_latest_and_indexes(store, kDataStart, minor));
  return Database(std::move(path), std::move(store), std::move(state.catalog),
                  std::move(state.latest), std::move(state.indexes), minor);
}

template <Store S>
Status write_new_image_in_place(S& store) {
  VecStore image;
  QUARN_TRY(write_new_image(image));
  Status written = store.write_all_at(0, image.bytes());
  if (written.ok()) written = store.sync();
  if (!written.ok()) {
    // A part of an image would not open again; an empty file becomes a new image.
    Status cut = store.truncate(0);
    if (cut.ok()) cut = store.sync();
    ignore_error(std::move(cut), "the write's error is the one to report");
  }
  return written;
}

template <Store S>
Result<Database<S>> Database<S>::open(const std::string& path) requires std::same_as<S, FileStore> {
  // The directory is resolved once: compaction and reopen act on this file whatever the
  // working directory becomes.
  QUARN_ASSIGN_OR_RETURN(FileLocation location, locate_file(path));
  std::optional<RawFileStore> file;
  for (int attempt = 0; !file; ++attempt) {
    QUARN_ASSIGN_OR_RETURN(file, open_regular_file(location, path));
    if (file) {
      QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, file->len());
      // Written into the file itself, so that other links to it still name the database.
      if (len == 0) QUARN_TRY(write_new_image_in_place(*file));
      break;
    }
    // Missing: the name appears only with the whole image behind it.
    VecStore image;
    QUARN_TRY(write_new_image(image));
    Result<RawFileStore> created = create_file_durably(location, image.bytes());
    if (created.ok()) {
      file.emplace(std::move(created).value());
    } else if (!is_already_exists(created.error()) || attempt >= 2) {
      return std::move(created).error();
    }
    // Another process created it meanwhile: open that one.
  }
  QUARN_ASSIGN_OR_RETURN(Database db, open_with_store(path, FileStore(std::move(*file))));
  remove_stale_temporaries(location);
  db.location_ = std::move(location);
  return db;
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

#define QUARN_INSTANTIATE(S)                                     \
  template Status init_superblocks<S>(S&);                       \
  template Result<Superblock> read_and_select_superblock<S>(S&); \
  template Status write_new_image<S>(S&);                        \
  template Status write_new_image_in_place<S>(S&);               \
  template Result<Database<S>> Database<S>::open_with_store(std::string, S);
QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE)
#undef QUARN_INSTANTIATE

template Result<Database<FileStore>> Database<FileStore>::open(const std::string&);
template Result<Database<VecStore>> Database<VecStore>::open_in_memory();
template Result<Database<VecStore>> Database<VecStore>::from_snapshot_bytes(Bytes);
template Bytes Database<VecStore>::snapshot_bytes() const;
template Bytes Database<VecStore>::into_snapshot_bytes() &&;

}  // namespace quarn
