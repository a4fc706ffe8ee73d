// Bytes in and out of a store in tests: texts as bytes, and reads that return what they read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bytes.h"
#include "result.h"

namespace quarn::testing {

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The n bytes at offset, or the store's error.
template <class S>
Result<Bytes> read_bytes(S& store, std::uint64_t offset, std::size_t n) {
  Bytes out(n);
  QUARN_TRY(store.read_exact_at(offset, out));
  return out;
}

}  // namespace quarn::testing
