// The catalog payload codec.
//
// Little-endian; a counted text is a u32 byte length and that many bytes of UTF-8.
//   [0, 2)  payload version, u16 (1 to 4; written as 4)
//   [2, 4)  entry kind, u16 (1 CreateCollection, 2 NewSchemaVersion)
//   kind 1: collection id u32, name (counted, 1-1023 bytes), schema version u32, field list,
//           index list (v4), primary name (v2-v4: u32 length, 0 = none, else UTF-8 bytes)
//   kind 2: collection id u32, schema version u32, field list, index list (v4)
//   field list: u32 count, per field: path, type, constraints (v3, v4: u32 count, each a tag
//               byte and its data)
//   path: u32 segment count (>= 1), each segment counted (>= 1 byte)
//   type: tag byte 0-11; 8/9 the inner type; 10 u32 count of (path, type); 11 u32 count of
//         counted texts
//   index list: u32 count, per index: kind byte (1 Unique, 2 NonUnique), path, counted name
#include "catalog/codec.h"

#include <algorithm>
#include <bit>
#include <string>
#include <type_traits>
#include <utility>

namespace quarn {

namespace {

// Where the fixed head of a payload puts its fields.
constexpr std::size_t kCatalogVersionAt = 0;
constexpr std::size_t kCatalogKindAt = 2;
constexpr std::size_t kCatalogBodyAt = 4;
constexpr std::uint16_t kOldestCatalogPayloadVersion = 1;

// Tag bytes of the object and enum types (the type's number).
constexpr std::uint8_t kTagOptional = 8;
constexpr std::uint8_t kTagList = 9;
constexpr std::uint8_t kTagObject = 10;
constexpr std::uint8_t kTagEnum = 11;

std::size_t reserve_bound(std::uint32_t count, std::size_t cap, std::size_t remaining) {
  // Every element takes at least one byte, so the remaining bytes bound a real count too.
  return std::min({static_cast<std::size_t>(count), cap, remaining});
}

// A short read is UnexpectedEof, recorded in the decode's reason like every failure of the
// cursor, so that the writer-side check can word its own message.
struct EofReason {
  template <class T>
  using Result = quarn::Result<T>;
  DbError short_read() const {
    *reason = CatalogDecodeError::UnexpectedEof{};
    return to_db_error(**reason);
  }
  std::optional<CatalogDecodeError>* reason = nullptr;
};

// The codec's byte reader; the decoder reports only the DbError of a failure, the reason stays
// with the caller.
class Cursor : public ByteCursor<EofReason> {
 public:
  Cursor(ByteSpan data, std::uint16_t version, std::optional<CatalogDecodeError>& reason)
      : ByteCursor(data, 0, EofReason{&reason}), version_(version), reason_(reason) {}

  std::uint16_t version() const { return version_; }

  DbError fail(CatalogDecodeError error) {
    DbError db = to_db_error(error);
    reason_ = std::move(error);
    return db;
  }

  // A copy of the next n bytes, which must be UTF-8; the length is tested before anything is
  // allocated.
  Result<std::string> take_text(std::size_t n) {
    QUARN_ASSIGN_OR_RETURN(const ByteSpan s, take_span(n));
    return checked_text(s);
  }
  Result<std::string> take_counted_text() {
    QUARN_ASSIGN_OR_RETURN(const ByteSpan s, take_len_prefixed());
    return checked_text(s);
  }

 private:
  Result<std::string> checked_text(ByteSpan s) {
    if (!is_valid_utf8(s)) return fail(CatalogDecodeError::InvalidUtf8{});
    return std::string(s.begin(), s.end());
  }

