// Insert planning and the key helpers shared by writes and queries.
#include "db/helpers.h"

#include <algorithm>
#include <utility>

#include "record/payload.h"
#include "record/payload_v2.h"
#include "validation.h"

namespace quarn {
namespace {

IndexEntry make_entry(const IndexDef& def, Bytes key, Bytes pk, std::uint32_t collection_id,
                      IndexOp op) {
  return IndexEntry{def.name, std::move(key), std::move(pk), collection_id, def.kind, op};
}

}  // namespace

Result<const FieldDef*> primary_field_def(const CollectionInfo& info) {
  if (!info.primary_field) return SchemaError::NoPrimaryKey{info.collection_id};
  const FieldDef* def = find_top_level_field(info.fields, *info.primary_field);
  if (def == nullptr) return SchemaError::PrimaryFieldNotFound{*info.primary_field};
  return def;
}

Result<KeyedCollection> keyed_collection(const Catalog& catalog, std::uint32_t collection_id) {
  const CollectionInfo* info = catalog.get(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  QUARN_ASSIGN_OR_RETURN(const FieldDef* primary_def, primary_field_def(*info));
  return KeyedCollection{info, primary_def};
}

InsertPlanner::InsertPlanner(std::shared_ptr<const CollectionInfo> info,
                             const FieldDef* primary_def)
    : info_(std::move(info)), primary_def_(primary_def) {}

Result<InsertPlanner> InsertPlanner::make(const Catalog& catalog, std::uint32_t collection_id) {
  std::shared_ptr<const CollectionInfo> info = catalog.get_shared(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  for (const FieldDef& def : info->fields) {
    if (def.path.size() > 1) return DbError::NotImplemented{};
  }
  QUARN_ASSIGN_OR_RETURN(const FieldDef* primary_def, primary_field_def(*info));
  if (!primary_def->type.is_primitive()) {
    return ValidationError{{},
                           "primary key field must use a primitive type "
                           "(not optional/list/object/enum)"};
  }
  InsertPlanner planner(info, primary_def);
  const std::string& primary = *info->primary_field;
  const std::vector<const FieldDef*> defs = non_pk_defs_in_order(info->fields, primary);

  std::vector<std::string_view> names{primary};
  for (const FieldDef* def : defs) names.push_back(def->path.first());
  std::sort(names.begin(), names.end());
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0 && names[i] == names[i - 1]) {
      planner.names_.back().repeated = true;
      planner.repeated_names_ = true;
    } else {
      planner.names_.push_back(Name{names[i], false});
    }
  }
  planner.pk_name_ = planner.name_at(primary);
  std::vector<bool> taken(planner.names_.size(), false);
  for (const FieldDef* def : defs) {
    const std::size_t name = planner.name_at(def->path.first());
    const bool first = !taken[name];
    taken[name] = true;
    if (!first && def->type.kind() != Type::Kind::Optional &&
        planner.repeated_required_ == nullptr) {
      planner.repeated_required_ = &def->path.first();
    }
    planner.value_fields_.push_back(ValueField{def, name, first});
  }
  planner.found_.resize(planner.names_.size());
  planner.record_values_.reserve(planner.value_fields_.size());
  return planner;
}

std::size_t InsertPlanner::name_at(std::string_view text) const {
  const auto at =
      std::lower_bound(names_.begin(), names_.end(), text,
                       [](const Name& name, std::string_view t) { return name.text < t; });
  QUARN_CHECK(at != names_.end() && at->text == text, "field name missing from the complete row");
  return static_cast<std::size_t>(at - names_.begin());
}

Status InsertPlanner::plan(RowView row) {
  // Both the row's names and names_ ascend, so one walk pairs them; what it finds is checked in
  // the order validate_top_level_row checks it, after the key.
  std::optional<std::string_view> unknown;
  std::size_t fields = 0;
  std::size_t i = 0;
  for (const RowView::Field field : row) {
    ++fields;
    for (; i < names_.size() && names_[i].text < field.name; ++i) found_[i].reset();
    if (i < names_.size() && names_[i].text == field.name) {
      found_[i++] = field.value;
    } else if (!unknown) {
      unknown = field.name;
    }
  }
  for (; i < names_.size(); ++i) found_[i].reset();

  const std::string& primary = *info_->primary_field;
  pk_ = found_[pk_name_];
  if (!pk_) return SchemaError::InsertMissingPrimaryKey{primary};
  path_.assign(1, primary);
  QUARN_TRY(validate_value(path_, primary_def_->type, primary_def_->constraints, *pk_));
  if (unknown) return unknown_field_error(*unknown);
  for (const ValueField& f : value_fields_) {
    QUARN_TRY(validate_top_level_field(*f.def, found_[f.name], path_));
  }
  // Checked only now, as an insert took the values field by field after the validation.
  if (repeated_required_ != nullptr) return SchemaError::InsertMissingField{*repeated_required_};

  if (!repeated_names_ && fields == names_.size()) {
    // Nothing to add: the row is the complete row.
    row_ = row;
    image_ = row.image();
  } else {
    complete_.clear();
    packed_build::count(complete_, names_.size());
    for (std::size_t k = 0; k < names_.size(); ++k) {
      packed_build::name(complete_, names_[k].text);
      if (const std::optional<ValueView> value = complete_value(k)) {
        packed_build::value(complete_, *value);
      } else {
        packed_build::null(complete_);
      }
    }
    row_ = RowView(complete_.data());
    image_ = complete_;
  }

  pk_key_.clear();
  append_canonical_key_bytes(*pk_, pk_key_);

  record_values_.clear();
  for (const ValueField& f : value_fields_) {
    record_values_.push_back(RecordFieldView{f.def, f.takes_value ? found_[f.name] : std::nullopt});
  }
  payload_.clear();
  QUARN_TRY(append_record_payload_v2_op(payload_, info_->collection_id, info_->schema_version,
                                        static_cast<std::uint8_t>(RecordOp::Insert), *pk_,
                                        primary_def_->type, record_values_));

  keys_.clear();
  keys_at_.clear();
  add_keys(row_, IndexOp::Insert);
  finish_entries();
  return ok_status();
}

Status InsertPlanner::replace(RowView old) {
  // A replace logs the complete row: where several fields bear a name, each reads its Null.
  record_values_.clear();
  for (const ValueField& f : value_fields_) {
    record_values_.push_back(RecordFieldView{f.def, complete_value(f.name)});
  }
  payload_.clear();
  QUARN_TRY(append_record_payload_v2_op(payload_, info_->collection_id, info_->schema_version,
                                        static_cast<std::uint8_t>(RecordOp::Replace), *pk_,
                                        primary_def_->type, record_values_));
  const std::size_t insertions = keys_at_.size();
  add_keys(old, IndexOp::Delete);
  std::rotate(keys_at_.begin(), keys_at_.begin() + static_cast<std::ptrdiff_t>(insertions),
              keys_at_.end());
  finish_entries();
  return ok_status();
}

void InsertPlanner::add_keys(RowView row, IndexOp op) {
  for (const IndexDef& def : info_->indexes) {
    const std::optional<ValueView> value = row.at_path(def.path);
    if (!value || !value->is_primitive()) continue;
    const std::size_t at = keys_.size();
    append_canonical_key_bytes(*value, keys_);
    keys_at_.push_back(KeyAt{&def, op, at, keys_.size() - at});
  }
}

void InsertPlanner::finish_entries() {
  // Views only now that keys_ no longer grows.
  entries_.clear();
  for (const KeyAt& key : keys_at_) {
    entries_.push_back(IndexEntryView{key.def->name, ByteSpan(keys_).subspan(key.at, key.size),
                                      pk_key_, info_->collection_id, key.def->kind, key.op});
  }
  index_payload_.clear();
  if (!entries_.empty()) append_index_payload(entries_, index_payload_);
}

void InsertPlanner::release_large_buffers() {
  constexpr std::size_t kKept = std::size_t{64} << 10;
  for (Bytes* buffer : {&payload_, &complete_, &keys_, &index_payload_}) {
    if (buffer->capacity() > kKept) Bytes().swap(*buffer);
  }
  // The views into what was just dropped go with it.
  row_ = RowView();
  image_ = {};
  entries_.clear();
  pk_.reset();
}

std::vector<IndexEntry> index_deletes_for_existing_row(std::uint32_t collection_id,
                                                       const ScalarValue& pk,
                                                       const std::vector<IndexDef>& indexes,
                                                       RowView old_row) {
  std::vector<IndexEntry> entries;
  const Bytes pk_key = pk.canonical_key_bytes();
  for (const IndexDef& def : indexes) {
    std::optional<ScalarValue> key = old_row.scalar_at(def.path);
    if (!key) continue;
    entries.push_back(
        make_entry(def, key->canonical_key_bytes(), pk_key, collection_id, IndexOp::Delete));
  }
  return entries;
}

Status check_unique_insertions(const IndexState& indexes, std::uint32_t collection_id,
                               std::span<const IndexEntryView> entries) {
  for (const IndexEntryView& entry : entries) {
    if (entry.kind != IndexKind::Unique || entry.op != IndexOp::Insert) continue;
    const std::optional<ByteSpan> owner =
        indexes.unique_lookup(collection_id, entry.index_name, entry.key);
    if (owner && !std::equal(owner->begin(), owner->end(), entry.pk.begin(), entry.pk.end())) {
      return SchemaError::UniqueIndexViolation{};
    }
  }
  return ok_status();
}

}  // namespace quarn
