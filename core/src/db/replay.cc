// Log replay. Application is in log order, so each row record is decoded with the collection
// definition that was current where it stands in the log.
#include "db/replay.h"

#include <exception>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "catalog/codec.h"
#include "db/helpers.h"
#include "db/replay_impl.h"
#include "file_format.h"
#include "pager.h"
#include "record/payload.h"
#include "record/payload_v2.h"
#include "record/record_image.h"
#include "segments/reader.h"
#include "store_instances.h"
#include "txn.h"

namespace quarn {
namespace replay_detail {

Status apply_committed(const CommittedSegments& committed, Catalog& catalog, LatestRows& latest,
                       IndexState& indexes) {
  ApplyScratch scratch;
  auto one_pass = [&](SegmentType type, ByteSpan payload) {
    return apply_data_segment(type, payload, catalog, latest, indexes, scratch);
  };
  if (committed.in_memory == nullptr || committed.walked.size() < kReplayLanesFrom) {
    return committed.for_each(one_pass, /*discard_applied=*/true);
  }

  // Each lane is handed only the state it changes.
  std::vector<IndexEntryView> index_entries;
  auto index_lane = [&indexes, &index_entries](SegmentType type, ByteSpan payload) -> Status {
    if (type != SegmentType::Index) return ok_status();
    return apply_index_segment(payload, indexes, index_entries);
  };
  RecordPlans& plans = scratch.record_plans;
  auto row_lane = [&catalog, &latest, &plans](SegmentType type, ByteSpan payload) -> Status {
    if (type == SegmentType::Index) return ok_status();
    return apply_row_segment(type, payload, catalog, latest, plans);
  };

  // A lane's outcome: its status, or what it threw, and where it failed.
  struct Outcome {
    Status status;
    std::exception_ptr fault;
    std::uint64_t at = std::numeric_limits<std::uint64_t>::max();
    bool failed() const { return !status.ok() || fault != nullptr; }
  };
  ReplayLanes lanes;
  auto run = [&lanes, &committed](auto& apply, int lane) {
    Outcome out;
    try {
      out.status = committed.for_each(apply, /*discard_applied=*/lane == 0, &lanes, lane);
    } catch (...) {
      out.fault = std::current_exception();
      // Where it threw: the segment it was at.
      lanes.failed_at[lane].store(lanes.at[lane].load(std::memory_order_acquire),
                                  std::memory_order_release);
    }
    if (out.failed()) out.at = lanes.failed_at[lane].load(std::memory_order_acquire);
    // Done: the other lane may hand back everything it is past.
    lanes.at[lane].store(std::numeric_limits<std::uint64_t>::max(), std::memory_order_release);
    return out;
  };
  Outcome index_outcome;
  std::optional<std::jthread> side;
  try {
    side.emplace([&] { index_outcome = run(index_lane, 1); });
  } catch (const std::system_error&) {
    // No thread to be had: one pass does it all.
    return committed.for_each(one_pass, /*discard_applied=*/true);
  }
  const Outcome row_outcome = run(row_lane, 0);
  side.reset();
  // The first failure in log order is the one a single pass would have met.
  const Outcome* first = nullptr;
  if (row_outcome.failed()) first = &row_outcome;
  if (index_outcome.failed() && (first == nullptr || index_outcome.at < first->at)) {
    first = &index_outcome;
  }
  if (first == nullptr) return ok_status();
  if (first->fault != nullptr) std::rethrow_exception(first->fault);
  return first->status;
}

}  // namespace replay_detail

const RecordImagePlan* RecordPlans::plan_for(const CollectionInfo& info, const std::string& primary,
                                             const FieldDef& primary_def) {
  for (const auto& [id, plan] : plans_) {
    if (id == info.collection_id) return plan ? &*plan : nullptr;
  }
  plans_.emplace_back(info.collection_id, RecordImagePlan::make(primary, primary_def, info.fields));
  const std::optional<RecordImagePlan>& made = plans_.back().second;
  return made ? &*made : nullptr;
}

Status apply_record_segment(ByteSpan payload, const Catalog& catalog, LatestRows& latest,
                            RecordSource source, RecordPlans* plans) {
  if (payload.size() < kRecordCollectionIdAt + 4) return FormatError::TruncatedRecordPayload{};
  const auto collection_id = static_cast<std::uint32_t>(load_le(payload, kRecordCollectionIdAt, 4));
  const CollectionInfo* info = catalog.get(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  const bool from_log = source == RecordSource::Log;
  if (from_log) {
    if (!info->primary_field) return ok_status();
    for (const FieldDef& def : info->fields) {
      if (!def.path.is_top_level()) return DbError::NotImplemented{};
    }
  }
  QUARN_ASSIGN_OR_RETURN(const FieldDef* primary_def, primary_field_def(*info));
  const std::string& primary = *info->primary_field;
  if (from_log && plans != nullptr) {
    thread_local DecodedRecordImage decoded;
    const RecordImagePlan* plan = plans->plan_for(*info, primary, *primary_def);
    if (plan != nullptr && plan->decode(payload, decoded)) {
      if (decoded.schema_version != info->schema_version) {
        return SchemaError::InvalidSchemaVersion{info->schema_version, decoded.schema_version};
      }
      latest.put_image(collection_id, decoded.key, decoded.image);
      return ok_status();
    }
  }
  // Reused by each call on this thread, so a replayed record allocates nothing of its own.
  thread_local PackedRecordPayload record{0, 0, 0, ScalarValue(ScalarValue::Bool{false}), {}};
  thread_local Bytes key;
  QUARN_TRY(decode_record_payload_packed(payload, primary, *primary_def, info->fields, record));
  key.clear();
  record.pk.append_canonical_key_bytes(key);
  if (from_log) {
    if (record.schema_version != info->schema_version) {
      return SchemaError::InvalidSchemaVersion{info->schema_version, record.schema_version};
    }
    if (record.op == static_cast<std::uint8_t>(RecordOp::Delete)) {
      latest.erase(collection_id, key);
      return ok_status();
    }
  }
  latest.put_image(collection_id, key, record.image);
  return ok_status();
}

QUARN_FOR_EACH_READ_STORE(QUARN_INSTANTIATE_DB_REPLAY)

}  // namespace quarn