  std::uint16_t version_;
  std::optional<CatalogDecodeError>& reason_;
};

bool carries_constraints(std::uint16_t version) { return version >= 3; }
bool carries_indexes(std::uint16_t version) { return version >= 4; }
bool carries_primary_name(std::uint16_t version) { return version >= 2; }

// ---- encoding ----

void encode_field_path(const FieldPath& path, ByteWriter& out) {
  out.put_u32(static_cast<std::uint32_t>(path.size()));
  for (const std::string& segment : path.segments()) out.put_len_prefixed(segment);
}

void encode_type(const Type& type, ByteWriter& out) {
  out.put_u8(type.number());
  switch (type.kind()) {
    case Type::Kind::Optional:
    case Type::Kind::List:
      encode_type(type.inner(), out);
      break;
    case Type::Kind::Object:
      out.put_u32(static_cast<std::uint32_t>(type.members().size()));
      for (const FieldDef& member : type.members()) {
        encode_field_path(member.path, out);
        encode_type(member.type, out);
      }
      break;
    case Type::Kind::Enum:
      out.put_u32(static_cast<std::uint32_t>(type.variants().size()));
      for (const std::string& variant : type.variants()) out.put_len_prefixed(variant);
      break;
    default:
      break;
  }
}

void encode_constraint(const Constraint& constraint, ByteWriter& out) {
  out.put_u8(static_cast<std::uint8_t>(constraint.tag()));
  std::visit(
      [&out](const auto& c) {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, Constraint::MinI64> ||
                      std::is_same_v<C, Constraint::MaxI64>) {
          out.put_i64(c.value);
        } else if constexpr (std::is_same_v<C, Constraint::MinF64> ||
                             std::is_same_v<C, Constraint::MaxF64>) {
          out.put_f64(c.value);
        } else if constexpr (std::is_same_v<C, Constraint::MinU64> ||
                             std::is_same_v<C, Constraint::MaxU64> ||
                             std::is_same_v<C, Constraint::MinLength> ||
                             std::is_same_v<C, Constraint::MaxLength>) {
          out.put_u64(c.value);
        } else if constexpr (std::is_same_v<C, Constraint::Regex>) {
          out.put_len_prefixed(c.pattern);
        }
      },
      constraint.value());
}

void encode_fields_v3(const std::vector<FieldDef>& fields, ByteWriter& out) {
  out.put_u32(static_cast<std::uint32_t>(fields.size()));
  for (const FieldDef& field : fields) {
    encode_field_path(field.path, out);
    encode_type(field.type, out);
    out.put_u32(static_cast<std::uint32_t>(field.constraints.size()));
    for (const Constraint& constraint : field.constraints) encode_constraint(constraint, out);
  }
}

void encode_indexes(const std::vector<IndexDef>& indexes, ByteWriter& out) {
  out.put_u32(static_cast<std::uint32_t>(indexes.size()));
  for (const IndexDef& index : indexes) {
    out.put_u8(static_cast<std::uint8_t>(static_cast<std::uint8_t>(index.kind) + 1));
    encode_field_path(index.path, out);
    out.put_len_prefixed(index.name);
  }
}

// ---- decoding ----

Result<FieldPath> decode_field_path(Cursor& in) {
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, in.take_u32());
  if (count == 0) return SchemaError::InvalidFieldPath{};
  std::vector<std::string> segments;
  segments.reserve(reserve_bound(count, kCatalogMaxSegmentReserve, in.remaining()));
  for (std::uint32_t i = 0; i < count; ++i) {
    QUARN_ASSIGN_OR_RETURN(std::string segment, in.take_counted_text());
    if (segment.empty()) return SchemaError::InvalidFieldPath{};
    segments.push_back(std::move(segment));
  }
  return FieldPath::make(std::move(segments));
}

Result<Type> decode_type(Cursor& in, std::uint32_t depth) {
  if (depth > kCatalogMaxTypeNesting) {
    return in.fail(CatalogDecodeError::TypeNestingTooDeep{kCatalogMaxTypeNesting});
  }
  QUARN_ASSIGN_OR_RETURN(const std::uint8_t tag, in.take_u8());
  if (tag < kTagOptional) return Type(static_cast<Type::Kind>(tag));
  switch (tag) {
    case kTagOptional: {
      QUARN_ASSIGN_OR_RETURN(Type inner, decode_type(in, depth + 1));
      return Type::optional(std::move(inner));
    }
    case kTagList: {
      QUARN_ASSIGN_OR_RETURN(Type element, decode_type(in, depth + 1));
      return Type::list(std::move(element));
    }
    case kTagObject: {
      QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, in.take_u32());
      std::vector<FieldDef> members;
      members.reserve(reserve_bound(count, kCatalogMaxListReserve, in.remaining()));
      for (std::uint32_t i = 0; i < count; ++i) {
        QUARN_ASSIGN_OR_RETURN(FieldPath path, decode_field_path(in));
        QUARN_ASSIGN_OR_RETURN(Type type, decode_type(in, depth + 1));
        members.push_back(FieldDef{std::move(path), std::move(type), {}});
      }
      return Type::object(std::move(members));
    }
    case kTagEnum: {
      QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, in.take_u32());
      std::vector<std::string> variants;
      variants.reserve(reserve_bound(count, kCatalogMaxListReserve, in.remaining()));
      for (std::uint32_t i = 0; i < count; ++i) {
        QUARN_ASSIGN_OR_RETURN(std::string variant, in.take_counted_text());
        variants.push_back(std::move(variant));
      }
      return Type::enumeration(std::move(variants));
    }
    default:
      return FormatError::InvalidCatalogPayload{"unknown type tag " + std::to_string(tag)};
  }
}

