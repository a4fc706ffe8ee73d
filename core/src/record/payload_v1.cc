// Row-record payloads of version 1 and the body layout both versions share.
//
// Body, after the u16 version at [0, 2):
//   [2, 6)    collection id, u32
//   [6, 10)   schema version, u32
//   [10, 11)  operation byte, u8
//   [11, k)   primary key, tagged scalar
//   [k, k+4)  value count, u32
//   [k+4, n)  the values of non_pk_defs_in_order, in that order; version 1 as tagged scalars
#include "record/payload_v1.h"

#include <algorithm>
#include <utility>

#include "record/packed_row.h"

namespace quarn {
namespace record {

Result<RowValue> read_tagged_value(scalar::Cursor& reader, const Type& type) {
  QUARN_ASSIGN_OR_RETURN(ScalarValue value, decode_tagged_scalar(reader, type));
  return RowValue(value);
}

namespace {

// The body's head, calling read(def) for the definition of each value in payload order; the
// image of the head carries no fields.
template <class Read>
Result<PackedRecordPayload> decode_body(scalar::Cursor& reader, const std::string& primary,
                                        const FieldDef& primary_def,
                                        const std::vector<FieldDef>& fields, Read read) {
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t collection_id, reader.take_u32());
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t schema_version, reader.take_u32());
  QUARN_ASSIGN_OR_RETURN(const std::uint8_t op, reader.take_u8());
  QUARN_ASSIGN_OR_RETURN(ScalarValue pk, decode_tagged_scalar(reader, primary_def.type));
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, reader.take_u32());
  if (op == static_cast<std::uint8_t>(RecordOp::Delete)) {
    if (count != 0) return FormatError::RecordTypeMismatch{};
  } else {
    // The fields of non_pk_defs_in_order, walked in place.
    auto valued = [&](const FieldDef& def) {
      return def.path.is_top_level() && def.path.first() != primary;
    };
    // The count is checked against the schema before any value is read, so a forged count
    // never drives a loop or an allocation.
    if (count != static_cast<std::size_t>(std::count_if(fields.begin(), fields.end(), valued))) {
      return FormatError::RecordTypeMismatch{};
    }
    for (const FieldDef& def : fields) {
      if (valued(def)) QUARN_TRY(read(def));
    }
  }
  return PackedRecordPayload{collection_id, schema_version, op, std::move(pk), {}};
}

}  // namespace

Result<RecordPayload> decode_record_body(scalar::Cursor& reader, const std::string& primary,
                                         const FieldDef& primary_def,
                                         const std::vector<FieldDef>& fields,
                                         ReadFieldValue read_value) {
  Row row;
  QUARN_ASSIGN_OR_RETURN(
      PackedRecordPayload head,
      decode_body(reader, primary, primary_def, fields, [&](const FieldDef& def) -> Status {
        QUARN_ASSIGN_OR_RETURN(RowValue value, read_value(reader, def.type));
        row.insert_or_assign(def.path.first(), std::move(value));
        return ok_status();
      }));
  return RecordPayload{head.collection_id, head.schema_version, head.op, std::move(head.pk),
                       std::move(row)};
}

Status decode_record_body_packed(scalar::Cursor& reader, const std::string& primary,
                                 const FieldDef& primary_def, const std::vector<FieldDef>& fields,
                                 ReadFieldImage read_image, PackedRecordPayload& out) {
  // Each value's image, in payload order, before they are put in name order. Reused by each
  // call on this thread: replay decodes one record after another.
  struct Piece {
    const std::string* name;
    std::size_t begin;
    std::size_t end;
  };
  thread_local Bytes images;
  thread_local std::vector<Piece> pieces;
  thread_local std::vector<std::size_t> order;
  images.clear();
  pieces.clear();
  QUARN_ASSIGN_OR_RETURN(
      PackedRecordPayload head,
      decode_body(reader, primary, primary_def, fields, [&](const FieldDef& def) -> Status {
        const std::size_t begin = images.size();
        QUARN_TRY(read_image(reader, def.type, images));
        pieces.push_back(Piece{&def.path.first(), begin, images.size()});
        return ok_status();
      }));
  const std::size_t pk_begin = images.size();
  packed_build::scalar(images, head.pk);
  pieces.push_back(Piece{&primary, pk_begin, images.size()});
  // By name, then position: of a repeated name the later listing comes last and wins, as in
  // decode_record_body's row.
  order.resize(pieces.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [](std::size_t a, std::size_t b) {
    const std::string& x = *pieces[a].name;
    const std::string& y = *pieces[b].name;
    // Names mostly differ in their first byte, which orders them as compare does (unsigned
    // bytes) without a call.
    if (!x.empty() && !y.empty() && x[0] != y[0]) {
      return static_cast<unsigned char>(x[0]) < static_cast<unsigned char>(y[0]);
    }
    const int c = x.compare(y);
    return c != 0 ? c < 0 : a < b;
  });
  std::size_t kept = 0;
  std::size_t size = 10;
  auto shadowed = [&](std::size_t i) {
    return i + 1 < order.size() && *pieces[order[i]].name == *pieces[order[i + 1]].name;
  };
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (shadowed(i)) continue;
    const Piece& piece = pieces[order[i]];
    ++kept;
    size += piece.name->size() + 10 + (piece.end - piece.begin);
  }
  out.collection_id = head.collection_id;
  out.schema_version = head.schema_version;
  out.op = head.op;
  out.pk = std::move(head.pk);
  out.image.clear();
  out.image.reserve(size);
  packed_build::count(out.image, kept);
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (shadowed(i)) continue;
    const Piece& piece = pieces[order[i]];
    packed_build::name(out.image, *piece.name);
    out.image.insert(out.image.end(), images.begin() + static_cast<std::ptrdiff_t>(piece.begin),
                     images.begin() + static_cast<std::ptrdiff_t>(piece.end));
  }
  return ok_status();
}

}  // namespace record
}  // namespace quarn
