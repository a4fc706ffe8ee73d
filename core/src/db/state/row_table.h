// One collection's stored rows: their images back to back in one growing buffer, and a hash set
// of positions to find them by primary key. A scan reads the buffer in order, so it walks memory
// the way it was written instead of chasing a pointer per row, and a row costs its image, a
// small header and a slot of the set, not an allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "bytes.h"
#include "record/packed_row.h"

namespace quarn {

// The bytes of a table's entries. Once large, the buffer is a mapping of its own that grows in
// place or by moving its pages (mremap): a table growing past its room never holds its old and
// its new copy at once, as a vector would while it copies.
class EntryBuffer {
 public:
  EntryBuffer() = default;
  // Deep, sized to what other holds.
  EntryBuffer(const EntryBuffer& other);
  EntryBuffer& operator=(const EntryBuffer&) = delete;
  EntryBuffer(EntryBuffer&& other) noexcept;
  EntryBuffer& operator=(EntryBuffer&& other) noexcept;
  ~EntryBuffer();

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  // Room for at least `bytes` in all, without moving what is held.
  void reserve(std::size_t bytes);
  // Appends the bytes, growing the room by half again when full. REQUIRES: they do not lie in
  // this buffer (growing may move it).
  void append(const std::uint8_t* bytes, std::size_t count);

 private:
  void release();

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;  // capacity_ bytes mapped for this buffer alone, else malloc'd
};

class RowTable {
 public:
  RowTable() = default;
  // Deep. Positions are relative to the buffer, so the copy's set is the original's.
  RowTable(const RowTable& other) = default;
  RowTable& operator=(const RowTable&) = delete;
  // Shared or copied, never moved: overlays hold their tables behind pointers.
  RowTable(RowTable&&) = delete;

  // A stored key: its row, or an erased marker (which an overlay keeps for a key taken out of
  // its base) without one.
  struct Entry {
    ByteSpan pk;
    bool erased;
    RowView row;  // only when !erased
  };

  std::optional<Entry> find(ByteSpan pk) const;
  bool contains(ByteSpan pk) const { return find_slot(pk, hash_of(pk)) != kNoSlot; }
  // What a put replaced.
  enum class Replaced { Nothing, Stored, Marker };
  // Stores the image under pk, or an erased marker when image is null, replacing what pk held.
  // Either may lie in this table's own buffer. REQUIRES: a valid image (is_valid_row_image),
  // which debug builds check.
  Replaced put(ByteSpan pk, const ByteSpan* image);
  // False when pk held nothing.
  bool erase(ByteSpan pk);
  // Room for about this many more bytes of entries and, when given, this many more keys, so
  // that a table filled in one go (a replay, a compaction) is not copied as it grows.
  void reserve(std::size_t bytes, std::size_t keys = 0);
  // The bytes of the entries held, markers included: what a copy without dead entries takes.
  std::size_t live_bytes() const { return arena_.size() - dead_bytes_; }
  // Keys held, markers included.
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

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

  // The set: open addressing with linear probing over a power-of-two number of slots, each
  // holding an entry's offset and its key's hash (so that growing never reads a key, and a probe
  // compares key bytes only on a full hash match). Flat, so a key costs no allocation and a
  // lookup touches one or two cache lines besides the entry itself.
  struct Slot {
    std::uint64_t hash;
    std::uint64_t offset;  // kFree when the slot is unused
  };
  static constexpr std::uint64_t kFree = UINT64_MAX;
  static constexpr std::size_t kNoSlot = SIZE_MAX;

  static std::uint64_t hash_of(ByteSpan pk);
  std::size_t home_of(std::uint64_t hash) const {
    // Fibonacci hashing: the top bits of the product spread any regularity in the hash.
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ULL) >> shift_);
  }
  std::size_t mask() const { return slots_.size() - 1; }
  // Where a probe for pk ends: the slot holding it, or the free slot that ends its run.
  // REQUIRES: slots_ is not empty.
  struct Probe {
    std::size_t slot;
    bool found;
  };
  Probe probe(ByteSpan pk, std::uint64_t hash) const;
  // The slot holding pk, or kNoSlot.
  std::size_t find_slot(ByteSpan pk, std::uint64_t hash) const;
  // Takes a free slot for a key the set does not hold. REQUIRES: room (see reserve_one).
  void place(std::uint64_t hash, std::uint64_t offset);
  // Frees slot i, moving later members of its probe run back so that no lookup stops short.
  void free_slot(std::size_t i);
  // Grows the set so that one more key keeps it at most three quarters full.
  void reserve_one();
  // The fewest slots (a power of two, 16 at least) that hold keys at most three quarters full.
  static std::size_t slots_for(std::size_t keys);
  // Lays the set out again over count slots.
  void resize_slots(std::size_t count);

  EntryBuffer arena_;
  std::size_t dead_bytes_ = 0;
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
  int shift_ = 64;  // 64 - log2 of the slot count
};

}  // namespace quarn
