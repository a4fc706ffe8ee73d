// The index payload: the segment body that logs every change to the secondary indexes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bytes.h"
#include "index/entry.h"
#include "result.h"

namespace quarn {

// The index payload version the encoder writes; the decoder also reads version 1.
inline constexpr std::uint16_t kIndexPayloadVersion = 2;
// Most entries a decoder reserves room for before it has seen them.
inline constexpr std::size_t kMaxIndexEntriesReserved = 1024;

// The short read of the index and checkpoint payloads: InvalidCatalogPayload "unexpected eof".
struct PayloadEof {
  template <class T>
  using Result = quarn::Result<T>;
  FormatError short_read() const { return FormatError::InvalidCatalogPayload{"unexpected eof"}; }
};

// Entry list to payload, version 2. REQUIRES: every name, key and primary key, and the entry
// count, fit in 32 bits (an InternalFault otherwise, never a wrong length on disk).
Bytes encode_index_payload(const std::vector<IndexEntry>& entries);
// The same payload for entries as views, appended to out.
void append_index_payload(std::span<const IndexEntryView> entries, Bytes& out);

// Reads versions 1 (every entry an insert) and 2. A version other than 1 or 2 is
// FormatError::UnsupportedVersion 0.<version>; every other failure is
// FormatError::InvalidCatalogPayload: "unexpected eof", "unknown index kind tag {}",
// "unknown index op tag {}", "empty index name", "invalid utf-8 in index name",
// "trailing bytes in index payload". Reserves at most 1024 entries up front, and never more
// than the remaining bytes could hold.
Result<std::vector<IndexEntry>> decode_index_payload(ByteSpan payload);

// The reader behind decode_index_payload, which copies what this returns: the same checks in the
// same order and the same errors, with the entries as views into payload, held in storage (cleared
// first, so that one buffer serves payload after payload). The result views storage: valid until
// storage next changes, and its entries while payload's bytes are.
Result<std::span<const IndexEntryView>> decode_index_payload_views(
    ByteSpan payload, std::vector<IndexEntryView>& storage);

}  // namespace quarn
