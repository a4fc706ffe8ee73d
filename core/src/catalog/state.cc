// The in-memory catalog.
//
// The state sits behind a shared pointer and each collection behind another, so copying a
// catalog (every transaction does) costs a pointer copy, and the first change to a shared copy
// copies the two maps of pointers, never the definitions.
#include "catalog/state.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

namespace quarn {

namespace {

constexpr std::uint32_t kMaxId = std::numeric_limits<std::uint32_t>::max();

// The characters with the Unicode White_Space property (a fixed set), UTF-8 encoded.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\x09",         "\x0A",         "\x0B",         "\x0C",         "\x0D",
    "\x20",         "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

// Length of the White_Space character `text` starts (or, with at_end, ends) with, else 0.
// Matching whole encodings keeps this byte-aligned on valid UTF-8.
std::size_t white_space_at(std::string_view text, bool at_end) {
  if (text.empty()) return 0;
  // Every encoding starts with an ASCII space or one of four lead bytes, and ends with an ASCII
  // space or a continuation byte: most names are told apart by one byte, without the table.
  const auto edge = static_cast<unsigned char>(at_end ? text.back() : text.front());
  const bool ascii_space = edge == 0x20 || (edge >= 0x09 && edge <= 0x0D);
  if (edge < 0x80 && !ascii_space) return 0;
  if (!at_end && edge >= 0x80 && edge != 0xC2 && (edge < 0xE1 || edge > 0xE3)) return 0;
  for (std::string_view ws : kWhiteSpace) {
    if (at_end ? text.ends_with(ws) : text.starts_with(ws)) return ws.size();
  }
  return 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  while (std::size_t n = white_space_at(text, false)) text.remove_prefix(n);
  while (std::size_t n = white_space_at(text, true)) text.remove_suffix(n);
  return text;
}

const Catalog::State& Catalog::state() const {
  static const State kEmpty;
  return state_ ? *state_ : kEmpty;
}

Catalog::State& Catalog::own_state() {
  if (!state_) {
    state_ = std::make_shared<State>();
  } else if (state_.use_count() > 1) {
    state_ = std::make_shared<State>(*state_);
  }
  return *state_;
}

std::uint32_t Catalog::next_id() const {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(state().next_id, kMaxId));
}

bool Catalog::has_top_level_field(const std::vector<FieldDef>& fields, std::string_view name) {
  return find_top_level_field(fields, name) != nullptr;
}

Status Catalog::check_create(const CatalogRecordWire::CreateCollection& entry) const {
  const State& s = state();
  if (entry.name.empty() || entry.name.size() > kCatalogMaxNameBytes) {
    return SchemaError::InvalidCollectionName{};
  }
  if (entry.schema_version != 1) return SchemaError::InvalidSchemaVersion{1, entry.schema_version};
  // After id 4294967295 the next id would wrap; a further creation would overwrite that
  // collection, so it is refused whatever id it carries.
  if (s.next_id > kMaxId) {
    return SchemaError::IncompatibleChange{
        "collection id limit reached (cannot create further collections)"};
  }
  if (entry.collection_id != s.next_id) {
    return SchemaError::UnexpectedCollectionId{static_cast<std::uint32_t>(s.next_id),
                                               entry.collection_id};
  }
  if (s.by_name.contains(entry.name)) return SchemaError::DuplicateCollectionName{entry.name};
  if (entry.primary_field && !has_top_level_field(entry.fields, *entry.primary_field)) {
    return SchemaError::PrimaryFieldNotFound{*entry.primary_field};
  }
  return ok_status();
}

Status Catalog::check_new_version(const CatalogRecordWire::NewSchemaVersion& entry) const {
  const CollectionInfo* info = get(entry.collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{entry.collection_id};
  // At the last version, current + 1 saturates to current itself: accepting it would give two
  // definitions one version number, so the collection takes no further version.
  if (info->schema_version == kMaxId) return SchemaError::SchemaVersionLimit{};
  const std::uint32_t expected = info->schema_version + 1;
  if (entry.schema_version != expected) {
    return SchemaError::InvalidSchemaVersion{expected, entry.schema_version};
  }
  if (info->primary_field && !has_top_level_field(entry.fields, *info->primary_field)) {
    return SchemaError::PrimaryFieldNotRetained{*info->primary_field};
  }
  return ok_status();
}

Status Catalog::check_record(const CatalogRecordWire& entry) const {
  if (const auto* create = std::get_if<CatalogRecordWire::CreateCollection>(&entry.value())) {
    return check_create(*create);
  }
  return check_new_version(std::get<CatalogRecordWire::NewSchemaVersion>(entry.value()));
}

Status Catalog::apply_record(CatalogRecordWire entry) {
  QUARN_TRY(check_record(entry));
  CatalogRecordWire::Variant value = std::move(entry).value();
  State& s = own_state();
  if (auto* create = std::get_if<CatalogRecordWire::CreateCollection>(&value)) {
    const std::uint32_t id = create->collection_id;
    auto info = std::make_shared<const CollectionInfo>(
        CollectionInfo{create->name, std::move(create->fields), std::move(create->indexes),
                       std::move(create->primary_field), id, 1});
    s.by_name.emplace(std::move(create->name), id);
    s.by_id.emplace(id, std::move(info));
    s.next_id = std::uint64_t{id} + 1;
    return ok_status();
  }
  auto& next = std::get<CatalogRecordWire::NewSchemaVersion>(value);
  std::shared_ptr<const CollectionInfo>& slot = s.by_id.at(next.collection_id);
  // A fresh info: copies sharing the old one keep seeing the old definition.
  slot = std::make_shared<const CollectionInfo>(
      CollectionInfo{slot->name, std::move(next.fields), std::move(next.indexes),
                     slot->primary_field, next.collection_id, next.schema_version});
  return ok_status();
}

const CollectionInfo* Catalog::get(std::uint32_t id) const {
  const State& s = state();
  auto it = s.by_id.find(id);
  return it == s.by_id.end() ? nullptr : it->second.get();
}

std::shared_ptr<const CollectionInfo> Catalog::get_shared(std::uint32_t id) const {
  const State& s = state();
  auto it = s.by_id.find(id);
  return it == s.by_id.end() ? nullptr : it->second;
}

std::optional<CollectionId> Catalog::lookup_name(std::string_view name) const {
  const State& s = state();
  auto it = s.by_name.find(std::string(trim_white_space(name)));
  if (it == s.by_name.end()) return std::nullopt;
  return CollectionId{it->second};
}

std::vector<CollectionInfo> Catalog::collections() const {
  const State& s = state();
  std::vector<const CollectionInfo*> infos;
  infos.reserve(s.by_id.size());
  for (const auto& [id, info] : s.by_id) infos.push_back(info.get());
  std::sort(infos.begin(), infos.end(), [](const CollectionInfo* a, const CollectionInfo* b) {
    return a->collection_id < b->collection_id;
  });
  std::vector<CollectionInfo> out;
  out.reserve(infos.size());
  for (const CollectionInfo* info : infos) out.push_back(*info);
  return out;
}

std::vector<std::string> Catalog::collection_names() const {
  const State& s = state();
  std::vector<std::string> names;
  names.reserve(s.by_name.size());
  for (const auto& [name, id] : s.by_name) names.push_back(name);
  // std::string compares as unsigned bytes, a prefix first.
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace quarn
