// Secondary indexes in memory, one map per (collection id, index name), and the index payload
// that logs every change to them. Keys and primary keys are opaque canonical key bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bytes.h"
#include "overlay.h"
#include "result.h"
#include "schema.h"

namespace quarn {

// The index payload version the encoder writes; the decoder also reads version 1.
inline constexpr std::uint16_t kIndexPayloadVersion = 2;
// Most entries a decoder reserves room for before it has seen them.
inline constexpr std::size_t kMaxIndexEntriesReserved = 1024;

// Wire byte is the number plus 1, as for IndexKind (frozen).
enum class IndexOp : std::uint8_t { Insert = 0, Delete = 1 };

// One change to one index.
struct IndexEntry {
  std::string index_name;
  Bytes key;
  Bytes pk;
  std::uint32_t collection_id = 0;
  IndexKind kind = IndexKind::Unique;
  IndexOp op = IndexOp::Insert;

  bool operator==(const IndexEntry&) const = default;
};

// An IndexEntry as views into bytes it does not own, such as the payload it was decoded from:
// decoding and applying one costs no allocation. Valid while those bytes are.
struct IndexEntryView {
  std::string_view index_name;
  ByteSpan key;
  ByteSpan pk;
  std::uint32_t collection_id = 0;
  IndexKind kind = IndexKind::Unique;
  IndexOp op = IndexOp::Insert;
};

// A set of primary keys in ascending byte order (std::vector<std::uint8_t>'s operator<:
// lexicographic, a prefix first), packed for memory: keys lie back to back behind a LEB128
// length in chunks of about kMaxChunkBytes, so a key costs its bytes and a length byte rather
// than a tree node and a buffer of its own. An insert or erase finds its chunk by binary search
// and moves at most that chunk's bytes, so a set of any size stays cheap to change one key at a
// time. A plain value: copies are deep.
class PkSet {
 public:
  // A chunk of two or more keys that grows past this many bytes splits in two.
  static constexpr std::size_t kMaxChunkBytes = 512;

  bool empty() const { return first_.empty(); }
  bool contains(ByteSpan pk) const;
  // Adds pk; false, changing nothing, when it is already there.
  bool insert(ByteSpan pk);
  // Removes pk; false when it is not there.
  bool erase(ByteSpan pk);
  // Calls f(ByteSpan) for each key in ascending order; the spans live until the next change.
  template <class F>
  void for_each(F&& f) const;
  // How many chunks hold the keys; for tests of the chunking.
  std::size_t chunk_count() const { return empty() ? 0 : 1 + rest_.size(); }

 private:
  struct Entry {
    ByteSpan pk;
    std::size_t next;  // offset of the following entry
  };
  // Where a key sits in a chunk: the offset of the first entry not below it, and whether that
  // entry is the key itself.
  struct Position {
    std::size_t at;
    bool found;
  };
  // The entry starting at offset at. REQUIRES: at < chunk.size().
  static Entry entry_at(ByteSpan chunk, std::size_t at);
  static Position position_in(ByteSpan chunk, ByteSpan pk);
  const Bytes& chunk(std::size_t i) const { return i == 0 ? first_ : rest_[i - 1]; }
  Bytes& chunk(std::size_t i) { return i == 0 ? first_ : rest_[i - 1]; }
  // The last chunk whose first key is not above pk, else 0. REQUIRES: !empty().
  std::size_t find_chunk(ByteSpan pk) const;
  void insert_chunk(std::size_t i, Bytes bytes);
  void erase_chunk(std::size_t i);
  void split_chunk(std::size_t i, bool appended_last);

  // The first chunk, inline because most sets fit in one; empty exactly when the set is.
  // No chunk is empty, and every key of a chunk lies below every key of the next.
  Bytes first_;
  std::vector<Bytes> rest_;
};

template <class F>
void PkSet::for_each(F&& f) const {
  for (std::size_t i = 0; i < chunk_count(); ++i) {
    const ByteSpan bytes = chunk(i);
    for (std::size_t at = 0; at < bytes.size();) {
      const Entry e = entry_at(bytes, at);
      f(e.pk);
      at = e.next;
    }
  }
}

// The unique and non-unique index maps. Accepts entries for any collection id and index name;
// it does not consult the catalog. A plain value: copies are deep and independent. A transaction
// stages its own state in an overlay (overlay.h), which holds only its changes over the committed
// state: lookups see the base with the overlay's entries applied, apply() changes only the
// overlay.
class IndexState : public Overlayable<IndexState> {
 public:
  IndexState() = default;

  // Applies the overlay's changes to this state, the overlay's base; costs what the changes
  // hold. REQUIRES: overlay.is_overlay() and its base is this state.
  void absorb(IndexState&& overlay);

  // Applies one entry; its kind picks the map. A unique insert of a key held by another primary
  // key fails with SchemaError::UniqueIndexViolation and changes nothing; the same key and
  // primary key again is a no-op. A unique delete removes the key only if it maps to this
  // primary key. A non-unique key disappears with its last primary key. Deleting what is not
  // there succeeds.
  Status apply(IndexEntry entry);
  // The same for the entry the view shows; copies of its bytes are made only for a key, primary
  // key or index the maps did not hold. The view need not outlive the call.
  Status apply(const IndexEntryView& entry);

  // The primary key a unique index maps key to. The view is valid until the next apply().
  std::optional<ByteSpan> unique_lookup(std::uint32_t collection_id, std::string_view index_name,
                                        ByteSpan key) const;

  // Copies of the primary keys under key in a non-unique index, in ascending byte order; never
  // an empty list.
  std::optional<std::vector<Bytes>> non_unique_lookup(std::uint32_t collection_id,
                                                      std::string_view index_name,
                                                      ByteSpan key) const;

