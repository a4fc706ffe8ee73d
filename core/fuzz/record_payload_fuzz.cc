// The record payload decoder (versions 1 and 2) against a decoded collection. Input:
// [u16 n][catalog payload of n bytes][record payload]. A decoded record written as version 2
// decodes again, and writes the same bytes a second time.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bytes.h"
#include "fuzz_support.h"
#include "record/payload_v2.h"
#include "record/row_value.h"

namespace quarn::fuzz {
namespace {

Result<Bytes> encode_v2(const RecordPayload& record, const FieldDef& primary_def,
                        const std::vector<FieldDef>& fields) {
  std::vector<RecordFieldValue> values;
  if (record.op != static_cast<std::uint8_t>(RecordOp::Delete)) {
    for (const FieldDef* def : non_pk_defs_in_order(fields, primary_def.path.first())) {
      const auto it = record.fields.find(def->path.first());
      require(it != record.fields.end());
      values.emplace_back(def, it->second);
    }
  }
  return encode_record_payload_v2_op(record.collection_id, record.schema_version, record.op,
                                     record.pk, primary_def.type, values);
}

void run(ByteSpan input) {
  const auto split = split_prefixed(input);
  if (!split) return;
  const std::optional<CollectionInfo> info = collection_from_catalog_payload(split->first);
  if (!info) return;
  // A schema may list one top-level name twice; the later listing's value wins on decode, so
  // such a record does not encode back to the same bytes and is left out of the property.
  std::set<std::string> names;
  for (const FieldDef& def : info->fields) {
    if (!names.insert(def.path.first()).second || repeats_member_names(def.type)) return;
  }
  const std::string& primary = *info->primary_field;
  const FieldDef& primary_def = *find_top_level_field(info->fields, primary);
  Result<RecordPayload> record =
      decode_record_payload(split->second, primary, primary_def, info->fields);
  if (!record.ok()) return;
  Result<Bytes> once = encode_v2(record.value(), primary_def, info->fields);
  require(once.ok());
  Result<RecordPayload> reread =
      decode_record_payload(once.value(), primary, primary_def, info->fields);
  require(reread.ok());
  Result<Bytes> twice = encode_v2(reread.value(), primary_def, info->fields);
  require(twice.ok() && twice.value() == once.value());
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