Result<Constraint> decode_constraint(Cursor& in) {
  QUARN_ASSIGN_OR_RETURN(const std::uint8_t tag, in.take_u8());
  using Tag = ConstraintTag;
  const auto constraint_tag = static_cast<Tag>(tag);
  // The tags with an eight-byte argument are 1 to 8.
  if (constraint_tag >= Tag::MinI64 && constraint_tag <= Tag::MaxLength) {
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t raw, in.take_u64());
    switch (constraint_tag) {
      case Tag::MinI64:
        return Constraint(Constraint::MinI64{static_cast<std::int64_t>(raw)});
      case Tag::MaxI64:
        return Constraint(Constraint::MaxI64{static_cast<std::int64_t>(raw)});
      case Tag::MinU64:
        return Constraint(Constraint::MinU64{raw});
      case Tag::MaxU64:
        return Constraint(Constraint::MaxU64{raw});
      case Tag::MinF64:
        return Constraint(Constraint::MinF64{std::bit_cast<double>(raw)});
      case Tag::MaxF64:
        return Constraint(Constraint::MaxF64{std::bit_cast<double>(raw)});
      case Tag::MinLength:
        return Constraint(Constraint::MinLength{raw});
      default:
        return Constraint(Constraint::MaxLength{raw});
    }
  }
  switch (constraint_tag) {
    case Tag::Regex: {
      QUARN_ASSIGN_OR_RETURN(std::string pattern, in.take_counted_text());
      return Constraint(Constraint::Regex{std::move(pattern)});
    }
    case Tag::Email:
      return Constraint(Constraint::Email{});
    case Tag::Url:
      return Constraint(Constraint::Url{});
    case Tag::NonEmpty:
      return Constraint(Constraint::NonEmpty{});
    default:
      return FormatError::InvalidCatalogPayload{"unknown constraint tag " + std::to_string(tag)};
  }
}

Result<std::vector<FieldDef>> decode_fields(Cursor& in) {
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, in.take_u32());
  std::vector<FieldDef> fields;
  fields.reserve(reserve_bound(count, kCatalogMaxListReserve, in.remaining()));
  for (std::uint32_t i = 0; i < count; ++i) {
    QUARN_ASSIGN_OR_RETURN(FieldPath path, decode_field_path(in));
    QUARN_ASSIGN_OR_RETURN(Type type, decode_type(in, 0));
    std::vector<Constraint> constraints;
    if (carries_constraints(in.version())) {
      QUARN_ASSIGN_OR_RETURN(const std::uint32_t n, in.take_u32());
      constraints.reserve(reserve_bound(n, kCatalogMaxConstraintReserve, in.remaining()));
      for (std::uint32_t k = 0; k < n; ++k) {
        QUARN_ASSIGN_OR_RETURN(Constraint constraint, decode_constraint(in));
        constraints.push_back(std::move(constraint));
      }
    }
    fields.push_back(FieldDef{std::move(path), std::move(type), std::move(constraints)});
  }
  return fields;
}

Result<std::vector<IndexDef>> decode_indexes(Cursor& in) {
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, in.take_u32());
  std::vector<IndexDef> indexes;
  indexes.reserve(reserve_bound(count, kCatalogMaxListReserve, in.remaining()));
  for (std::uint32_t i = 0; i < count; ++i) {
    QUARN_ASSIGN_OR_RETURN(const std::uint8_t kind_byte, in.take_u8());
    if (kind_byte != 1 && kind_byte != 2) {
      return in.fail(CatalogDecodeError::UnknownIndexKind{kind_byte});
    }
    QUARN_ASSIGN_OR_RETURN(FieldPath path, decode_field_path(in));
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t len, in.take_u32());
    if (len == 0) return in.fail(CatalogDecodeError::EmptyIndexName{});
    if (len > kCatalogMaxNameBytes) return in.fail(CatalogDecodeError::IndexNameTooLong{len});
    QUARN_ASSIGN_OR_RETURN(std::string name, in.take_text(len));
    indexes.push_back(IndexDef{std::move(name), std::move(path),
                               kind_byte == 1 ? IndexKind::Unique : IndexKind::NonUnique});
  }
  return indexes;
}