 private:
  struct IndexId {
    std::uint32_t collection_id;
    std::string name;
  };
  struct IndexIdView {
    std::uint32_t collection_id;
    std::string_view name;
  };
  struct IndexIdHash {
    using is_transparent = void;
    std::size_t operator()(const IndexIdView& id) const;
    std::size_t operator()(const IndexId& id) const { return (*this)(view(id)); }
  };
  struct IndexIdEq {
    using is_transparent = void;
    bool operator()(const IndexIdView& a, const IndexIdView& b) const {
      return a.collection_id == b.collection_id && a.name == b.name;
    }
    bool operator()(const IndexId& a, const IndexIdView& b) const { return (*this)(view(a), b); }
    bool operator()(const IndexIdView& a, const IndexId& b) const { return (*this)(a, view(b)); }
    bool operator()(const IndexId& a, const IndexId& b) const { return (*this)(view(a), view(b)); }
  };
  using KeyHash = ByteSpanHash;
  using KeyEq = ByteSpanEq;
  static IndexIdView view(const IndexId& id) { return {id.collection_id, id.name}; }

  template <class M>
  using PerIndexOf = std::unordered_map<IndexId, M, IndexIdHash, IndexIdEq>;
  template <class V>
  using KeyMap = std::unordered_map<Bytes, V, KeyHash, KeyEq>;
  template <class V>
  using PerIndex = PerIndexOf<KeyMap<V>>;

  // A committed unique entry: the key's LEB128 length, the key, then its primary key, in one
  // buffer, so an entry costs one allocation rather than two. Found by its key.
  class UniqueEntry {
   public:
    UniqueEntry(ByteSpan key, ByteSpan pk);
    ByteSpan key() const;
    ByteSpan pk() const;

   private:
    Bytes bytes_;
  };
  struct UniqueEntryHash {
    using is_transparent = void;
    std::size_t operator()(ByteSpan key) const { return KeyHash{}(key); }
    std::size_t operator()(const UniqueEntry& e) const { return KeyHash{}(e.key()); }
  };
  struct UniqueEntryEq {
    using is_transparent = void;
    bool operator()(const UniqueEntry& a, const UniqueEntry& b) const {
      return KeyEq{}(a.key(), b.key());
    }
    bool operator()(ByteSpan a, const UniqueEntry& b) const { return KeyEq{}(a, b.key()); }
    bool operator()(const UniqueEntry& a, ByteSpan b) const { return KeyEq{}(a.key(), b); }
  };
  using UniqueKeys = std::unordered_set<UniqueEntry, UniqueEntryHash, UniqueEntryEq>;

  // An overlay's changes under one non-unique key: primary keys the base lacks, and primary
  // keys of the base taken out.
  struct PkChanges {
    PkSet added;
    PkSet removed;
  };

  // The key map of the entry's index, created empty if there is none; takes the entry's name
  // only when it creates one.
  template <class M, class E>
  static M& key_map(PerIndexOf<M>& maps, E& entry);
  // The key map of one index, or null.
  template <class M>
  static const M* find_keys(const PerIndexOf<M>& maps, std::uint32_t collection_id,
                            std::string_view index_name);
  // The value under key in one index, or null.
  template <class V>
  static const V* find_value(const PerIndex<V>& maps, std::uint32_t collection_id,
                             std::string_view index_name, ByteSpan key);
  // Both apply()s, for an IndexEntry, whose buffers a map may take, or a const IndexEntryView,
  // whose bytes a map copies.
  template <class E>
  Status apply_entry(E& entry);
  template <class E>
  Status apply_to_overlay(E& entry);

  PerIndexOf<UniqueKeys> unique_;
  PerIndex<PkSet> non_unique_;
  // In an overlay only, whose own maps above stay empty: a unique key's new owner (nothing for a
  // key removed), a non-unique key's changed primary keys.
  PerIndex<std::optional<Bytes>> unique_changes_;
  PerIndex<PkChanges> non_unique_changes_;
};

// The short read of the index and checkpoint payloads: InvalidCatalogPayload "unexpected eof".
struct PayloadEof {
  template <class T>
  using Result = quarn::Result<T>;
  FormatError short_read() const { return FormatError::InvalidCatalogPayload{"unexpected eof"}; }
};

// Entry list to payload, version 2. REQUIRES: every name, key and primary key, and the entry
// count, fit in 32 bits (an InternalFault otherwise, never a wrong length on disk).
Bytes encode_index_payload(const std::vector<IndexEntry>& entries);
// The same payload for entries as views, appended to out.
void append_index_payload(std::span<const IndexEntryView> entries, Bytes& out);

// Reads versions 1 (every entry an insert) and 2. A version other than 1 or 2 is
// FormatError::UnsupportedVersion 0.<version>; every other failure is
// FormatError::InvalidCatalogPayload: "unexpected eof", "unknown index kind tag {}",
// "unknown index op tag {}", "empty index name", "invalid utf-8 in index name",
// "trailing bytes in index payload". Reserves at most 1024 entries up front, and never more
// than the remaining bytes could hold.
Result<std::vector<IndexEntry>> decode_index_payload(ByteSpan payload);

// The reader behind decode_index_payload, which copies what this returns: the same checks in the
// same order and the same errors, with the entries as views into payload, held in storage (cleared
// first, so that one buffer serves payload after payload). The result views storage: valid until
// storage next changes, and its entries while payload's bytes are.
Result<std::span<const IndexEntryView>> decode_index_payload_views(
    ByteSpan payload, std::vector<IndexEntryView>& storage);

}  // namespace quarn
