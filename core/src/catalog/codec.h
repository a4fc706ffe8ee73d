// The catalog payload codec: one catalog entry (a collection's creation or a further schema
// version) in payload versions 1 to 4. The encoder writes version 4; the decoder reads all four
// and stays bounded on hostile input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bytes.h"
#include "result.h"
#include "schema.h"

namespace quarn {

// The version every new catalog payload carries; versions 1 to 3 are read only.
inline constexpr std::uint16_t kCatalogPayloadVersion = 4;
// Entry kinds at bytes [2, 4) of a payload (frozen numbers).
inline constexpr std::uint16_t kCatalogEntryCreateCollection = 1;
inline constexpr std::uint16_t kCatalogEntryNewSchemaVersion = 2;
// Collection, index and primary-field names hold 1 to this many bytes.
inline constexpr std::size_t kCatalogMaxNameBytes = 1023;
// Levels of Optional, List or Object the decoder accepts around a field's innermost type.
inline constexpr std::uint32_t kCatalogMaxTypeNesting = 32;
// Up-front reservation caps for counts read off the data; lists grow past them while reading.
inline constexpr std::size_t kCatalogMaxListReserve = 1024;
inline constexpr std::size_t kCatalogMaxConstraintReserve = 4096;
inline constexpr std::size_t kCatalogMaxSegmentReserve = 64;

// One catalog entry. Copies are deep.
class CatalogRecordWire {
 public:
  struct CreateCollection {
    std::uint32_t collection_id = 0;
    std::string name;
    std::uint32_t schema_version = 0;
    std::vector<FieldDef> fields;
    std::vector<IndexDef> indexes;
    std::optional<std::string> primary_field;
    bool operator==(const CreateCollection&) const = default;
  };
  struct NewSchemaVersion {
    std::uint32_t collection_id = 0;
    std::uint32_t schema_version = 0;
    std::vector<FieldDef> fields;
    std::vector<IndexDef> indexes;
    bool operator==(const NewSchemaVersion&) const = default;
  };
  using Variant = std::variant<CreateCollection, NewSchemaVersion>;

  template <AlternativeOf<Variant> A>
  CatalogRecordWire(A&& alternative) : value_(std::forward<A>(alternative)) {}

  const Variant& value() const& { return value_; }
  Variant&& value() && { return std::move(value_); }
  template <class A>
  bool is() const {
    return std::holds_alternative<A>(value_);
  }
  bool operator==(const CatalogRecordWire&) const = default;

 private:
  Variant value_;
};

// Why a catalog payload does not decode. Reaches messages as its debug text.
class CatalogDecodeError {
 public:
  struct UnexpectedEof {};
  struct UnknownCatalogPayloadVersion {
    std::uint16_t got;
  };
  struct UnknownEntryKind {
    std::uint16_t got;
  };
  struct TrailingBytes {};
  struct TypeNestingTooDeep {
    std::uint32_t max;
  };
  struct InvalidUtf8 {};
  struct CollectionNameTooLong {
    std::uint64_t got;
  };
  struct EmptyCollectionName {};
  struct IndexNameTooLong {
    std::uint64_t got;
  };
  struct EmptyIndexName {};
  struct UnknownIndexKind {
    std::uint8_t got;
  };
  using Variant =
      std::variant<UnexpectedEof, UnknownCatalogPayloadVersion, UnknownEntryKind, TrailingBytes,
                   TypeNestingTooDeep, InvalidUtf8, CollectionNameTooLong, EmptyCollectionName,
                   IndexNameTooLong, EmptyIndexName, UnknownIndexKind>;

  template <AlternativeOf<Variant> A>
  CatalogDecodeError(A&& alternative) : value_(std::forward<A>(alternative)) {}

  const Variant& value() const { return value_; }
  template <class A>
  bool is() const {
    return std::holds_alternative<A>(value_);
  }
  // One line: "UnexpectedEof", "UnknownEntryKind { got: 7 }", ...
  std::string debug() const;

 private:
  Variant value_;
};

// FormatError::InvalidCatalogPayload carrying the debug text.
DbError to_db_error(const CatalogDecodeError& error);

// Version 4 bytes of the entry. Tests no limit; members of object types lose their
// constraints (the format stores none for them).
Bytes encode_catalog_payload(const CatalogRecordWire& entry);

// Reads versions 1 to 4. Errors: FormatError::InvalidCatalogPayload with a decode error's
// debug text, "unknown type tag {}" or "unknown constraint tag {}"; SchemaError::InvalidFieldPath
// for a path of no segments or with an empty one. No partial result.
Result<CatalogRecordWire> decode_catalog_payload(ByteSpan payload);

// Refuses, before anything is written, an entry whose encoding the decoder would refuse (which
// would make every later open fail): SchemaError::InvalidCollectionName for an empty or too long
// collection or primary-field name; SchemaError::IncompatibleChange naming the reason for an
// empty or too long index name, a type nested too deeply, or text that is not UTF-8.
Status check_catalog_entry_decodes(const CatalogRecordWire& entry);

}  // namespace quarn
