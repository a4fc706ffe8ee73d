// The store-generic bodies of the commit path and the header upgrades. write.cc instantiates them
// for the engine's stores; a test instantiates them for its own.
#pragma once

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <vector>

#include "db/write.h"
#include "file_format.h"
#include "publish.h"
#include "segments/reader.h"
#include "segments/writer.h"
#include "txn.h"

namespace quarn {
namespace write_detail {

// Rewrites the header with minor `minor`, keeping what else it holds on disk, and syncs.
template <Store S>
Status rewrite_header_minor(S& store, std::uint16_t minor, std::uint16_t& format_minor) {
  std::array<std::uint8_t, kFileHeaderSize> bytes;
  QUARN_TRY(store.read_exact_at(0, bytes));
  QUARN_ASSIGN_OR_RETURN(FileHeader header, decode_header(bytes));
  header.minor = minor;
  QUARN_TRY(store.write_all_at(0, header.encode()));
  // The header on disk already says `minor`, whether or not the sync below succeeds.
  format_minor = minor;
  return store.sync();
}

// The framing of an unframed log read as a 0.6 one would be; its texts are never shown, as any
// breach only answers no.
inline constexpr TxnFraming::Messages kUpgradeFraming{
    "begin inside a transaction",
    "commit outside a transaction",
    "commit of another transaction",
};

// Whether an unframed log still reads the same once the header says 0.6, where its markers
// frame transactions: every begin closed by a commit of its id, or by an abort with no data
// segment inside, and no commit outside a transaction. A marker that does not decode would
// fail the open. Each marker's payload is read before it is judged, so a failed read is the
// error even where the marker breaks the framing.
template <Store S>
Result<bool> frames_like_unframed(S& store, std::uint64_t data_start) {
  QUARN_ASSIGN_OR_RETURN(const std::vector<SegmentMeta> segments, scan_segments(store, data_start));
  TxnFraming framing(kUpgradeFraming);
  bool data_inside = false;
  for (const SegmentMeta& meta : segments) {
    const SegmentType type = meta.header.segment_type;
    if (is_data_segment(type)) {
      data_inside = data_inside || framing.open();
      continue;
    }
    if (!is_txn_marker(type)) continue;
    QUARN_ASSIGN_OR_RETURN(const Bytes payload, read_segment_payload(store, meta));
    const Result<std::uint64_t> id = decode_txn_payload_v0(payload);
    if (!id.ok()) return false;
    const bool was_open = framing.open();
    const Result<TxnFraming::Step> step = framing.step(type, id.value());
    if (!step.ok()) return false;
    if (step.value() == TxnFraming::Step::Began) data_inside = false;
    if (step.value() == TxnFraming::Step::Aborted && was_open && data_inside) return false;
  }
  return !framing.open();
}

}  // namespace write_detail

template <Store S>
Status ensure_header_v0_5(S& store, std::uint16_t& format_minor) {
  if (format_minor >= kFormatMinorRowWrites) return ok_status();
  return write_detail::rewrite_header_minor(store, kFormatMinorRowWrites, format_minor);
}

namespace write_detail {

// commit_write_txn_v6 with append(writer, begin marker, commit marker) appending the three parts.
template <Store S, class Append>
Status commit_framed(S& store, std::uint64_t data_start, std::uint16_t& format_minor,
                     std::uint64_t txn_id, Append append) {
  const Bytes marker = encode_txn_payload_v0(txn_id);

  if (format_minor < kFormatMinorUpgradeStep) {
    QUARN_TRY(rewrite_header_minor(store, kFormatMinorUpgradeStep, format_minor));
  }
  QUARN_TRY(ensure_header_v0_5(store, format_minor));
  if (format_minor < kFormatMinorFramed) {
    QUARN_TRY(rewrite_header_minor(store, kFormatMinorFramed, format_minor));
  }

  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
  SegmentWriter<S> writer(store, std::max(len, data_start));
  QUARN_TRY(append(writer, SegmentView{SegmentType::TxnBegin, marker},
                   SegmentView{SegmentType::TxnCommit, marker}));
  QUARN_TRY(append_manifest_and_publish_with_checkpoint(store, data_start));
  return store.sync();
}

}  // namespace write_detail

template <Store S>
Status commit_write_txn_v6(S& store, std::uint64_t data_start, std::uint16_t& format_minor,
                           std::uint64_t txn_id, std::span<const SegmentView> segments) {
  return write_detail::commit_framed(
      store, data_start, format_minor, txn_id,
      [&](SegmentWriter<S>& writer, SegmentView begin, SegmentView commit) -> Status {
        std::vector<SegmentView> framed;
        framed.reserve(segments.size() + 2);
        framed.push_back(begin);
        framed.insert(framed.end(), segments.begin(), segments.end());
        framed.push_back(commit);
        QUARN_TRY(writer.append_all(framed));
        return ok_status();
      });
}

template <Store S>
Status commit_staged_txn_v6(S& store, std::uint64_t data_start, std::uint16_t& format_minor,
                            std::uint64_t txn_id, const EncodedSegments& segments) {
  return write_detail::commit_framed(
      store, data_start, format_minor, txn_id,
      [&](SegmentWriter<S>& writer, SegmentView begin, SegmentView commit) -> Status {
        QUARN_TRY(writer.append_framed(begin, segments, commit));
        return ok_status();
      });
}

template <Store S>
std::uint64_t Database<S>::next_txn_id() {
  if (last_txn_id_ != std::numeric_limits<std::uint64_t>::max()) ++last_txn_id_;
  return last_txn_id_;
}

template <Store S>
Status Database<S>::check_writable() const {
  if (read_only_) {
    return io_error(IoErrorKind::PermissionDenied, "the database was opened for reading only");
  }
  if (!write_poisoned_) return ok_status();
  return io_error(IoErrorKind::Other,
                  "an earlier failed write left the database file in an unknown state; reopen "
                  "the database to write again");
}

template <Store S>
Result<std::optional<FileWriteLock>> Database<S>::lock_file_for_write() {
  if constexpr (SharedFileStore<S>) {
    if (location_) {
      QUARN_ASSIGN_OR_RETURN(std::optional<FileWriteLock> lock,
                             FileWriteLock::acquire(store_.fd(), FileWriteLock::kWriteWait));
      if (!lock) return file_busy_error();
      QUARN_TRY(check_file_unchanged(*location_, store_.fd(), file_end_));
      return lock;
    }
  }
  return std::optional<FileWriteLock>();
}

template <Store S>
template <class Write>
Status Database<S>::write_exclusively(Write write) {
  QUARN_ASSIGN_OR_RETURN(const std::optional<FileWriteLock> lock, lock_file_for_write());
  Status written = write();
  if (lock) {
    // Asked while the lock still keeps every other handle out.
    const Result<std::uint64_t> end = store_.len();
    if (end.ok()) {
      file_end_ = end.value();
    } else {
      // Where the file ends is unknown, so no later write could be checked against it.
      write_poisoned_ = true;
    }
  }
  return written;
}

template <Store S>
Status Database<S>::ensure_row_writes_header() {
  if (format_minor_ >= kFormatMinorRowWrites) return ok_status();
  return write_exclusively([&] { return ensure_header_v0_5(store_, format_minor_); });
}

template <Store S>
Status Database<S>::check_log_upgradable() {
  if (format_minor_ >= kFormatMinorFramed || unframed_log_checked_) return ok_status();
  QUARN_ASSIGN_OR_RETURN(const bool safe, write_detail::frames_like_unframed(store_, data_start_));
  if (!safe) {
    // Framing the log would turn rows the file shows into an unfinished or aborted
    // transaction, or make it unopenable; compaction writes the rows as shown, framed.
    return io_error(IoErrorKind::Unsupported,
                    "the database file is in format 0." + std::to_string(format_minor_) +
                        " and holds transaction markers that a write would give a new meaning; "
                        "run compact() first to bring it to the current format");
  }
  unframed_log_checked_ = true;
  return ok_status();
}

template <Store S>
Status Database<S>::commit_segments(std::uint64_t txn_id, std::span<const SegmentView> segments) {
  return commit_segments_with(
      [&] { return commit_write_txn_v6(store_, data_start_, format_minor_, txn_id, segments); });
}

template <Store S>
Status Database<S>::commit_segments(std::uint64_t txn_id, const EncodedSegments& segments) {
  return commit_segments_with(
      [&] { return commit_staged_txn_v6(store_, data_start_, format_minor_, txn_id, segments); });
}

template <Store S>
template <class Commit>
Status Database<S>::commit_segments_with(Commit commit) {
  QUARN_TRY(check_writable());
  return write_exclusively([&]() -> Status {
    QUARN_TRY(check_log_upgradable());
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t begin, store_.len());
    Status committed = commit();
    if (committed.ok()) return committed;
    // Left in place, an unfinished transaction would stand in front of the next commit's begin
    // marker, and recovery refuses a begin inside an open transaction: the file would no longer
    // open. Header upgrades that already succeeded lie below `begin` and stay.
    Status cut = store_.truncate(begin);
    if (cut.ok()) cut = store_.sync();
    // After a failed sync the system may have dropped pages we believe written, so nothing
    // written through this handle can be trusted to land where it thinks.
    if (!cut.ok()) write_poisoned_ = true;
    return committed;
  });
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_WRITE(S)                                                        \
  template Status ensure_header_v0_5<S>(S&, std::uint16_t&);                                 \
  template Status commit_write_txn_v6<S>(S&, std::uint64_t, std::uint16_t&, std::uint64_t,   \
                                         std::span<const SegmentView>);                      \
  template Status commit_staged_txn_v6<S>(S&, std::uint64_t, std::uint16_t&, std::uint64_t,  \
                                          const EncodedSegments&);                           \
  template std::uint64_t Database<S>::next_txn_id();                                         \
  template Status Database<S>::check_writable() const;                                       \
  template Result<std::optional<FileWriteLock>> Database<S>::lock_file_for_write();          \
  template Status Database<S>::check_log_upgradable();                                       \
  template Status Database<S>::ensure_row_writes_header();                                   \
  template Status Database<S>::commit_segments(std::uint64_t, std::span<const SegmentView>); \
  template Status Database<S>::commit_segments(std::uint64_t, const EncodedSegments&);
