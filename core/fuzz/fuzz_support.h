// Shared by the fuzz targets: the failure signal for a broken property, and the input framing
// that gives the record and value decoders a schema to read against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "catalog/codec.h"
#include "catalog/state.h"
#include "schema.h"

namespace quarn::fuzz {

// A property every input must keep; a violation is a crash libFuzzer records.
inline void require(bool property) {
  if (!property) __builtin_trap();
}

// Whether an object type within type lists one member name twice. Decoding keeps the later
// member's value under the name, so such a value does not encode back: a round-trip property
// leaves these types out.
inline bool repeats_member_names(const Type& type) {
  switch (type.kind()) {
    case Type::Kind::Optional:
    case Type::Kind::List:
      return repeats_member_names(type.inner());
    case Type::Kind::Object: {
      std::set<std::string> names;
      for (const FieldDef& member : type.members()) {
        if (!names.insert(member.path.first()).second) return true;
        if (repeats_member_names(member.type)) return true;
      }
      return false;
    }
    default:
      return false;
  }
}

// The input as [u16 n][n bytes][rest]; nothing when it is shorter than its prefix says.
inline std::optional<std::pair<ByteSpan, ByteSpan>> split_prefixed(ByteSpan input) {
  if (input.size() < 2) return std::nullopt;
  const std::size_t n = std::size_t{input[0]} | std::size_t{input[1]} << 8;
  if (input.size() - 2 < n) return std::nullopt;
  return std::make_pair(input.subspan(2, n), input.subspan(2 + n));
}

// The frame around a value: a u16 length and the catalog payload of a collection's creation.
inline Bytes prefixed(ByteSpan head, ByteSpan rest) {
  Bytes out;
  ByteWriter w(out);
  w.put_u16(static_cast<std::uint16_t>(head.size()));
  w.put_bytes(head);
  w.put_bytes(rest);
  return out;
}

// A collection as replay reads records against it: the creation entry, decoded and accepted by
// an empty catalog, with a primary field and top-level fields only.
inline std::optional<CollectionInfo> collection_from_catalog_payload(ByteSpan payload) {
  Result<CatalogRecordWire> entry = decode_catalog_payload(payload);
  if (!entry.ok()) return std::nullopt;
  Catalog catalog;
  if (!catalog.apply_record(std::move(entry).value()).ok()) return std::nullopt;
  const CollectionInfo* info = catalog.get(1);
  if (info == nullptr || !info->primary_field) return std::nullopt;
  for (const FieldDef& def : info->fields) {
    if (!def.path.is_top_level()) return std::nullopt;
  }
  if (find_top_level_field(info->fields, *info->primary_field) == nullptr) return std::nullopt;
  return *info;
}

}  // namespace quarn::fuzz
