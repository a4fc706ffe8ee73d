// The in-memory catalog: every collection's name, current definitions, primary field, id and
// schema version. It changes only by applying catalog entries, which enforces the catalog rules.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalog/codec.h"
#include "result.h"
#include "schema.h"

namespace quarn {

namespace testing {
struct CatalogTestPeer;
}  // namespace testing

struct CollectionInfo {
  std::string name;
  std::vector<FieldDef> fields;   // current version, registration order (record value order)
  std::vector<IndexDef> indexes;  // current version, registration order (index choice order)
  std::optional<std::string> primary_field;  // absent only for old entries; takes no writes
  std::uint32_t collection_id = 0;
  std::uint32_t schema_version = 0;

  bool operator==(const CollectionInfo&) const = default;
};

// `text` without the Unicode White_Space characters at either end; inner ones stay.
std::string_view trim_white_space(std::string_view text);

// Copies are cheap (they share unchanged state) and independent: a change to one copy is never
// seen by another.
class Catalog {
 public:
  // No collections; the next id is 1.
  Catalog() = default;

  // The checks of apply_record, in its order, without changing the catalog.
  Status check_record(const CatalogRecordWire& entry) const;

  // Checks the entry and applies it; a refused entry changes nothing. Errors (all SchemaError),
  // for a creation in this order: InvalidCollectionName (empty or over 1023 bytes; the name is
  // not trimmed), InvalidSchemaVersion (not 1), UnexpectedCollectionId (not next_id()), or
  // IncompatibleChange once id 4294967295 has been handed out, DuplicateCollectionName,
  // PrimaryFieldNotFound. For a new schema version: UnknownCollectionId, SchemaVersionLimit
  // (the collection is at 4294967295), InvalidSchemaVersion (not current + 1),
  // PrimaryFieldNotRetained.
  Status apply_record(CatalogRecordWire entry);

  // The collection of that id, or null. Valid until this catalog next changes or is dropped.
  const CollectionInfo* get(std::uint32_t id) const;
  // The same collection, shared: it stays valid (and unchanged) after the catalog changes.
  std::shared_ptr<const CollectionInfo> get_shared(std::uint32_t id) const;

  // The id of the collection named `name` once trimmed of White_Space at both ends; compared
  // byte for byte.
  std::optional<CollectionId> lookup_name(std::string_view name) const;

  // Copies of every collection, in ascending id.
  std::vector<CollectionInfo> collections() const;

  // Every collection name, in ascending byte order.
  std::vector<std::string> collection_names() const;

  // The id the next creation must carry (4294967295 also once that id is taken).
  std::uint32_t next_id() const;

  // True when `fields` holds a field whose path is the one segment `name`.
  static bool has_top_level_field(const std::vector<FieldDef>& fields, std::string_view name);

 private:
  friend struct testing::CatalogTestPeer;
  struct State {
    std::unordered_map<std::uint32_t, std::shared_ptr<const CollectionInfo>> by_id;
    std::unordered_map<std::string, std::uint32_t> by_name;
    // 2^32 once id 4294967295 is taken: no id is left, so creations are refused.
    std::uint64_t next_id = 1;
  };

  const State& state() const;
  // The state, first made private to this catalog if it is shared.
  State& own_state();
  Status check_create(const CatalogRecordWire::CreateCollection& entry) const;
  Status check_new_version(const CatalogRecordWire::NewSchemaVersion& entry) const;

  // Shared between copies; never changed while shared.
  std::shared_ptr<State> state_;
};

}  // namespace quarn
