// The in-memory index state and the index payload codec.
//
// Index payload, little-endian; "counted" is a u32 length and that many bytes:
//   [0, 2)   version, u16: 1 or 2 (written: 2)
//   [2, 6)   entry count n, u32
//   [6, ..)  n entries, nothing after the last:
//              collection id, u32
//              kind, u8: 1 Unique, 2 NonUnique
//              op, u8, version 2 only: 1 Insert, 2 Delete (a version 1 entry is an insert)
//              index name, counted UTF-8, at least 1 byte
//              key, counted
//              primary key, counted
#include "index.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

namespace quarn {
namespace {

// Smallest encoded entry: id, kind, op, a one-byte name, two empty counted fields.
constexpr std::size_t kMinEntrySizeV2 = 4 + 1 + 1 + (4 + 1) + 4 + 4;
constexpr std::size_t kMinEntrySizeV1 = kMinEntrySizeV2 - 1;
// Version 1 knows no op byte: every entry is an insert.
constexpr std::uint16_t kIndexPayloadV1 = 1;

FormatError invalid(std::string message) {
  return FormatError::InvalidCatalogPayload{std::move(message)};
}

// The index payload's reader: a length read off the data is checked against the remaining bytes
// before anything is allocated.
using Cursor = ByteCursor<PayloadEof>;

void put_counted(ByteWriter& w, ByteSpan bytes) {
  QUARN_CHECK(bytes.size() <= std::numeric_limits<std::uint32_t>::max(),
              "index payload field longer than 2^32 - 1 bytes");
  w.put_len_prefixed(bytes);
}

}  // namespace

std::size_t IndexState::IndexIdHash::operator()(const IndexIdView& id) const {
  const std::size_t h = std::hash<std::string_view>{}(id.name);
  return h ^ (std::hash<std::uint32_t>{}(id.collection_id) + 0x9e3779b97f4a7c15ull + (h << 6) +
              (h >> 2));
}

template <class V>
IndexState::KeyMap<V>& IndexState::key_map(PerIndex<V>& maps, IndexEntry& entry) {
  auto it = maps.find(IndexIdView{entry.collection_id, entry.index_name});
  if (it == maps.end()) {
    it = maps.emplace(IndexId{entry.collection_id, std::move(entry.index_name)}, KeyMap<V>{}).first;
  }
  return it->second;
}

template <class V>
const V* IndexState::find_value(const PerIndex<V>& maps, std::uint32_t collection_id,
                                std::string_view index_name, ByteSpan key) {
  auto index = maps.find(IndexIdView{collection_id, index_name});
  if (index == maps.end()) return nullptr;
  auto it = index->second.find(key);
  return it == index->second.end() ? nullptr : &it->second;
}

IndexState IndexState::overlay_on(const IndexState& base) {
  QUARN_CHECK(!base.is_overlay(), "overlay on an overlay");
  IndexState overlay;
  overlay.base_ = &base;
  return overlay;
}

void IndexState::absorb(IndexState&& overlay) {
  QUARN_CHECK(overlay.base_ == this, "absorbing an overlay of another index state");
  for (auto& [id, changes] : overlay.unique_changes_) {
    if (changes.empty()) continue;
    KeyMap<Bytes>& keys = unique_[id];
    for (auto& [key, owner] : changes) {
      if (owner) {
        keys.insert_or_assign(key, std::move(*owner));
      } else {
        auto it = keys.find(ByteSpan(key));
        if (it != keys.end()) keys.erase(it);
      }
    }
  }
  for (auto& [id, changes] : overlay.non_unique_changes_) {
    if (changes.empty()) continue;
    KeyMap<std::set<Bytes>>& keys = non_unique_[id];
    for (auto& [key, pks] : changes) {
      auto it = keys.find(ByteSpan(key));
      if (it != keys.end()) {
        for (const Bytes& pk : pks.removed) it->second.erase(pk);
      }
      if (!pks.added.empty()) {
        if (it == keys.end()) it = keys.emplace(key, std::set<Bytes>{}).first;
        it->second.merge(pks.added);
      }
      // A key never stays behind with an empty set.
      if (it != keys.end() && it->second.empty()) keys.erase(it);
    }
  }
  overlay.unique_changes_.clear();
  overlay.non_unique_changes_.clear();
  overlay.base_ = nullptr;
}

Status IndexState::apply(IndexEntry entry) {
  if (base_ != nullptr) return apply_to_overlay(std::move(entry));
  if (entry.kind == IndexKind::NonUnique) {
    KeyMap<std::set<Bytes>>& keys = key_map(non_unique_, entry);
    if (entry.op == IndexOp::Insert) {
      keys[std::move(entry.key)].insert(std::move(entry.pk));
      return ok_status();
    }
    auto it = keys.find(ByteSpan(entry.key));
    if (it != keys.end()) {
      it->second.erase(entry.pk);
      // A key never stays behind with an empty set.
      if (it->second.empty()) keys.erase(it);
    }
    return ok_status();
  }

  KeyMap<Bytes>& keys = key_map(unique_, entry);
  auto it = keys.find(ByteSpan(entry.key));
  if (entry.op == IndexOp::Insert) {
    if (it == keys.end()) {
      keys.emplace(std::move(entry.key), std::move(entry.pk));
      return ok_status();
    }
    if (it->second == entry.pk) return ok_status();
    return SchemaError::UniqueIndexViolation{};
  }
  // Another row's entry under the same key is not this delete's to remove.
  if (it != keys.end() && it->second == entry.pk) keys.erase(it);
  return ok_status();
}

// The same outcomes as apply() on a copy of the base, recorded as changes.
Status IndexState::apply_to_overlay(IndexEntry entry) {
  if (entry.kind == IndexKind::NonUnique) {
    const std::set<Bytes>* below =
        find_value(base_->non_unique_, entry.collection_id, entry.index_name, entry.key);
    const bool in_base = below != nullptr && below->contains(entry.pk);
    KeyMap<PkChanges>& keys = key_map(non_unique_changes_, entry);
    auto it = keys.find(ByteSpan(entry.key));
    if (entry.op == IndexOp::Insert) {
      if (it != keys.end() && it->second.removed.erase(entry.pk) != 0) return ok_status();
      if (in_base) return ok_status();
      if (it == keys.end()) it = keys.emplace(std::move(entry.key), PkChanges{}).first;
      it->second.added.insert(std::move(entry.pk));
      return ok_status();
    }
    if (it != keys.end() && it->second.added.erase(entry.pk) != 0) return ok_status();
    if (!in_base) return ok_status();
    if (it == keys.end()) it = keys.emplace(std::move(entry.key), PkChanges{}).first;
    it->second.removed.insert(std::move(entry.pk));
    return ok_status();
  }

  const std::optional<ByteSpan> owner =
      unique_lookup(entry.collection_id, entry.index_name, entry.key);
  const bool owned_by_pk = owner && std::ranges::equal(*owner, entry.pk);
  if (entry.op == IndexOp::Insert) {
    if (owned_by_pk) return ok_status();
    if (owner) return SchemaError::UniqueIndexViolation{};
    KeyMap<std::optional<Bytes>>& keys = key_map(unique_changes_, entry);
    keys.insert_or_assign(std::move(entry.key), std::move(entry.pk));
    return ok_status();
  }
  // Another row's entry under the same key is not this delete's to remove.
  if (!owned_by_pk) return ok_status();
  KeyMap<std::optional<Bytes>>& keys = key_map(unique_changes_, entry);
  keys.insert_or_assign(std::move(entry.key), std::nullopt);
  return ok_status();
}

std::optional<ByteSpan> IndexState::unique_lookup(std::uint32_t collection_id,
                                                  std::string_view index_name, ByteSpan key) const {
  if (base_ != nullptr) {
    if (const std::optional<Bytes>* changed =
            find_value(unique_changes_, collection_id, index_name, key)) {
      if (!*changed) return std::nullopt;
      return ByteSpan(**changed);
    }
    return base_->unique_lookup(collection_id, index_name, key);
  }
  const Bytes* owner = find_value(unique_, collection_id, index_name, key);
  if (owner == nullptr) return std::nullopt;
  return ByteSpan(*owner);
}

std::optional<std::vector<Bytes>> IndexState::non_unique_lookup(std::uint32_t collection_id,
                                                                std::string_view index_name,
                                                                ByteSpan key) const {
  const IndexState& committed = base_ == nullptr ? *this : *base_;
  const std::set<Bytes>* below = find_value(committed.non_unique_, collection_id, index_name, key);
  const PkChanges* changes =
      base_ == nullptr ? nullptr : find_value(non_unique_changes_, collection_id, index_name, key);
  if (changes == nullptr) {
    if (below == nullptr) return std::nullopt;
    return std::vector<Bytes>(below->begin(), below->end());
  }
  // Both sets are in ascending order and disjoint, so a merge keeps the order.
  std::vector<Bytes> pks;
  if (below != nullptr) {
    for (const Bytes& pk : *below) {
      if (!changes->removed.contains(pk)) pks.push_back(pk);
    }
  }
  const std::size_t kept = pks.size();
  pks.insert(pks.end(), changes->added.begin(), changes->added.end());
  std::inplace_merge(pks.begin(), pks.begin() + static_cast<std::ptrdiff_t>(kept), pks.end());
  if (pks.empty()) return std::nullopt;
  return pks;
}

Bytes encode_index_payload(const std::vector<IndexEntry>& entries) {
  QUARN_CHECK(entries.size() <= std::numeric_limits<std::uint32_t>::max(),
              "more than 2^32 - 1 index entries in one payload");
  Bytes out;
  ByteWriter w(out);
  w.put_u16(kIndexPayloadVersion);
  w.put_u32(static_cast<std::uint32_t>(entries.size()));
  for (const IndexEntry& e : entries) {
    w.put_u32(e.collection_id);
    w.put_u8(static_cast<std::uint8_t>(static_cast<std::uint8_t>(e.kind) + 1));
    w.put_u8(static_cast<std::uint8_t>(static_cast<std::uint8_t>(e.op) + 1));
    put_counted(w, as_span(e.index_name));
    put_counted(w, e.key);
    put_counted(w, e.pk);
  }
  return out;
}

Result<std::vector<IndexEntry>> decode_index_payload(ByteSpan payload) {
  Cursor in(payload);
  QUARN_ASSIGN_OR_RETURN(const std::uint16_t version, in.take_u16());
  if (version != kIndexPayloadV1 && version != kIndexPayloadVersion) {
    return FormatError::UnsupportedVersion{0, version};
  }
  const bool has_op = version != kIndexPayloadV1;

  QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, in.take_u32());
  // A forged count must not force a large allocation.
  const std::size_t fit = in.remaining() / (has_op ? kMinEntrySizeV2 : kMinEntrySizeV1);
  std::vector<IndexEntry> entries;
  entries.reserve(std::min({static_cast<std::size_t>(count), kMaxIndexEntriesReserved, fit}));

