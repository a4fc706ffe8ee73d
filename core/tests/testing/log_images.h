// Builders for log images in tests: a small users collection, its payloads in every stored
// version, raw segments and framed transactions, and a comparable summary of replayed state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "catalog/codec.h"
#include "catalog/state.h"
#include "checksum.h"
#include "db/open.h"
#include "db/state/latest_rows.h"
#include "file_format.h"
#include "index.h"
#include "record/payload_v2.h"
#include "record/scalar.h"
#include "schema.h"
#include "segments/header.h"
#include "storage.h"
#include "txn.h"

namespace quarn::testing {

inline FieldDef field(const std::string& name, Type::Kind kind) {
  return FieldDef{FieldPath::make({name}).value(), Type(kind), {}};
}

// users: id Int64 (primary), name String; unique index by_name on name.
inline std::vector<FieldDef> users_fields() {
  return {field("id", Type::Kind::Int64), field("name", Type::Kind::String)};
}
// Version 2 of users adds age Uint64.
inline std::vector<FieldDef> users_fields_v2() {
  std::vector<FieldDef> fields = users_fields();
  fields.push_back(field("age", Type::Kind::Uint64));
  return fields;
}
inline std::vector<IndexDef> users_indexes() {
  return {IndexDef{"by_name", FieldPath::make({"name"}).value(), IndexKind::Unique}};
}

inline Bytes create_users(std::uint32_t id = 1, const std::string& name = "users") {
  return encode_catalog_payload(CatalogRecordWire::CreateCollection{
      id, name, 1, users_fields(), users_indexes(), std::string("id")});
}
inline Bytes users_version_2(std::uint32_t id = 1) {
  return encode_catalog_payload(
      CatalogRecordWire::NewSchemaVersion{id, 2, users_fields_v2(), users_indexes()});
}

// A creation entry in catalog payload version 1 to 3 (primitive fields, no constraints); v1
// carries no primary field, v2 and v3 carry `primary`.
inline Bytes create_collection_old(std::uint16_t version, std::uint32_t id, const std::string& name,
                                   const std::vector<FieldDef>& fields,
                                   const std::string& primary) {
  Bytes out;
  ByteWriter w(out);
  w.put_u16(version);
  w.put_u16(kCatalogEntryCreateCollection);
  w.put_u32(id);
  w.put_len_prefixed(name);
  w.put_u32(1);
  w.put_u32(static_cast<std::uint32_t>(fields.size()));
  for (const FieldDef& f : fields) {
    w.put_u32(1);
    w.put_len_prefixed(f.path.first());
    w.put_u8(f.type.number());
    if (version >= 3) w.put_u32(0);
  }
  if (version >= 2) w.put_len_prefixed(primary);
  return out;
}

// A users row: op 1 insert, 2 replace, 3 delete.
inline Bytes user_record(std::int64_t id, const std::string& name, std::uint8_t op = 1,
                         std::uint32_t schema_version = 1, std::uint32_t collection = 1) {
  static const std::vector<FieldDef> fields = users_fields();
  std::vector<RecordFieldValue> values = {{&fields[1], RowValue(ScalarValue::String{name})}};
  return encode_record_payload_v2_op(collection, schema_version, op, ScalarValue::Int64{id},
                                     fields[0].type, values)
      .value();
}
inline Bytes user_record_v2(std::int64_t id, const std::string& name, std::uint64_t age) {
  static const std::vector<FieldDef> fields = users_fields_v2();
  std::vector<RecordFieldValue> values = {{&fields[1], RowValue(ScalarValue::String{name})},
                                          {&fields[2], RowValue(ScalarValue::Uint64{age})}};
  return encode_record_payload_v2_op(1, 2, 1, ScalarValue::Int64{id}, fields[0].type, values)
      .value();
}
// The same users row as a version-1 payload (tagged scalars).
inline Bytes user_record_v1(std::int64_t id, const std::string& name, std::uint8_t op = 1,
                            std::uint32_t collection = 1) {
  Bytes out;
  ByteWriter w(out);
  w.put_u16(1);
  w.put_u32(collection);
  w.put_u32(1);
  w.put_u8(op);
  EXPECT_TRUE(encode_tagged_scalar(out, ScalarValue::Int64{id}, Type(Type::Kind::Int64)).ok());
  if (op == 3) {
    w.put_u32(0);
    return out;
  }
  w.put_u32(1);
  EXPECT_TRUE(encode_tagged_scalar(out, ScalarValue::String{name}, Type(Type::Kind::String)).ok());
  return out;
}

inline Row user_row(std::int64_t id, const std::string& name) {
  return Row{{"id", RowValue(ScalarValue::Int64{id})},
             {"name", RowValue(ScalarValue::String{name})}};
}
inline Bytes user_key(std::int64_t id) {
  return ScalarValue(ScalarValue::Int64{id}).canonical_key_bytes();
}
inline Bytes name_key(const std::string& name) {
  return ScalarValue(ScalarValue::String{name}).canonical_key_bytes();
}

inline IndexEntry by_name_entry(const std::string& name, std::int64_t id,
                                IndexOp op = IndexOp::Insert) {
  return IndexEntry{"by_name", name_key(name), user_key(id), 1, IndexKind::Unique, op};
}
inline Bytes by_name_payload(const std::string& name, std::int64_t id,
                             IndexOp op = IndexOp::Insert) {
  return encode_index_payload({by_name_entry(name, id, op)});
}
// Index payload version 1 (every entry an insert).
inline Bytes index_payload_v1(const std::vector<IndexEntry>& entries) {
  Bytes out;
  ByteWriter w(out);
  w.put_u16(1);
  w.put_u32(static_cast<std::uint32_t>(entries.size()));
  for (const IndexEntry& e : entries) {
    w.put_u32(e.collection_id);
    w.put_u8(static_cast<std::uint8_t>(static_cast<std::uint8_t>(e.kind) + 1));
    w.put_len_prefixed(e.index_name);
    w.put_len_prefixed(e.key);
    w.put_len_prefixed(e.pk);
  }
  return out;
}

// One whole segment: header and payload. A bad_crc segment carries a wrong payload CRC.
inline Bytes segment(SegmentType type, ByteSpan payload, bool bad_crc = false) {
  Bytes out;
  encode_segment_header(SegmentHeader{payload.size(), crc32c(payload) ^ (bad_crc ? 1u : 0u), type},
                        out);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
inline Bytes marker(SegmentType type, std::uint64_t txn_id) {
  return segment(type, encode_txn_payload_v0(txn_id));
}

// A new image (format minor `minor` in its header) with `log` appended after its manifest.
inline Bytes image_with_log(std::uint16_t minor, ByteSpan log = {}) {
  VecStore store;
  EXPECT_TRUE(write_new_image(store).ok());
  Bytes out = store.take_bytes();
  out[kFileHeaderMinorAt] = static_cast<std::uint8_t>(minor);
  out.insert(out.end(), log.begin(), log.end());
  return out;
}

inline void append(Bytes& log, ByteSpan more) { log.insert(log.end(), more.begin(), more.end()); }

// The parts one after another.
inline Bytes cat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) append(out, p);
  return out;
}

// What a test compares of a replayed or opened state: the collections, the rows and the
// by_name lookups of the given names.
struct StateSummary {
  std::vector<CollectionInfo> collections;
  LatestRows latest;
  std::vector<std::optional<Bytes>> by_name;

  bool operator==(const StateSummary&) const = default;
};

inline StateSummary summarize(const Catalog& catalog, const LatestRows& latest,
                              const IndexState& indexes, const std::vector<std::string>& names) {
  StateSummary s{catalog.collections(), latest, {}};
  for (const std::string& name : names) {
    std::optional<ByteSpan> pk = indexes.unique_lookup(1, "by_name", name_key(name));
    s.by_name.push_back(pk ? std::optional<Bytes>(Bytes(pk->begin(), pk->end())) : std::nullopt);
  }
  return s;
}

}  // namespace quarn::testing
