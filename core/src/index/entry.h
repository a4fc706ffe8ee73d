// One change to one secondary index, owned or as views: what the index state applies and the
// index payload logs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bytes.h"
#include "schema.h"

namespace quarn {

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

}  // namespace quarn
