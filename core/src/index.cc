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
#include <cstring>
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

// The tags an entry's kind and op are written as. The numbers are on disk: frozen.
enum class IndexKindTag : std::uint8_t { Unique = 1, NonUnique = 2 };
enum class IndexOpTag : std::uint8_t { Insert = 1, Delete = 2 };

// Each tag is its enumerator's number plus one, so an entry is written without a lookup.
static_assert(static_cast<std::uint8_t>(IndexKindTag::Unique) ==
              static_cast<std::uint8_t>(IndexKind::Unique) + 1);
static_assert(static_cast<std::uint8_t>(IndexKindTag::NonUnique) ==
              static_cast<std::uint8_t>(IndexKind::NonUnique) + 1);
static_assert(static_cast<std::uint8_t>(IndexOpTag::Insert) ==
              static_cast<std::uint8_t>(IndexOp::Insert) + 1);
static_assert(static_cast<std::uint8_t>(IndexOpTag::Delete) ==
              static_cast<std::uint8_t>(IndexOp::Delete) + 1);

std::uint8_t tag_of(IndexKind kind) {
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(kind) + 1);
}
std::uint8_t tag_of(IndexOp op) {
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(op) + 1);
}

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

// Negative, zero or positive as a sorts before, with or after b in Bytes' operator< order.
int compare_bytes(ByteSpan a, ByteSpan b) {
  const std::size_t common = std::min(a.size(), b.size());
  // memcmp must not see the null pointer of an empty span.
  if (common != 0) {
    // Keys mostly differ in their first byte, which settles the order without a call.
    if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
    if (const int c = std::memcmp(a.data(), b.data(), common); c != 0) return c;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// The LEB128 length starting at offset at, which it moves past. REQUIRES: a whole length is
// there.
std::size_t decode_length(ByteSpan bytes, std::size_t& at) {
  const std::uint8_t* const start = bytes.data();
  const std::uint8_t* p = start + at;
  const std::uint64_t n = read_leb128(p);
  at = static_cast<std::size_t>(p - start);
  return static_cast<std::size_t>(n);
}

// Capacity for a chunk about to hold size bytes: a quarter spare, so that a run of inserts
// reallocates a few times, not on every one.
void reserve_for(Bytes& chunk, std::size_t size) {
  if (size > chunk.capacity()) chunk.reserve(size + size / 4);
}

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

PkSet::Entry PkSet::entry_at(ByteSpan chunk, std::size_t at) {
  const std::size_t length = decode_length(chunk, at);
  return Entry{chunk.subspan(at, length), at + length};
}

PkSet::Position PkSet::position_in(ByteSpan chunk, ByteSpan pk) {
  std::size_t at = 0;
  while (at < chunk.size()) {
    const Entry e = entry_at(chunk, at);
    const int c = compare_bytes(e.pk, pk);
    if (c >= 0) return Position{at, c == 0};
    at = e.next;
  }
  return Position{at, false};
}

std::size_t PkSet::find_chunk(ByteSpan pk) const {
  std::size_t lo = 0;
  std::size_t hi = chunk_count();
  while (hi - lo > 1) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (compare_bytes(entry_at(chunk(mid), 0).pk, pk) <= 0) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return lo;
}

bool PkSet::contains(ByteSpan pk) const {
  if (empty()) return false;
  return position_in(chunk(find_chunk(pk)), pk).found;
}

bool PkSet::insert(ByteSpan pk) {
  const Leb128 length = encode_leb128(pk.size());
  const std::size_t length_size = length.size;
  const std::size_t i = empty() ? 0 : find_chunk(pk);
  Bytes& bytes = chunk(i);
  const Position pos = position_in(bytes, pk);
  if (pos.found) return false;
  reserve_for(bytes, bytes.size() + length_size + pk.size());
  // One gap for the length and the key, so the bytes after them move once.
  const auto gap = bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(pos.at),
                                length_size + pk.size(), std::uint8_t{0});
  std::copy(pk.begin(), pk.end(), std::copy(length.begin(), length.end(), gap));
  if (bytes.size() > kMaxChunkBytes) {
    split_chunk(i, i + 1 == chunk_count() && pos.at + length_size + pk.size() == bytes.size());
  }
  return true;
}

bool PkSet::erase(ByteSpan pk) {
  if (empty()) return false;
  const std::size_t i = find_chunk(pk);
  Bytes& bytes = chunk(i);
  const Position pos = position_in(bytes, pk);
  if (!pos.found) return false;
  const std::size_t next = entry_at(bytes, pos.at).next;
  bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(pos.at),
              bytes.begin() + static_cast<std::ptrdiff_t>(next));
  if (bytes.empty()) {
    erase_chunk(i);
    return true;
  }
  // Chunks thinned out by erases join a neighbour; a joined chunk is at most half full, so it
  // does not split again at once.
  std::size_t low = chunk_count();
  if (i + 1 < chunk_count() && bytes.size() + chunk(i + 1).size() <= kMaxChunkBytes / 2) {
    low = i;
  } else if (i > 0 && chunk(i - 1).size() + bytes.size() <= kMaxChunkBytes / 2) {
    low = i - 1;
  }
  if (low != chunk_count()) {
    Bytes& into = chunk(low);
    const Bytes& from = chunk(low + 1);
    reserve_for(into, into.size() + from.size());
    into.insert(into.end(), from.begin(), from.end());
    erase_chunk(low + 1);
  } else if (bytes.capacity() - bytes.size() > bytes.size() / 2 + 16) {
    bytes.shrink_to_fit();
  }
  return true;
}

