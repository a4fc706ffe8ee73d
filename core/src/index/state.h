// Secondary indexes in memory, one map per (collection id, index name), and their overlay. Keys
// and primary keys are opaque canonical key bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bytes.h"
#include "index/entry.h"
#include "index/pk_set.h"
#include "overlay.h"
#include "result.h"
#include "schema.h"

namespace quarn {

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

}  // namespace quarn
