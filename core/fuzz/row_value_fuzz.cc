// The row-value and tagged-scalar decoders against the field types of a decoded collection.
// Input: [u16 n][catalog payload of n bytes][field number][value bytes]. A decoded value
// encodes, and that encoding decodes whole and encodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "bytes.h"
#include "fuzz_support.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "spill_internal.h"

namespace quarn::fuzz {
namespace {

void check_row_value(ByteSpan bytes, const Type& type) {
  if (repeats_member_names(type)) return;
  record::scalar::Cursor reader(bytes);
  Result<RowValue> value = decode_row_value(reader, type);
  if (!value.ok()) return;
  Bytes once;
  require(encode_row_value(once, value.value(), type).ok());
  record::scalar::Cursor again(once);
  Result<RowValue> reread = decode_row_value(again, type);
  require(reread.ok() && again.remaining() == 0);
  Bytes twice;
  require(encode_row_value(twice, reread.value(), type).ok());
  require(once == twice);
}

void check_tagged_scalar(ByteSpan bytes, const Type& type) {
  record::scalar::Cursor reader(bytes);
  Result<ScalarValue> value = decode_tagged_scalar(reader, type);
  if (!value.ok()) return;
  Bytes once;
  require(encode_tagged_scalar(once, value.value(), type).ok());
  record::scalar::Cursor again(once);
  Result<ScalarValue> reread = decode_tagged_scalar(again, type);
  require(reread.ok() && again.remaining() == 0);
  require(reread.value().canonical_key_bytes() == value.value().canonical_key_bytes());
  require(sort_key(reread.value()) == sort_key(value.value()));
  (void)value.value().debug();
}

void run(ByteSpan input) {
  const auto split = split_prefixed(input);
  if (!split || split->second.empty()) return;
  const std::optional<CollectionInfo> info = collection_from_catalog_payload(split->first);
  if (!info || info->fields.empty()) return;
  const FieldDef& field = info->fields[split->second[0] % info->fields.size()];
  const ByteSpan value = split->second.subspan(1);
  check_row_value(value, field.type);
  check_tagged_scalar(value, field.type);
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
