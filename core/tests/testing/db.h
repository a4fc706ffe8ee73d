// Engine-handle fixtures: an in-memory database with a users collection, and the segments a
// store holds past an offset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/database.h"
#include "index.h"
#include "segments/reader.h"
#include "testing/rows.h"

namespace quarn::testing {

using MemDb = Database<VecStore>;

// id Int64 primary, email String, nick Optional<String>.
inline std::vector<FieldDef> user_fields() {
  return {def("id", Type(Type::Kind::Int64)), def("email", Type(Type::Kind::String)),
          def("nick", Type::optional(Type(Type::Kind::String)))};
}

// by_email unique, by_nick unique.
inline std::vector<IndexDef> user_indexes() {
  return {index_def("by_email", {"email"}), index_def("by_nick", {"nick"})};
}

inline Row user(std::int64_t id, std::string email) {
  return Row{{"id", i64(id)}, {"email", str(std::move(email))}};
}

inline Row user(std::int64_t id, std::string email, std::string nick) {
  Row row = user(id, std::move(email));
  row.emplace("nick", str(std::move(nick)));
  return row;
}

// The complete row kept for user(id, email): nick present as null.
inline Row stored_user(std::int64_t id, std::string email) {
  Row row = user(id, std::move(email));
  row.emplace("nick", null());
  return row;
}

// An in-memory database holding only the users collection (id 1, user_fields, user_indexes).
inline MemDb users_db() {
  MemDb db = MemDb::open_in_memory().value();
  db.register_collection_with_indexes("users", user_fields(), user_indexes(), "id").value();
  return db;
}

// The database db's image opens as.
inline MemDb reopen(const MemDb& db) {
  return MemDb::from_snapshot_bytes(db.snapshot_bytes()).value();
}

// A copy of the primary key a unique index maps key to.
inline std::optional<Bytes> unique_owner(const IndexState& indexes, std::uint32_t collection_id,
                                         std::string_view index, const Bytes& key) {
  const std::optional<ByteSpan> owner = indexes.unique_lookup(collection_id, index, key);
  if (!owner) return std::nullopt;
  return Bytes(owner->begin(), owner->end());
}

inline std::optional<Bytes> unique_owner(const IndexState& indexes, std::uint32_t collection_id,
                                         std::string_view index, const std::string& key) {
  return unique_owner(indexes, collection_id, index, Bytes(key.begin(), key.end()));
}

struct LoggedSegment {
  SegmentType type;
  Bytes payload;
};

// Every segment from offset to the end of the store. REQUIRES: a clean log there.
template <Store S>
std::vector<LoggedSegment> segments_from(S& store, std::uint64_t offset) {
  std::vector<LoggedSegment> out;
  const std::vector<SegmentMeta> metas = scan_segments(store, offset).value();
  for (const SegmentMeta& meta : metas) {
    out.push_back({meta.header.segment_type, read_segment_payload(store, meta).value()});
  }
  return out;
}

inline std::vector<SegmentType> types_of(const std::vector<LoggedSegment>& segments) {
  std::vector<SegmentType> types;
  for (const LoggedSegment& segment : segments) types.push_back(segment.type);
  return types;
}

}  // namespace quarn::testing
