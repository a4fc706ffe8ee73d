// The index payload codec.
//
// Index payload, little-endian; "counted" is a u32 length and that many bytes:
//   [0, 2)   version, u16: 1 or 2 (written: 2)
//   [2, 6)   entry count n, u32
//   [6, ..)  n entries, nothing after the last:
//              collection id, u32
//              kind, u8: 1 Unique, 2 NonUnique
//              op, u8, version 2 only: 1 Insert, 2 Delete (a version 1 entry is an insert)
//              index name, counted UTF-8, at least 1 byte
//              key, counted
//              primary key, counted
#include "index/payload.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

namespace quarn {
namespace {

// Smallest encoded entry: id, kind, op, a one-byte name, two empty counted fields.
constexpr std::size_t kMinEntrySizeV2 = 4 + 1 + 1 + (4 + 1) + 4 + 4;
constexpr std::size_t kMinEntrySizeV1 = kMinEntrySizeV2 - 1;
// Version 1 knows no op byte: every entry is an insert.
constexpr std::uint16_t kIndexPayloadV1 = 1;

// The tags an entry's kind and op are written as. The numbers are on disk: frozen.
enum class IndexKindTag : std::uint8_t { Unique = 1, NonUnique = 2 };
enum class IndexOpTag : std::uint8_t { Insert = 1, Delete = 2 };

// Each tag is its enumerator's number plus one, so an entry is written without a lookup.
static_assert(static_cast<std::uint8_t>(IndexKindTag::Unique) ==
              static_cast<std::uint8_t>(IndexKind::Unique) + 1);
static_assert(static_cast<std::uint8_t>(IndexKindTag::NonUnique) ==
              static_cast<std::uint8_t>(IndexKind::NonUnique) + 1);
static_assert(static_cast<std::uint8_t>(IndexOpTag::Insert) ==
              static_cast<std::uint8_t>(IndexOp::Insert) + 1);
static_assert(static_cast<std::uint8_t>(IndexOpTag::Delete) ==
              static_cast<std::uint8_t>(IndexOp::Delete) + 1);

std::uint8_t tag_of(IndexKind kind) {
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(kind) + 1);
}
std::uint8_t tag_of(IndexOp op) {
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(op) + 1);
}

FormatError invalid(std::string message) {
  return FormatError::InvalidCatalogPayload{std::move(message)};
}

// The index payload's reader: a length read off the data is checked against the remaining bytes
// before anything is allocated.
using Cursor = ByteCursor<PayloadEof>;

void put_counted(ByteWriter& w, ByteSpan bytes) {
  QUARN_CHECK(bytes.size() <= std::numeric_limits<std::uint32_t>::max(),
              "index payload field longer than 2^32 - 1 bytes");
  w.put_len_prefixed(bytes);
}

// The one writer of the payload, over IndexEntry or IndexEntryView.
template <class Entry>
void append_entries(std::span<const Entry> entries, Bytes& out) {
  QUARN_CHECK(entries.size() <= std::numeric_limits<std::uint32_t>::max(),
              "more than 2^32 - 1 index entries in one payload");
  // Sized up front: grown a field at a time, the buffer would be copied several times.
  std::size_t size = out.size() + 2 + 4;
  for (const Entry& e : entries)
    size += 4 + 1 + 1 + 3 * 4 + e.index_name.size() + e.key.size() + e.pk.size();
  out.reserve(size);
  ByteWriter w(out);
  w.put_u16(kIndexPayloadVersion);
  w.put_u32(static_cast<std::uint32_t>(entries.size()));
  for (const Entry& e : entries) {
    w.put_u32(e.collection_id);
    w.put_u8(tag_of(e.kind));
    w.put_u8(tag_of(e.op));
    put_counted(w, as_span(e.index_name));
    put_counted(w, e.key);
    put_counted(w, e.pk);
  }
}

}  // namespace

Bytes encode_index_payload(const std::vector<IndexEntry>& entries) {
  Bytes out;
  append_entries(std::span<const IndexEntry>(entries), out);
  return out;
}

void append_index_payload(std::span<const IndexEntryView> entries, Bytes& out) {
  append_entries(entries, out);
}

Result<std::span<const IndexEntryView>> decode_index_payload_views(
    ByteSpan payload, std::vector<IndexEntryView>& storage) {
  storage.clear();
  Cursor in(payload);
  QUARN_ASSIGN_OR_RETURN(const std::uint16_t version, in.take_u16());
  if (version != kIndexPayloadV1 && version != kIndexPayloadVersion) {
    return FormatError::UnsupportedVersion{0, version};
  }
  const bool has_op = version != kIndexPayloadV1;

  QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, in.take_u32());
  // A forged count must not force a large allocation.
  const std::size_t fit = in.remaining() / (has_op ? kMinEntrySizeV2 : kMinEntrySizeV1);
  storage.reserve(std::min({static_cast<std::size_t>(count), kMaxIndexEntriesReserved, fit}));

  for (std::uint32_t i = 0; i < count; ++i) {
    IndexEntryView e;
    QUARN_ASSIGN_OR_RETURN(e.collection_id, in.take_u32());
    QUARN_ASSIGN_OR_RETURN(const std::uint8_t kind, in.take_u8());
    if (kind == static_cast<std::uint8_t>(IndexKindTag::Unique)) {
      e.kind = IndexKind::Unique;
    } else if (kind == static_cast<std::uint8_t>(IndexKindTag::NonUnique)) {
      e.kind = IndexKind::NonUnique;
    } else {
      return invalid("unknown index kind tag " + std::to_string(kind));
    }
    if (has_op) {
      QUARN_ASSIGN_OR_RETURN(const std::uint8_t op, in.take_u8());
      if (op == static_cast<std::uint8_t>(IndexOpTag::Insert)) {
        e.op = IndexOp::Insert;
      } else if (op == static_cast<std::uint8_t>(IndexOpTag::Delete)) {
        e.op = IndexOp::Delete;
      } else {
        return invalid("unknown index op tag " + std::to_string(op));
      }
    }
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t name_len, in.take_u32());
    if (name_len == 0) return invalid("empty index name");
    QUARN_ASSIGN_OR_RETURN(const ByteSpan name, in.take_span(name_len));
    if (!is_valid_utf8(name)) return invalid("invalid utf-8 in index name");
    e.index_name = std::string_view(reinterpret_cast<const char*>(name.data()), name.size());
    QUARN_ASSIGN_OR_RETURN(e.key, in.take_len_prefixed());
    QUARN_ASSIGN_OR_RETURN(e.pk, in.take_len_prefixed());
    storage.push_back(e);
  }
  if (in.remaining() != 0) return invalid("trailing bytes in index payload");
  return std::span<const IndexEntryView>(storage);
}

Result<std::vector<IndexEntry>> decode_index_payload(ByteSpan payload) {
  std::vector<IndexEntryView> storage;
  QUARN_ASSIGN_OR_RETURN(const std::span<const IndexEntryView> views,
                         decode_index_payload_views(payload, storage));
  std::vector<IndexEntry> entries;
  entries.reserve(views.size());
  for (const IndexEntryView& v : views) {
    entries.push_back(IndexEntry{std::string(v.index_name), Bytes(v.key.begin(), v.key.end()),
                                 Bytes(v.pk.begin(), v.pk.end()), v.collection_id, v.kind, v.op});
  }
  return entries;
}

}  // namespace quarn