void PkSet::insert_chunk(std::size_t i, Bytes bytes) {
  QUARN_CHECK(i > 0, "inserting a chunk before the first");
  rest_.insert(rest_.begin() + static_cast<std::ptrdiff_t>(i - 1), std::move(bytes));
}

void PkSet::erase_chunk(std::size_t i) {
  if (i > 0) {
    rest_.erase(rest_.begin() + static_cast<std::ptrdiff_t>(i - 1));
  } else if (rest_.empty()) {
    first_ = Bytes();
  } else {
    first_ = std::move(rest_.front());
    rest_.erase(rest_.begin());
  }
}

// A set filled in ascending order appends to its last chunk: that chunk then keeps all but
// the new key, so the chunks end full rather than half full.
void PkSet::split_chunk(std::size_t i, bool appended_last) {
  const Bytes& bytes = chunk(i);
  std::size_t cut = 0;
  std::size_t before = 0;
  while (cut < bytes.size() && (appended_last || cut < bytes.size() / 2)) {
    before = cut;
    cut = entry_at(bytes, cut).next;
  }
  if (cut == bytes.size()) cut = before;
  // One key larger than a chunk stays alone.
  if (cut == 0) return;
  Bytes upper(bytes.begin() + static_cast<std::ptrdiff_t>(cut), bytes.end());
  Bytes& lower = chunk(i);
  lower.resize(cut);
  lower.shrink_to_fit();
  insert_chunk(i + 1, std::move(upper));
}

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
  const std::size_t length = decode_length(bytes_, at);
  return ByteSpan(bytes_).subspan(at, length);
}

