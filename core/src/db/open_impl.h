// The store-generic bodies of the open sequence. open.cc instantiates them for the engine's
// stores; a test instantiates them for its own.
#pragma once

#include <array>
#include <cerrno>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "checkpoint.h"
#include "db/database.h"
#include "db/helpers.h"
#include "db/memory.h"
#include "db/open.h"
#include "db/recover.h"
#include "db/replay.h"
#include "durable_file.h"
#include "file_format.h"
#include "publish.h"

namespace quarn {
namespace open_detail {

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

}  // namespace open_detail

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
  return open_detail::lay_out_fixed_area(store, kFormatMinor);
}

namespace open_detail {

// Recovery read from source, the store or a copy of its bytes: the superblock must select, and
// a torn tail found is cut off the store (and synced). The end of what is kept.
// kept receives the segments recovery walked that lie before that end.
template <Store S, Store R>
Result<std::uint64_t> cut_torn_tail(S& store, R& source, std::uint16_t minor,
                                    std::vector<SegmentMeta>& kept) {
  QUARN_TRY(read_and_select_superblock(source));
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t safe_end,
                         truncate_end_for_recovery(source, kDataStart, minor, kept));
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t now, store.len());
  if (safe_end < now) {
    QUARN_TRY(store.truncate(safe_end));
    QUARN_TRY(store.sync());
  }
  return safe_end;
}

// What the open reads of an image once its tail is safe: the state of the newest loadable
// checkpoint with the log behind it replayed, or else of the whole log. scanned: the segments
// recovery kept, when it walked this same image.
template <Store R>
Result<ReplayedState> load_state(R& source, std::uint16_t minor,
                                 std::span<const SegmentMeta> scanned = {}) {
  QUARN_ASSIGN_OR_RETURN(const Superblock superblock, read_and_select_superblock(source));
  Result<std::optional<CheckpointState>> checkpoint =
      try_load_checkpoint_state(source, superblock.checkpoint_offset, superblock.checkpoint_len);
  if (checkpoint.ok() && checkpoint.value().has_value()) {
    CheckpointState state = std::move(*checkpoint.value());
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t now, source.len());
    if (state.replay_offset >= kDataStart && state.replay_offset < now) {
      QUARN_TRY(replay_tail_into(source, state.replay_offset, minor, state.catalog, state.latest,
                                 state.indexes, scanned));
    }
    return ReplayedState{std::move(state.catalog), std::move(state.latest),
                         std::move(state.indexes)};
  }
  // A checkpoint that does not load is passed over: the full replay decides the open.
  return load_catalog_latest_and_indexes(source, kDataStart, minor, scanned);
}

// What the first bytes of an image make of it, by the open's checks, in their order.
struct ImageHead {
  enum class Kind : std::uint8_t {
    Empty,       // no bytes: a new image is laid out
    HeaderOnly,  // the 0.2 header alone: its fixed area is laid out (0.3)
    Log,         // header, superblocks and the log: recovered and replayed
  };
  Kind kind = Kind::Empty;
  std::uint16_t minor = kFormatMinor;
};

// Errors: TruncatedHeader, the header's decode errors, UnsupportedVersion for a 0.2 header with
// more behind it, TruncatedSuperblock; the store's read errors.
template <Store S>
Result<ImageHead> read_image_head(S& store, std::uint64_t len) {
  if (len == 0) return ImageHead{};
  if (len < kFileHeaderSize) return FormatError::TruncatedHeader{len, kFileHeaderSize};
  std::array<std::uint8_t, kFileHeaderSize> header_bytes;
  QUARN_TRY(store.read_exact_at(0, header_bytes));
  QUARN_ASSIGN_OR_RETURN(const FileHeader header, decode_header(header_bytes));
  if (header.minor == kFormatMinorHeaderOnly) {
    if (len != kFileHeaderSize) {
      return FormatError::UnsupportedVersion{kFormatMajor, kFormatMinorHeaderOnly};
    }
    return ImageHead{ImageHead::Kind::HeaderOnly, kFormatMinorFixedArea};
  }
  if (len < kDataStart) return FormatError::TruncatedSuperblock{len, kDataStart};
  return ImageHead{ImageHead::Kind::Log, header.minor};
}

