// Log replay: the catalog, the latest row per key and the index maps rebuilt from the log, by
// applying its data segments in log order. In format 0.6 only committed transactions count, and
// the framing of the whole log is checked before anything is applied.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "catalog/state.h"
#include "db/state/latest_rows.h"
#include "index.h"
#include "record/record_image.h"
#include "result.h"
#include "segments/reader.h"
#include "storage.h"

namespace quarn {

// The state a replay rebuilds.
struct ReplayedState {
  Catalog catalog;
  LatestRows latest;
  IndexState indexes;
};

// Replays the log from data_start into fresh state. Errors: every error of scan_segments; in
// minor 6 marker decode errors and InvalidTxnPayload "nested TxnBegin in replay", "TxnCommit
// outside transaction in replay", "TxnCommit txn_id mismatch in replay", "unclosed transaction
// at end of log (recovery should truncate)"; catalog and index decode and apply errors; the
// errors of apply_record_segment. No partial result.
//
// scanned, when given, is what a strict scan of this very store returned from some offset (the
// segments recovery kept, say): when data_start is the offset of one of them, the replay takes
// its segments from there instead of scanning again, which checks the same bytes the same way.
template <Store S>
Result<ReplayedState> load_catalog_latest_and_indexes(S& store, std::uint64_t data_start,
                                                      std::uint16_t format_minor,
                                                      std::span<const SegmentMeta> scanned = {});

// The same replay from `start` (a segment boundary) into the given state, which the caller
// discards on error.
template <Store S>
Status replay_tail_into(S& store, std::uint64_t start, std::uint16_t format_minor, Catalog& catalog,
                        LatestRows& latest, IndexState& indexes,
                        std::span<const SegmentMeta> scanned = {});

// A replay over an image in memory that walks at least this many segments applies its index
// segments on a second thread, beside the catalog and record segments; below it a second lane
// costs more than it saves.
inline constexpr std::size_t kReplayLanesFrom = 16384;

// Where a row record comes from, which decides how it is applied.
enum class RecordSource {
  // A record segment of the log: a delete removes its key, any other operation stores the row
  // under it.
  Log,
  // A row of a checkpoint: stored as a live row, its operation and schema version not examined.
  Checkpoint,
};

// The decoding plans of the collections a replay meets (record/record_image.h), made when a
// record of the collection first needs one. A plan holds the definition it was made from: clear
// the plans whenever the catalog changes.
class RecordPlans {
 public:
  // The plan for records of info, or null where its definition has no plan.
  const RecordImagePlan* plan_for(const CollectionInfo& info, const std::string& primary,
                                  const FieldDef& primary_def);
  void clear() { plans_.clear(); }

 private:
  std::vector<std::pair<std::uint32_t, std::optional<RecordImagePlan>>> plans_;
};

// Applies one row record to latest, reading catalog only. From the log, a record of a collection
// without a primary field is skipped. Errors, in order: TruncatedRecordPayload (under 6 bytes),
// UnknownCollectionId; from the log NotImplemented (a field path of more than one segment), from
// a checkpoint NoPrimaryKey; PrimaryFieldNotFound, the record decoder's errors; from the log
// InvalidSchemaVersion (the record's version is not the collection's).
// plans, when given, serves the records whose definition has one (from the log only): the
// same result, the same errors, without the general decoder.
Status apply_record_segment(ByteSpan payload, const Catalog& catalog, LatestRows& latest,
                            RecordSource source = RecordSource::Log, RecordPlans* plans = nullptr);

}  // namespace quarn
