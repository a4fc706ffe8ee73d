// The packed, ordered set of primary keys that a non-unique index holds under each key.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "bytes.h"

namespace quarn {

namespace pk_set_detail {

// Negative, zero or positive as a sorts before, with or after b in Bytes' operator< order.
inline int compare_bytes(ByteSpan a, ByteSpan b) {
  const std::size_t common = std::min(a.size(), b.size());
  // memcmp must not see the null pointer of an empty span.
  if (common != 0) {
    // Keys mostly differ in their first byte, which settles the order without a call.
    if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
    if (const int c = std::memcmp(a.data(), b.data(), common); c != 0) return c;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace pk_set_detail

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
  bool contains(ByteSpan pk) const {
    if (empty()) return false;
    return position_in(chunk(find_chunk(pk)), pk).found;
  }
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
  static Entry entry_at(ByteSpan chunk, std::size_t at) {
    const std::size_t length = read_leb128_at(chunk, at);
    return Entry{chunk.subspan(at, length), at + length};
  }
  // Inline with the lookups that call it from other files (the index state's).
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

inline PkSet::Position PkSet::position_in(ByteSpan chunk, ByteSpan pk) {
  std::size_t at = 0;
  while (at < chunk.size()) {
    const Entry e = entry_at(chunk, at);
    const int c = pk_set_detail::compare_bytes(e.pk, pk);
    if (c >= 0) return Position{at, c == 0};
    at = e.next;
  }
  return Position{at, false};
}

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

}  // namespace quarn
