// One collection's stored rows: their images back to back in one growing buffer, and a hash set
// of positions to find them by primary key. A scan reads the buffer in order, so it walks memory
// the way it was written instead of chasing a pointer per row, and a row costs its image plus a
// small header, not an allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_set>

#include "bytes.h"
#include "record/packed_row.h"

namespace quarn {

class RowTable {
 public:
  RowTable() : index_(0, Hash{this}, Eq{this}) {}
  // Deep; the copy's positions refer to its own buffer.
  RowTable(const RowTable& other);
  RowTable& operator=(const RowTable&) = delete;
  // Held in place (the hash set refers back to its table): share or copy it instead.
  RowTable(RowTable&&) = delete;

  // A stored key: its row, or an erased marker (which an overlay keeps for a key taken out of
  // its base) without one.
  struct Entry {
    ByteSpan pk;
    bool erased;
    RowView row;  // only when !erased
  };

  std::optional<Entry> find(ByteSpan pk) const;
  bool contains(ByteSpan pk) const { return index_.find(pk) != index_.end(); }
  // What a put replaced.
  enum class Replaced { Nothing, Stored, Marker };
  // Stores the image under pk, or an erased marker when image is null, replacing what pk held.
  // Either may lie in this table's own buffer.
  Replaced put(ByteSpan pk, const ByteSpan* image);
  // False when pk held nothing.
  bool erase(ByteSpan pk);
  // Keys held, markers included.
  std::size_t size() const { return index_.size(); }
  bool empty() const { return index_.empty(); }

  // The stored keys in the order they were stored (a replaced key moves to the end). Any change
  // to the table invalidates iterators, entries and row views.
  class Iterator {
   public:
    Entry operator*() const { return entry_at(at_); }
    Iterator& operator++() {
      at_ = next_after(at_);
      settle();
      return *this;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }

   private:
    friend class RowTable;
    Iterator(const std::uint8_t* at, const std::uint8_t* end) : at_(at), end_(end) { settle(); }
    void settle() {
      while (at_ != end_ && at_[0] == kDead) at_ = next_after(at_);
    }
    const std::uint8_t* at_;
    const std::uint8_t* end_;
  };
  Iterator begin() const { return Iterator(arena_.data(), arena_.data() + arena_.size()); }
  Iterator end() const {
    const std::uint8_t* last = arena_.data() + arena_.size();
    return Iterator(last, last);
  }

 private:
  // Each entry: u8 state, u32 key length, u64 image length, the key, the image (native order).
  enum : std::uint8_t { kLive = 0, kErased = 1, kDead = 2 };
  static constexpr std::size_t kHeader = 1 + sizeof(std::uint32_t) + sizeof(std::uint64_t);

  static std::uint32_t pk_size_at(const std::uint8_t* at) {
    std::uint32_t size;
    std::memcpy(&size, at + 1, sizeof size);
    return size;
  }
  static std::uint64_t image_size_at(const std::uint8_t* at) {
    std::uint64_t size;
    std::memcpy(&size, at + 1 + sizeof(std::uint32_t), sizeof size);
    return size;
  }
  static const std::uint8_t* next_after(const std::uint8_t* at) {
    return at + kHeader + pk_size_at(at) + image_size_at(at);
  }
  static Entry entry_at(const std::uint8_t* at) {
    const ByteSpan pk(at + kHeader, pk_size_at(at));
    return Entry{pk, at[0] == kErased, RowView(at + kHeader + pk.size())};
  }
  ByteSpan pk_at(std::uint64_t offset) const {
    const std::uint8_t* at = arena_.data() + offset;
    return ByteSpan(at + kHeader, pk_size_at(at));
  }
  // Appends an entry; its offset.
  std::uint64_t append(ByteSpan pk, const ByteSpan* image);
  // Marks the entry at offset dead; its bytes stay until the next compaction.
  void kill(std::uint64_t offset);
  // Rewrites the buffer without dead entries once they outweigh the live ones, so that the
  // buffer stays within twice what it holds.
  void compact_if_sparse();

  // Keys are the offsets of live entries; hashing and comparing read the key bytes there.
  struct Hash {
    using is_transparent = void;
    const RowTable* table;
    std::size_t operator()(ByteSpan pk) const;
    std::size_t operator()(std::uint64_t offset) const { return (*this)(table->pk_at(offset)); }
  };
  struct Eq {
    using is_transparent = void;
    const RowTable* table;
    ByteSpan key(ByteSpan pk) const { return pk; }
    ByteSpan key(std::uint64_t offset) const { return table->pk_at(offset); }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return ByteSpanEq{}(key(a), key(b));
    }
  };

  Bytes arena_;
  std::size_t dead_bytes_ = 0;
  std::unordered_set<std::uint64_t, Hash, Eq> index_;
};

}  // namespace quarn
