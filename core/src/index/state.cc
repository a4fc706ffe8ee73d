// The in-memory index maps and their overlay.
#include "index/state.h"

#include <algorithm>
#include <functional>
#include <string>
#include <utility>

namespace quarn {
namespace {

// What a map keeps of an entry: an IndexEntry gives up its buffers, a view's bytes are copied.
Bytes owned(Bytes&& bytes) { return std::move(bytes); }
Bytes owned(ByteSpan bytes) { return Bytes(bytes.begin(), bytes.end()); }
std::string owned(std::string&& name) { return std::move(name); }
std::string owned(std::string_view name) { return std::string(name); }

// Maps key to value in keys, adding key if it is not there; key is an entry's, as for owned().
template <class Map, class Key, class Value>
void set_value(Map& keys, Key&& key, Value&& value) {
  auto it = keys.find(ByteSpan(key));
  if (it == keys.end()) {
    keys.emplace(owned(std::forward<Key>(key)), std::forward<Value>(value));
  } else {
    it->second = std::forward<Value>(value);
  }
}

}  // namespace

std::size_t IndexState::IndexIdHash::operator()(const IndexIdView& id) const {
  const std::size_t h = std::hash<std::string_view>{}(id.name);
  return h ^ (std::hash<std::uint32_t>{}(id.collection_id) + 0x9e3779b97f4a7c15ull + (h << 6) +
              (h >> 2));
}

IndexState::UniqueEntry::UniqueEntry(ByteSpan key, ByteSpan pk) {
  const Leb128 length = encode_leb128(key.size());
  bytes_.reserve(length.size + key.size() + pk.size());
  bytes_.insert(bytes_.end(), length.begin(), length.end());
  bytes_.insert(bytes_.end(), key.begin(), key.end());
  bytes_.insert(bytes_.end(), pk.begin(), pk.end());
}

ByteSpan IndexState::UniqueEntry::key() const {
  std::size_t at = 0;
  const std::size_t length = read_leb128_at(bytes_, at);
  return ByteSpan(bytes_).subspan(at, length);
}

ByteSpan IndexState::UniqueEntry::pk() const {
  std::size_t at = 0;
  const std::size_t length = read_leb128_at(bytes_, at);
  return ByteSpan(bytes_).subspan(at + length);
}

template <class M, class E>
M& IndexState::key_map(PerIndexOf<M>& maps, E& entry) {
  auto it = maps.find(IndexIdView{entry.collection_id, entry.index_name});
  if (it == maps.end()) {
    it = maps.emplace(IndexId{entry.collection_id, owned(std::move(entry.index_name))}, M{}).first;
  }
  return it->second;
}

template <class M>
const M* IndexState::find_keys(const PerIndexOf<M>& maps, std::uint32_t collection_id,
                               std::string_view index_name) {
  auto index = maps.find(IndexIdView{collection_id, index_name});
  return index == maps.end() ? nullptr : &index->second;
}

template <class V>
const V* IndexState::find_value(const PerIndex<V>& maps, std::uint32_t collection_id,
                                std::string_view index_name, ByteSpan key) {
  const KeyMap<V>* keys = find_keys(maps, collection_id, index_name);
  if (keys == nullptr) return nullptr;
  auto it = keys->find(key);
  return it == keys->end() ? nullptr : &it->second;
}

void IndexState::absorb(IndexState&& overlay) {
  check_absorbs(overlay, "absorbing an overlay of another index state");
  for (auto& [id, changes] : overlay.unique_changes_) {
    if (changes.empty()) continue;
    UniqueKeys& keys = unique_[id];
    for (auto& [key, owner] : changes) {
      auto it = keys.find(ByteSpan(key));
      if (it != keys.end()) keys.erase(it);
      if (owner) keys.emplace(key, *owner);
    }
  }
  for (auto& [id, changes] : overlay.non_unique_changes_) {
    if (changes.empty()) continue;
    KeyMap<PkSet>& keys = non_unique_[id];
    for (auto& [key, pks] : changes) {
      auto it = keys.find(ByteSpan(key));
      if (it == keys.end()) {
        // Nothing of the base to remove: the added set becomes the key's set as it is.
        if (!pks.added.empty()) keys.emplace(key, std::move(pks.added));
        continue;
      }
      pks.removed.for_each([&](ByteSpan pk) { it->second.erase(pk); });
      pks.added.for_each([&](ByteSpan pk) { it->second.insert(pk); });
      // A key never stays behind with an empty set.
      if (it->second.empty()) keys.erase(it);
    }
  }
  overlay.unique_changes_.clear();
  overlay.non_unique_changes_.clear();
  detach(overlay);
}

template <class E>
Status IndexState::apply_entry(E& entry) {
  if (base() != nullptr) return apply_to_overlay(entry);
  if (entry.kind == IndexKind::NonUnique) {
    KeyMap<PkSet>& keys = key_map(non_unique_, entry);
    auto it = keys.find(ByteSpan(entry.key));
    if (entry.op == IndexOp::Insert) {
      if (it == keys.end()) it = keys.emplace(owned(std::move(entry.key)), PkSet{}).first;
      it->second.insert(entry.pk);
      return ok_status();
    }
    if (it != keys.end()) {
      it->second.erase(entry.pk);
      // A key never stays behind with an empty set.
      if (it->second.empty()) keys.erase(it);
    }
    return ok_status();
  }

  UniqueKeys& keys = key_map(unique_, entry);
  auto it = keys.find(ByteSpan(entry.key));
  const bool owned_by_pk = it != keys.end() && std::ranges::equal(it->pk(), entry.pk);
  if (entry.op == IndexOp::Insert) {
    if (it == keys.end()) {
      keys.emplace(entry.key, entry.pk);
      return ok_status();
    }
    if (owned_by_pk) return ok_status();
    return SchemaError::UniqueIndexViolation{};
  }
  // Another row's entry under the same key is not this delete's to remove.
  if (owned_by_pk) keys.erase(it);
  return ok_status();
}

// The same outcomes as apply() on a copy of the base, recorded as changes.
template <class E>
Status IndexState::apply_to_overlay(E& entry) {
  if (entry.kind == IndexKind::NonUnique) {
    const PkSet* below =
        find_value(base()->non_unique_, entry.collection_id, entry.index_name, entry.key);
    const bool in_base = below != nullptr && below->contains(entry.pk);
    KeyMap<PkChanges>& keys = key_map(non_unique_changes_, entry);
    auto it = keys.find(ByteSpan(entry.key));
    if (entry.op == IndexOp::Insert) {
      if (it != keys.end() && it->second.removed.erase(entry.pk)) return ok_status();
      if (in_base) return ok_status();
      if (it == keys.end()) it = keys.emplace(owned(std::move(entry.key)), PkChanges{}).first;
      it->second.added.insert(entry.pk);
      return ok_status();
    }
    if (it != keys.end() && it->second.added.erase(entry.pk)) return ok_status();
    if (!in_base) return ok_status();
    if (it == keys.end()) it = keys.emplace(owned(std::move(entry.key)), PkChanges{}).first;
    it->second.removed.insert(entry.pk);
    return ok_status();
  }

  const std::optional<ByteSpan> owner =
      unique_lookup(entry.collection_id, entry.index_name, entry.key);
  const bool owned_by_pk = owner && std::ranges::equal(*owner, entry.pk);
  if (entry.op == IndexOp::Insert) {
    if (owned_by_pk) return ok_status();
    if (owner) return SchemaError::UniqueIndexViolation{};
    set_value(key_map(unique_changes_, entry), std::move(entry.key), owned(std::move(entry.pk)));
    return ok_status();
  }
  // Another row's entry under the same key is not this delete's to remove.
  if (!owned_by_pk) return ok_status();
  set_value(key_map(unique_changes_, entry), std::move(entry.key), std::nullopt);
  return ok_status();
}

Status IndexState::apply(IndexEntry entry) { return apply_entry(entry); }

Status IndexState::apply(const IndexEntryView& entry) { return apply_entry(entry); }

std::optional<ByteSpan> IndexState::unique_lookup(std::uint32_t collection_id,
                                                  std::string_view index_name, ByteSpan key) const {
  if (base() != nullptr) {
    if (const std::optional<Bytes>* changed =
            find_value(unique_changes_, collection_id, index_name, key)) {
      if (!*changed) return std::nullopt;
      return ByteSpan(**changed);
    }
    return base()->unique_lookup(collection_id, index_name, key);
  }
  const UniqueKeys* keys = find_keys(unique_, collection_id, index_name);
  if (keys == nullptr) return std::nullopt;
  auto it = keys->find(key);
  if (it == keys->end()) return std::nullopt;
  return it->pk();
}

std::optional<std::vector<Bytes>> IndexState::non_unique_lookup(std::uint32_t collection_id,
                                                                std::string_view index_name,
                                                                ByteSpan key) const {
  const IndexState& committed = base() == nullptr ? *this : *base();
  const PkSet* below = find_value(committed.non_unique_, collection_id, index_name, key);
  const PkChanges* changes =
      base() == nullptr ? nullptr : find_value(non_unique_changes_, collection_id, index_name, key);
  std::vector<Bytes> pks;
  const auto keep = [&](ByteSpan pk) { pks.emplace_back(pk.begin(), pk.end()); };
  if (changes == nullptr) {
    if (below == nullptr) return std::nullopt;
    below->for_each(keep);
    return pks;
  }
  // Both sets are in ascending order and disjoint, so a merge keeps the order.
  if (below != nullptr) {
    below->for_each([&](ByteSpan pk) {
      if (!changes->removed.contains(pk)) keep(pk);
    });
  }
  const std::size_t kept = pks.size();
  changes->added.for_each(keep);
  std::inplace_merge(pks.begin(), pks.begin() + static_cast<std::ptrdiff_t>(kept), pks.end());
  if (pks.empty()) return std::nullopt;
  return pks;
}

}  // namespace quarn
