// Insert planning and the key helpers that writes and queries share. None of them touches a store
// or a handle: they read the state they are given and return values.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "catalog/state.h"
#include "db/projection.h"
#include "index.h"
#include "record/packed_row.h"
#include "record/payload_v2.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "result.h"
#include "schema.h"

namespace quarn {

// A collection and the definition of its primary field; valid until its catalog next changes.
struct KeyedCollection {
  const CollectionInfo* info;
  const FieldDef* primary_def;
};

// The definition of info's primary field: the top-level field of its name, never null. Errors:
// NoPrimaryKey when the collection has none, PrimaryFieldNotFound when no top-level field bears
// the name. Valid as long as info.
Result<const FieldDef*> primary_field_def(const CollectionInfo& info);

// The collection of that id and its primary field. Errors, in order: UnknownCollectionId, then
// those of primary_field_def.
Result<KeyedCollection> keyed_collection(const Catalog& catalog, std::uint32_t collection_id);

// Plans inserts into one collection: checks each candidate row against the collection's
// definition and builds what its insert logs and stores, in buffers reused from row to row. It
// keeps a share of the definition it was made for, so it stays valid as the catalog changes.
class InsertPlanner {
 public:
  // Errors, in order: UnknownCollectionId, NotImplemented when a field has a nested path, those
  // of primary_field_def, then a ValidationError when the primary field's type is not primitive.
  static Result<InsertPlanner> make(const Catalog& catalog, std::uint32_t collection_id);

  InsertPlanner(InsertPlanner&&) = default;
  InsertPlanner& operator=(InsertPlanner&&) = default;
  InsertPlanner(const InsertPlanner&) = delete;
  InsertPlanner& operator=(const InsertPlanner&) = delete;

  // Whether catalog holds, under collection_id, the very definition this planner plans for.
  bool plans_for(const Catalog& catalog, std::uint32_t collection_id) const {
    return catalog.get(collection_id) == info_.get();
  }

  // Checks the candidate row and plans its insert, which the accessors below show until the
  // next plan. Does not look at existing rows or indexes: replacement and unique checks are the
  // caller's. Errors, in order: InsertMissingPrimaryKey, the key's validation, the row's
  // (validate_top_level_row), InsertMissingField for a required field whose name an earlier
  // field of the definition takes, then the record encoder's. The plan reads row in place (a
  // complete row is kept as it is), so row must stay valid and unchanged while it is used.
  Status plan(RowView row);
  // Makes the planned insert the replacement of old, the row stored under its key: the payload
  // becomes a replace of the complete row, and the entries begin with the deletions that take
  // old out of every index, in definition order. Errors: the record encoder's.
  Status replace(RowView old);

  // Record payload v2, operation insert (replace after replace()). A write may take its buffer.
  Bytes& payload() { return payload_; }
  // Canonical key bytes of the primary key.
  ByteSpan pk_key() const { return pk_key_; }
  // The complete row kept in memory (absent optional fields null), and its image.
  RowView row() const { return row_; }
  ByteSpan image() const { return image_; }
  // One insertion per index whose path holds a primitive in the complete row, in definition
  // order (after replace(), the deletions first); views into this planner and its definition.
  std::span<const IndexEntryView> index_entries() const { return entries_; }
  // Their index payload; empty when there are none. A write may take its buffer.
  Bytes& index_payload() { return index_payload_; }

  // Lets go of buffers a large row grew, so that the planner does not hold its size for good.
  void release_large_buffers();

 private:
  // A value of the record: its field, the complete row's name it reads, and whether it takes
  // the candidate row's value (the first field of its name) or Null.
  struct ValueField {
    const FieldDef* def;
    std::size_t name;
    bool takes_value;
  };
  // A name of the complete row; one that several fields bear holds Null there.
  struct Name {
    std::string_view text;
    bool repeated;
  };
  // An index key in keys_.
  struct KeyAt {
    const IndexDef* def;
    IndexOp op;
    std::size_t at;
    std::size_t size;
  };

  InsertPlanner(std::shared_ptr<const CollectionInfo> info, const FieldDef* primary_def);
  // The position of a name of the complete row in names_.
  std::size_t name_at(std::string_view text) const;
  // The value the complete row holds under names_[i]; nothing for Null.
  std::optional<ValueView> complete_value(std::size_t i) const {
    return names_[i].repeated ? std::nullopt : found_[i];
  }
  void add_keys(RowView row, IndexOp op);
  // Makes entries_ and their payload from keys_at_.
  void finish_entries();

  std::shared_ptr<const CollectionInfo> info_;
  const FieldDef* primary_def_;
  std::vector<ValueField> value_fields_;  // in definition order
  std::vector<Name> names_;               // in ascending byte order, the primary field's too
  std::size_t pk_name_ = 0;               // the primary field's name in names_
  // The first field whose name an earlier one takes that is not optional: an insert fails.
  const std::string* repeated_required_ = nullptr;
  bool repeated_names_ = false;

  // The row planned last, and the buffers its plan is made in.
  std::vector<std::string> path_;
  std::vector<std::optional<ValueView>> found_;  // the candidate's value of each name
  std::optional<ValueView> pk_;
  std::vector<RecordFieldView> record_values_;
  Bytes payload_;
  Bytes pk_key_;
  Bytes complete_;
  RowView row_;
  ByteSpan image_;
  Bytes keys_;
  std::vector<KeyAt> keys_at_;
  std::vector<IndexEntryView> entries_;
  Bytes index_payload_;
};

// SchemaError::UniqueIndexViolation when a unique insertion among entries would give a key that
// indexes maps to another primary key; deletions and other kinds are passed over.
Status check_unique_insertions(const IndexState& indexes, std::uint32_t collection_id,
                               std::span<const IndexEntryView> entries);

// The deletions that take old_row out of every index of its collection, in definition order.
std::vector<IndexEntry> index_deletes_for_existing_row(std::uint32_t collection_id,
                                                       const ScalarValue& pk,
                                                       const std::vector<IndexDef>& indexes,
                                                       RowView old_row);

}  // namespace quarn