Result<std::optional<std::string>> decode_optional_primary_name(Cursor& in) {
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t len, in.take_u32());
  if (len == 0) return std::optional<std::string>();
  if (len > kCatalogMaxNameBytes) return in.fail(CatalogDecodeError::CollectionNameTooLong{len});
  QUARN_ASSIGN_OR_RETURN(std::string name, in.take_text(len));
  return std::optional<std::string>(std::move(name));
}

Result<CatalogRecordWire> decode_create_collection(Cursor& in) {
  CatalogRecordWire::CreateCollection entry;
  QUARN_ASSIGN_OR_RETURN(entry.collection_id, in.take_u32());
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t name_len, in.take_u32());
  if (name_len == 0) return in.fail(CatalogDecodeError::EmptyCollectionName{});
  if (name_len > kCatalogMaxNameBytes) {
    return in.fail(CatalogDecodeError::CollectionNameTooLong{name_len});
  }
  QUARN_ASSIGN_OR_RETURN(entry.name, in.take_text(name_len));
  QUARN_ASSIGN_OR_RETURN(entry.schema_version, in.take_u32());
  QUARN_ASSIGN_OR_RETURN(entry.fields, decode_fields(in));
  if (carries_indexes(in.version())) {
    QUARN_ASSIGN_OR_RETURN(entry.indexes, decode_indexes(in));
  }
  if (carries_primary_name(in.version())) {
    QUARN_ASSIGN_OR_RETURN(entry.primary_field, decode_optional_primary_name(in));
  }
  return CatalogRecordWire(std::move(entry));
}

Result<CatalogRecordWire> decode_new_schema_version(Cursor& in) {
  CatalogRecordWire::NewSchemaVersion entry;
  QUARN_ASSIGN_OR_RETURN(entry.collection_id, in.take_u32());
  QUARN_ASSIGN_OR_RETURN(entry.schema_version, in.take_u32());
  QUARN_ASSIGN_OR_RETURN(entry.fields, decode_fields(in));
  if (carries_indexes(in.version())) {
    QUARN_ASSIGN_OR_RETURN(entry.indexes, decode_indexes(in));
  }
  return CatalogRecordWire(std::move(entry));
}

// Decodes a whole payload; `reason` receives the CatalogDecodeError behind a failure, if any.
Result<CatalogRecordWire> decode_payload(ByteSpan payload,
                                         std::optional<CatalogDecodeError>& reason) {
  auto fail = [&reason](CatalogDecodeError error) {
    reason = error;
    return to_db_error(error);
  };
  // The version is judged before the kind's two bytes are required.
  if (payload.size() < kCatalogKindAt) return fail(CatalogDecodeError::UnexpectedEof{});
  const auto version = static_cast<std::uint16_t>(load_le(payload, kCatalogVersionAt, 2));
  if (version < kOldestCatalogPayloadVersion || version > kCatalogPayloadVersion) {
    return fail(CatalogDecodeError::UnknownCatalogPayloadVersion{version});
  }
  if (payload.size() < kCatalogBodyAt) return fail(CatalogDecodeError::UnexpectedEof{});
  const auto kind = static_cast<std::uint16_t>(load_le(payload, kCatalogKindAt, 2));
  if (kind != kCatalogEntryCreateCollection && kind != kCatalogEntryNewSchemaVersion) {
    return fail(CatalogDecodeError::UnknownEntryKind{kind});
  }
  Cursor in(payload.subspan(kCatalogBodyAt), version, reason);
  Result<CatalogRecordWire> entry = kind == kCatalogEntryCreateCollection
                                        ? decode_create_collection(in)
                                        : decode_new_schema_version(in);
  if (!entry.ok()) return entry;
  if (!in.at_end()) return fail(CatalogDecodeError::TrailingBytes{});
  return entry;
}

std::string with_got(const char* name, std::uint64_t got) {
  return std::string(name) + " { got: " + std::to_string(got) + " }";
}

}  // namespace