// An image read whole into memory, recovered: where its durable log ends, and the segments
// recovery walked below that end.
struct RecoveredCopy {
  ReadOnceImage image;
  // The bytes read; the copy holds those below safe_end.
  std::uint64_t read = 0;
  std::uint64_t safe_end = 0;
  std::vector<SegmentMeta> scanned;
};

// Recovery and replay read every byte of a file, many small reads each: one read of the whole
// file into memory makes them copies instead of calls into the store. The copy is cut to the
// safe end; the store is left as it is.
template <Store S>
Result<RecoveredCopy> read_and_recover(S& store, std::uint64_t len, std::uint16_t minor) {
  Bytes bytes(static_cast<std::size_t>(len));
  QUARN_TRY(store.read_exact_at(0, bytes));
  RecoveredCopy copy{ReadOnceImage(std::move(bytes)), len, 0, {}};
  QUARN_TRY(read_and_select_superblock(copy.image));
  QUARN_ASSIGN_OR_RETURN(copy.safe_end,
                         truncate_end_for_recovery(copy.image, kDataStart, minor, copy.scanned));
  if (copy.safe_end < len) QUARN_TRY(copy.image.truncate(copy.safe_end));
  return copy;
}

// The state of a recovered copy, which is dropped meanwhile.
inline Result<ReplayedState> load_copy_state(RecoveredCopy copy, std::uint16_t minor) {
  const std::uint64_t read = copy.read;
  QUARN_ASSIGN_OR_RETURN(ReplayedState state,
                         load_state(copy.image, minor, std::span<const SegmentMeta>(copy.scanned)));
  copy = RecoveredCopy{ReadOnceImage({}), 0, 0, {}};
  release_freed_memory(read);
  return state;
}

}  // namespace open_detail

template <Store S>
Result<Database<S>> Database<S>::open_with_store(std::string path, S store) {
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
  QUARN_ASSIGN_OR_RETURN(const open_detail::ImageHead head,
                         open_detail::read_image_head(store, len));
  const std::uint16_t minor = head.minor;
  auto opened = [&](ReplayedState state) {
    return Database(std::move(path), std::move(store), std::move(state.catalog),
                    std::move(state.latest), std::move(state.indexes), minor);
  };
  // The segments recovery walked, handed to the replay of the same bytes.
  std::vector<SegmentMeta> scanned;
  switch (head.kind) {
    case open_detail::ImageHead::Kind::Empty:
      QUARN_TRY(write_new_image(store));
      break;
    case open_detail::ImageHead::Kind::HeaderOnly:
      QUARN_TRY(open_detail::lay_out_fixed_area(store, kFormatMinorFixedArea));
      break;
    case open_detail::ImageHead::Kind::Log:
      // The store is this open's alone, so a torn tail is cut off it at once.
      if constexpr (InMemoryStore<S>) {
        QUARN_TRY(open_detail::cut_torn_tail(store, store, minor, scanned));
      } else {
        QUARN_ASSIGN_OR_RETURN(open_detail::RecoveredCopy copy,
                               open_detail::read_and_recover(store, len, minor));
        QUARN_ASSIGN_OR_RETURN(const std::uint64_t now, store.len());
        if (copy.safe_end < now) {
          QUARN_TRY(store.truncate(copy.safe_end));
          QUARN_TRY(store.sync());
        }
        QUARN_ASSIGN_OR_RETURN(ReplayedState state,
                               open_detail::load_copy_state(std::move(copy), minor));
        return opened(std::move(state));
      }
      break;
  }
  QUARN_ASSIGN_OR_RETURN(ReplayedState state, open_detail::load_state(store, minor, scanned));
  return opened(std::move(state));
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

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_OPEN(S)                             \
  template Status init_superblocks<S>(S&);                       \
  template Result<Superblock> read_and_select_superblock<S>(S&); \
  template Status write_new_image<S>(S&);                        \
  template Status write_new_image_in_place<S>(S&);               \
  template Result<Database<S>> Database<S>::open_with_store(std::string, S);
