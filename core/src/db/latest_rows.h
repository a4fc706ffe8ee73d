// The latest row of every primary key, per collection. Callers see only get, put, erase and
// iteration over one collection, so the representation can change without touching them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "bytes.h"
#include "record/row_value.h"

namespace quarn {

class LatestRows {
  struct BytesHash {
    using is_transparent = void;
    std::size_t operator()(ByteSpan bytes) const;
    std::size_t operator()(const Bytes& bytes) const { return (*this)(ByteSpan(bytes)); }
  };
  struct BytesEq {
    using is_transparent = void;
    bool operator()(ByteSpan a, ByteSpan b) const {
      return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
    }
  };
  // Rows are shared between copies of the map; a stored row is never changed in place.
  using RowMap = std::unordered_map<Bytes, std::shared_ptr<const Row>, BytesHash, BytesEq>;

 public:
  LatestRows() = default;

  // The row stored under (collection id, canonical primary-key bytes), or null. Valid until
  // this map next changes.
  const Row* get(std::uint32_t collection_id, ByteSpan pk) const;

  // Stores row under the key, replacing an earlier row.
  void put(std::uint32_t collection_id, Bytes pk, Row row);

  // Removes the key; false when it held no row.
  bool erase(std::uint32_t collection_id, ByteSpan pk);

  // Rows of all collections together.
  std::size_t size() const;
  // Rows of one collection.
  std::size_t size_of(std::uint32_t collection_id) const;

  // The rows of one collection, in an arbitrary order that differs between processes. Any
  // change to the map invalidates the iterators.
  class Iterator {
   public:
    struct Entry {
      ByteSpan pk;
      const Row& row;
    };
    Entry operator*() const { return Entry{ByteSpan(it_->first), *it_->second}; }
    Iterator& operator++() {
      ++it_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return it_ == other.it_; }

   private:
    friend class LatestRows;
    explicit Iterator(RowMap::const_iterator it) : it_(it) {}
    RowMap::const_iterator it_;
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
  const RowMap* find(std::uint32_t collection_id) const;
  // The collection's map, first made private to this copy if it is shared.
  RowMap& own(std::uint32_t collection_id);

  // Copies share each collection's map until one of them writes to it, so copying the whole
  // state at the start of a transaction costs one pointer per collection.
  std::unordered_map<std::uint32_t, std::shared_ptr<RowMap>> collections_;
};

}  // namespace quarn