std::string CatalogDecodeError::debug() const {
  using E = CatalogDecodeError;
  return std::visit(
      [](const auto& e) -> std::string {
        using A = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<A, E::UnexpectedEof>) {
          return "UnexpectedEof";
        } else if constexpr (std::is_same_v<A, E::UnknownCatalogPayloadVersion>) {
          return with_got("UnknownCatalogPayloadVersion", e.got);
        } else if constexpr (std::is_same_v<A, E::UnknownEntryKind>) {
          return with_got("UnknownEntryKind", e.got);
        } else if constexpr (std::is_same_v<A, E::TrailingBytes>) {
          return "TrailingBytes";
        } else if constexpr (std::is_same_v<A, E::TypeNestingTooDeep>) {
          return "TypeNestingTooDeep { max: " + std::to_string(e.max) + " }";
        } else if constexpr (std::is_same_v<A, E::InvalidUtf8>) {
          return "InvalidUtf8";
        } else if constexpr (std::is_same_v<A, E::CollectionNameTooLong>) {
          return with_got("CollectionNameTooLong", e.got);
        } else if constexpr (std::is_same_v<A, E::EmptyCollectionName>) {
          return "EmptyCollectionName";
        } else if constexpr (std::is_same_v<A, E::IndexNameTooLong>) {
          return with_got("IndexNameTooLong", e.got);
        } else if constexpr (std::is_same_v<A, E::EmptyIndexName>) {
          return "EmptyIndexName";
        } else {
          static_assert(std::is_same_v<A, E::UnknownIndexKind>);
          return with_got("UnknownIndexKind", e.got);
        }
      },
      value_);
}

DbError to_db_error(const CatalogDecodeError& error) {
  return FormatError::InvalidCatalogPayload{error.debug()};
}

Bytes encode_catalog_payload(const CatalogRecordWire& entry) {
  Bytes bytes;
  ByteWriter out(bytes);
  out.put_u16(kCatalogPayloadVersion);
  if (const auto* create = std::get_if<CatalogRecordWire::CreateCollection>(&entry.value())) {
    out.put_u16(kCatalogEntryCreateCollection);
    out.put_u32(create->collection_id);
    out.put_len_prefixed(create->name);
    out.put_u32(create->schema_version);
    encode_fields_v3(create->fields, out);
    encode_indexes(create->indexes, out);
    out.put_len_prefixed(create->primary_field.value_or(std::string()));
  } else {
    const auto& next = std::get<CatalogRecordWire::NewSchemaVersion>(entry.value());
    out.put_u16(kCatalogEntryNewSchemaVersion);
    out.put_u32(next.collection_id);
    out.put_u32(next.schema_version);
    encode_fields_v3(next.fields, out);
    encode_indexes(next.indexes, out);
  }
  return bytes;
}

Result<CatalogRecordWire> decode_catalog_payload(ByteSpan payload) {
  std::optional<CatalogDecodeError> reason;
  return decode_payload(payload, reason);
}

Status check_catalog_entry_decodes(const CatalogRecordWire& entry) {
  const Bytes payload = encode_catalog_payload(entry);
  std::optional<CatalogDecodeError> reason;
  Result<CatalogRecordWire> decoded = decode_payload(payload, reason);
  if (decoded.ok()) return ok_status();
  if (!reason) {
    // Not a decode error of its own (an invalid field path): already a clear refusal.
    if (decoded.error().is<SchemaError>()) return std::move(decoded).error();
    return SchemaError::IncompatibleChange{"catalog entry would not decode: " +
                                           decoded.error().inner_text()};
  }
  using E = CatalogDecodeError;
  if (reason->is<E::EmptyCollectionName>() || reason->is<E::CollectionNameTooLong>()) {
    return SchemaError::InvalidCollectionName{};
  }
  std::string why;
  if (reason->is<E::EmptyIndexName>()) {
    why = "index name must not be empty";
  } else if (const auto* too_long = std::get_if<E::IndexNameTooLong>(&reason->value())) {
    why = "index name of " + std::to_string(too_long->got) + " bytes is longer than " +
          std::to_string(kCatalogMaxNameBytes) + " bytes";
  } else if (reason->is<E::TypeNestingTooDeep>()) {
    why = "field type nested more than " + std::to_string(kCatalogMaxTypeNesting) + " levels deep";
  } else if (reason->is<E::InvalidUtf8>()) {
    why = "name or text is not valid UTF-8";
  } else {
    why = "catalog entry would not decode: " + reason->debug();
  }
  return SchemaError::IncompatibleChange{std::move(why)};
}

}  // namespace quarn