  for (std::uint32_t i = 0; i < count; ++i) {
    IndexEntry e;
    QUARN_ASSIGN_OR_RETURN(e.collection_id, in.take_u32());
    QUARN_ASSIGN_OR_RETURN(const std::uint8_t kind, in.take_u8());
    if (kind == 1) {
      e.kind = IndexKind::Unique;
    } else if (kind == 2) {
      e.kind = IndexKind::NonUnique;
    } else {
      return invalid("unknown index kind tag " + std::to_string(kind));
    }
    if (has_op) {
      QUARN_ASSIGN_OR_RETURN(const std::uint8_t op, in.take_u8());
      if (op == 1) {
        e.op = IndexOp::Insert;
      } else if (op == 2) {
        e.op = IndexOp::Delete;
      } else {
        return invalid("unknown index op tag " + std::to_string(op));
      }
    }
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t name_len, in.take_u32());
    if (name_len == 0) return invalid("empty index name");
    QUARN_ASSIGN_OR_RETURN(const ByteSpan name, in.take_span(name_len));
    if (!is_valid_utf8(name)) return invalid("invalid utf-8 in index name");
    e.index_name.assign(name.begin(), name.end());
    QUARN_ASSIGN_OR_RETURN(const ByteSpan key, in.take_len_prefixed());
    e.key.assign(key.begin(), key.end());
    QUARN_ASSIGN_OR_RETURN(const ByteSpan pk, in.take_len_prefixed());
    e.pk.assign(pk.begin(), pk.end());
    entries.push_back(std::move(e));
  }
  if (in.remaining() != 0) return invalid("trailing bytes in index payload");
  return entries;
}

}  // namespace quarn
