// The latest row of every primary key, per collection. Callers see only get, put, erase and
// iteration over one collection, so the representation can change without touching them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "bytes.h"
#include "db/state/row_table.h"
#include "overlay.h"
#include "record/packed_row.h"
#include "record/row_value.h"

namespace quarn {

// An overlay (overlay.h) holds a transaction's changes over its base: reads see the base with the
// changes applied, writes change only the overlay.
class LatestRows : public Overlayable<LatestRows> {
 public:
  LatestRows() = default;

  // Applies the overlay's changes to this map, the overlay's base; costs what the changes
  // hold. REQUIRES: overlay.is_overlay() and its base is this map.
  void absorb(LatestRows&& overlay);

  // A copy sharing each collection's table with this map until either of them writes to it (the
  // writer then copies the table first): the rows read from this map stay valid and unchanged
  // while the copy lives, whatever this map does meanwhile. Costs a pointer per collection.
  // REQUIRES: not an overlay, whose changes are written in place.
  LatestRows share() const;

  // The row stored under (collection id, canonical primary-key bytes), or nothing. Valid
  // until this map next changes.
  std::optional<RowView> get(std::uint32_t collection_id, ByteSpan pk) const;

  // Stores row under the key, replacing an earlier row.
  void put(std::uint32_t collection_id, ByteSpan pk, const Row& row);
  // The same for a row already in image form (append_packed_row).
  void put_image(std::uint32_t collection_id, ByteSpan pk, ByteSpan image);

  // Removes the key; false when it held no row.
  bool erase(std::uint32_t collection_id, ByteSpan pk);

  // Room for about this many bytes of rows, and keys, in one collection (RowTable::reserve);
  // nothing in an overlay.
  void reserve(std::uint32_t collection_id, std::size_t bytes, std::size_t keys = 0);
  // The bytes one collection's stored rows take (RowTable::live_bytes), changes included.
  std::size_t bytes_of(std::uint32_t collection_id) const;
  // The same over every collection of the map itself (not of an overlay's base).
  std::size_t bytes_held() const;

  // Rows of all collections together.
  std::size_t size() const;
  // Rows of one collection.
  std::size_t size_of(std::uint32_t collection_id) const;

  // The rows of one collection: the base's in the order they were stored, then an overlay's
  // changed rows. Callers rely on no order. Any change to the map invalidates the iterators.
  class Iterator {
   public:
    struct Entry {
      ByteSpan pk;
      RowView row;
    };
    Entry operator*() const {
      const RowTable::Entry at = base_ != base_end_ ? *base_ : *changed_;
      return Entry{at.pk, at.row};
    }
    Iterator& operator++() {
      if (base_ != base_end_) {
        ++base_;
      } else {
        ++changed_;
      }
      settle();
      return *this;
    }
    bool operator==(const Iterator& other) const {
      return base_ == other.base_ && changed_ == other.changed_;
    }

   private:
    friend class LatestRows;
    // The base map's rows not shadowed by a change, then the changed rows that are not erased.
    Iterator(RowTable::Iterator base, RowTable::Iterator base_end, RowTable::Iterator changed,
             RowTable::Iterator changed_end, const RowTable* shadow)
        : base_(base),
          base_end_(base_end),
          changed_(changed),
          changed_end_(changed_end),
          shadow_(shadow) {
      settle();
    }
    void settle() {
      if (shadow_ != nullptr) {
        while (base_ != base_end_ && shadow_->contains((*base_).pk)) ++base_;
      }
      if (base_ == base_end_) {
        while (changed_ != changed_end_ && (*changed_).erased) ++changed_;
      }
    }
    RowTable::Iterator base_;
    RowTable::Iterator base_end_;
    RowTable::Iterator changed_;
    RowTable::Iterator changed_end_;
    const RowTable* shadow_;  // the changes when there are any, else null
  };
  struct Range {
    Iterator first;
    Iterator last;
    Iterator begin() const { return first; }
    Iterator end() const { return last; }
  };
  Range rows_of(std::uint32_t collection_id) const;

  // Same keys holding equal rows.
  bool operator==(const LatestRows& other) const;

 private:
  // An overlay's changes to one collection.
  struct Changes {
    // Put rows, and erased markers standing for keys erased from the base. Behind a pointer so
    // absorb can hand the whole table to a base that holds nothing of the collection.
    std::shared_ptr<RowTable> rows = std::make_shared<RowTable>();
    std::ptrdiff_t delta = 0;  // rows gained over the base

    Changes() = default;
    Changes(const Changes& other)
        : rows(std::make_shared<RowTable>(*other.rows)), delta(other.delta) {}
    Changes& operator=(const Changes&) = delete;
  };

  const RowTable* find(std::uint32_t collection_id) const;
  const Changes* find_changes(std::uint32_t collection_id) const;
  // The collection's map, first made private to this copy if it is shared.
  RowTable& own(std::uint32_t collection_id);
  // Whether the base holds a row under the key. REQUIRES: is_overlay().
  bool in_base(std::uint32_t collection_id, ByteSpan pk) const;

  // Copies share each collection's map until one of them writes to it.
  std::unordered_map<std::uint32_t, std::shared_ptr<RowTable>> collections_;
  // In an overlay only, whose collections_ stays empty.
  std::unordered_map<std::uint32_t, Changes> changes_;
};

}  // namespace quarn
