// The Store interface every engine component is written against, and the capabilities a
// template may ask of a store beyond it.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

#include "bytes.h"
#include "result.h"

namespace quarn {

// A flat, growable array of bytes addressed by 64-bit offsets. Every failure is DbError::Io.
//   write_all_at(offset, bytes): the store holds bytes at [offset, offset + size); it grows as
//     needed and a gap reads as zero bytes.
//   read_exact_at(offset, buffer): fills the whole buffer; a range past the end is an error.
//   len(): the current length.  sync(): makes all writes durable.  truncate(n): cuts to n.
template <class S>
concept Store = requires(S& s, std::uint64_t offset, ByteSpan in, std::span<std::uint8_t> out) {
  { s.write_all_at(offset, in) } -> std::same_as<Status>;
  { s.read_exact_at(offset, out) } -> std::same_as<Status>;
  { s.len() } -> std::same_as<Result<std::uint64_t>>;
  { s.sync() } -> std::same_as<Status>;
  { s.truncate(offset) } -> std::same_as<Status>;
};

// A store whose whole image lies in memory, read in place through bytes().
template <class S>
concept InMemoryStore = Store<S> && requires(const S& store) {
  { store.bytes() } -> std::same_as<const Bytes&>;
};

// An in-memory store that can hand back the bytes a replay has applied.
template <class S>
concept DiscardingStore = InMemoryStore<S> && requires(S& store, std::uint64_t offset) {
  store.discard(offset, offset);
};

}  // namespace quarn