ByteSpan IndexState::UniqueEntry::pk() const {
  std::size_t at = 0;
  const std::size_t length = decode_length(bytes_, at);
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

namespace {

// The one writer of the payload, over IndexEntry or IndexEntryView.
template <class Entry>
void append_entries(std::span<const Entry> entries, Bytes& out) {
  QUARN_CHECK(entries.size() <= std::numeric_limits<std::uint32_t>::max(),
              "more than 2^32 - 1 index entries in one payload");
  // Sized up front: grown a field at a time, the buffer would be copied several times.
  std::size_t size = out.size() + 2 + 4;
  for (const Entry& e : entries)
    size += 4 + 1 + 1 + 3 * 4 + e.index_name.size() + e.key.size() + e.pk.size();
  out.reserve(size);
  ByteWriter w(out);
  w.put_u16(kIndexPayloadVersion);
  w.put_u32(static_cast<std::uint32_t>(entries.size()));
  for (const Entry& e : entries) {
    w.put_u32(e.collection_id);
    w.put_u8(tag_of(e.kind));
    w.put_u8(tag_of(e.op));
    put_counted(w, as_span(e.index_name));
    put_counted(w, e.key);
    put_counted(w, e.pk);
  }
}

}  // namespace

Bytes encode_index_payload(const std::vector<IndexEntry>& entries) {
  Bytes out;
  append_entries(std::span<const IndexEntry>(entries), out);
  return out;
}

void append_index_payload(std::span<const IndexEntryView> entries, Bytes& out) {
  append_entries(entries, out);
}

Result<std::span<const IndexEntryView>> decode_index_payload_views(
    ByteSpan payload, std::vector<IndexEntryView>& storage) {
  storage.clear();
  Cursor in(payload);
  QUARN_ASSIGN_OR_RETURN(const std::uint16_t version, in.take_u16());
  if (version != kIndexPayloadV1 && version != kIndexPayloadVersion) {
    return FormatError::UnsupportedVersion{0, version};
  }
  const bool has_op = version != kIndexPayloadV1;

  QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, in.take_u32());
  // A forged count must not force a large allocation.
  const std::size_t fit = in.remaining() / (has_op ? kMinEntrySizeV2 : kMinEntrySizeV1);
  storage.reserve(std::min({static_cast<std::size_t>(count), kMaxIndexEntriesReserved, fit}));

  for (std::uint32_t i = 0; i < count; ++i) {
    IndexEntryView e;
    QUARN_ASSIGN_OR_RETURN(e.collection_id, in.take_u32());
    QUARN_ASSIGN_OR_RETURN(const std::uint8_t kind, in.take_u8());
    if (kind == static_cast<std::uint8_t>(IndexKindTag::Unique)) {
      e.kind = IndexKind::Unique;
    } else if (kind == static_cast<std::uint8_t>(IndexKindTag::NonUnique)) {
      e.kind = IndexKind::NonUnique;
    } else {
      return invalid("unknown index kind tag " + std::to_string(kind));
    }
    if (has_op) {
      QUARN_ASSIGN_OR_RETURN(const std::uint8_t op, in.take_u8());
      if (op == static_cast<std::uint8_t>(IndexOpTag::Insert)) {
        e.op = IndexOp::Insert;
      } else if (op == static_cast<std::uint8_t>(IndexOpTag::Delete)) {
        e.op = IndexOp::Delete;
      } else {
        return invalid("unknown index op tag " + std::to_string(op));
      }
    }
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t name_len, in.take_u32());
    if (name_len == 0) return invalid("empty index name");
    QUARN_ASSIGN_OR_RETURN(const ByteSpan name, in.take_span(name_len));
    if (!is_valid_utf8(name)) return invalid("invalid utf-8 in index name");
    e.index_name = std::string_view(reinterpret_cast<const char*>(name.data()), name.size());
    QUARN_ASSIGN_OR_RETURN(e.key, in.take_len_prefixed());
    QUARN_ASSIGN_OR_RETURN(e.pk, in.take_len_prefixed());
    storage.push_back(e);
  }
  if (in.remaining() != 0) return invalid("trailing bytes in index payload");
  return std::span<const IndexEntryView>(storage);
}

Result<std::vector<IndexEntry>> decode_index_payload(ByteSpan payload) {
  std::vector<IndexEntryView> storage;
  QUARN_ASSIGN_OR_RETURN(const std::span<const IndexEntryView> views,
                         decode_index_payload_views(payload, storage));
  std::vector<IndexEntry> entries;
  entries.reserve(views.size());
  for (const IndexEntryView& v : views) {
    entries.push_back(IndexEntry{std::string(v.index_name), Bytes(v.key.begin(), v.key.end()),
                                 Bytes(v.pk.begin(), v.pk.end()), v.collection_id, v.kind, v.op});
  }
  return entries;
}

}  // namespace quarn
