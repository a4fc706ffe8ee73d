// The packed primary-key set: keys behind LEB128 lengths in sorted chunks.
#include "index/pk_set.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "error.h"

namespace quarn {
namespace {

// Capacity for a chunk about to hold size bytes: a quarter spare, so that a run of inserts
// reallocates a few times, not on every one.
void reserve_for(Bytes& chunk, std::size_t size) {
  if (size > chunk.capacity()) chunk.reserve(size + size / 4);
}

}  // namespace

std::size_t PkSet::find_chunk(ByteSpan pk) const {
  std::size_t lo = 0;
  std::size_t hi = chunk_count();
  while (hi - lo > 1) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (pk_set_detail::compare_bytes(entry_at(chunk(mid), 0).pk, pk) <= 0) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return lo;
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

}  // namespace quarn
