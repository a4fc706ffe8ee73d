// DbError: the engine's one error type, its seven categories and every message they render.
// Errors are values: the engine returns them and never throws them.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace quarn {

// std::visit over a set of lambdas.
template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

template <class A, class V>
struct IsAlternativeOf : std::false_type {};
template <class A, class... Ts>
struct IsAlternativeOf<A, std::variant<Ts...>> : std::bool_constant<(std::same_as<A, Ts> || ...)> {
};

// True when A is exactly one of the alternatives of the variant V.
template <class A, class V>
concept AlternativeOf = IsAlternativeOf<std::remove_cvref_t<A>, V>::value;

// The position of A among the alternatives of the variant V. REQUIRES: AlternativeOf<A, V>.
template <class A, class V>
constexpr std::size_t alternative_index() {
  return []<class... Ts>(std::type_identity<std::variant<Ts...>>) {
    constexpr bool matches[] = {std::same_as<A, Ts>...};
    std::size_t i = 0;
    while (!matches[i]) ++i;
    return i;
  }(std::type_identity<V>{});
}

// Portable kinds of an i/o error; errno values map onto them, the engine's own errors name one.
enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  InvalidInput,
  UnexpectedEof,
  WriteZero,
  Interrupted,
  Unsupported,
  OutOfMemory,
  Other,
};

// An i/o error: either an operating-system error number (message empty) or an engine message.
struct IoError {
  IoErrorKind kind = IoErrorKind::Other;
  int os_code = 0;
  std::string message;

  // An operating-system error; the kind is derived from the number.
  static IoError from_errno(int code);
  // An error the engine makes itself.
  static IoError with_message(IoErrorKind kind, std::string message);

  bool operator==(const IoError&) const = default;
};

// Everything wrong with stored bytes or with the shape of a payload.
class FormatError {
 public:
  struct BadMagic {
    std::array<std::uint8_t, 4> got;
    bool operator==(const BadMagic&) const = default;
  };
  struct TruncatedHeader {
    std::uint64_t got;
    std::uint64_t expected;
    bool operator==(const TruncatedHeader&) const = default;
  };
  struct UnsupportedVersion {
    std::uint16_t major;
    std::uint16_t minor;
    bool operator==(const UnsupportedVersion&) const = default;
  };
  struct TruncatedSuperblock {
    std::uint64_t got;
    std::uint64_t expected;
    bool operator==(const TruncatedSuperblock&) const = default;
  };
  struct BadSuperblockMagic {
    std::array<std::uint8_t, 4> got;
    bool operator==(const BadSuperblockMagic&) const = default;
  };
  struct SuperblockChecksumMismatch {
    bool operator==(const SuperblockChecksumMismatch&) const = default;
  };
  struct TruncatedSegmentHeader {
    std::uint64_t got;
    std::uint64_t expected;
    bool operator==(const TruncatedSegmentHeader&) const = default;
  };
  struct BadSegmentMagic {
    std::array<std::uint8_t, 4> got;
    bool operator==(const BadSegmentMagic&) const = default;
  };
  struct SegmentHeaderChecksumMismatch {
    bool operator==(const SegmentHeaderChecksumMismatch&) const = default;
  };
  struct SegmentPayloadChecksumMismatch {
    bool operator==(const SegmentPayloadChecksumMismatch&) const = default;
  };
  struct SegmentPayloadPastEof {
    bool operator==(const SegmentPayloadPastEof&) const = default;
  };
  struct InvalidCatalogPayload {
    std::string message;
    bool operator==(const InvalidCatalogPayload&) const = default;
  };
  struct TruncatedRecordPayload {
    bool operator==(const TruncatedRecordPayload&) const = default;
  };
  struct RecordTypeMismatch {
    bool operator==(const RecordTypeMismatch&) const = default;
  };
  struct InvalidRecordUtf8 {
    bool operator==(const InvalidRecordUtf8&) const = default;
  };
  struct UnsupportedTypeInV1 {
    bool operator==(const UnsupportedTypeInV1&) const = default;
  };
  struct UnknownRecordPayloadVersion {
    std::uint16_t version;
    bool operator==(const UnknownRecordPayloadVersion&) const = default;
  };
  struct TrailingRecordBytes {
    bool operator==(const TrailingRecordBytes&) const = default;
  };
  struct InvalidTxnPayload {
    std::string message;
    bool operator==(const InvalidTxnPayload&) const = default;
  };

  // Declared order is the alternative number; never reorder.
  using Variant =
      std::variant<BadMagic, TruncatedHeader, UnsupportedVersion, TruncatedSuperblock,
                   BadSuperblockMagic, SuperblockChecksumMismatch, TruncatedSegmentHeader,
                   BadSegmentMagic, SegmentHeaderChecksumMismatch, SegmentPayloadChecksumMismatch,
                   SegmentPayloadPastEof, InvalidCatalogPayload, TruncatedRecordPayload,
                   RecordTypeMismatch, InvalidRecordUtf8, UnsupportedTypeInV1,
                   UnknownRecordPayloadVersion, TrailingRecordBytes, InvalidTxnPayload>;

  template <AlternativeOf<Variant> A>
  FormatError(A&& alternative) : value_(std::forward<A>(alternative)) {}

  const Variant& value() const { return value_; }
  std::size_t index() const { return value_.index(); }
  template <class A>
  bool is() const {
    return std::holds_alternative<A>(value_);
  }
  std::string render() const;
  bool operator==(const FormatError&) const = default;

 private:
  Variant value_;
};

// Requests and stored records that break the schema or catalog rules.
class SchemaError {
 public:
  struct InvalidFieldPath {
    bool operator==(const InvalidFieldPath&) const = default;
  };
  struct DuplicateCollectionName {
    std::string name;
    bool operator==(const DuplicateCollectionName&) const = default;
  };
  struct UnknownCollectionId {
    std::uint32_t id;
    bool operator==(const UnknownCollectionId&) const = default;
  };
  struct UnknownCollectionName {
    std::string name;
    bool operator==(const UnknownCollectionName&) const = default;
  };
  struct InvalidCollectionName {
    bool operator==(const InvalidCollectionName&) const = default;
  };
  struct InvalidSchemaVersion {
    std::uint32_t expected;
    std::uint32_t got;
    bool operator==(const InvalidSchemaVersion&) const = default;
  };
  struct SchemaVersionLimit {
    bool operator==(const SchemaVersionLimit&) const = default;
  };
  struct UnexpectedCollectionId {
    std::uint32_t expected;
    std::uint32_t got;
    bool operator==(const UnexpectedCollectionId&) const = default;
  };
  struct NoPrimaryKey {
    std::uint32_t collection_id;
    bool operator==(const NoPrimaryKey&) const = default;
  };
  struct PrimaryFieldNotFound {
    std::string field;
    bool operator==(const PrimaryFieldNotFound&) const = default;
  };
  struct PrimaryFieldNotRetained {
    std::string field;
    bool operator==(const PrimaryFieldNotRetained&) const = default;
  };
  struct InsertMissingPrimaryKey {
    std::string field;
    bool operator==(const InsertMissingPrimaryKey&) const = default;
  };
  struct InsertMissingField {
    std::string field;
    bool operator==(const InsertMissingField&) const = default;
  };
  struct UniqueIndexViolation {
    bool operator==(const UniqueIndexViolation&) const = default;
  };
  struct IncompatibleChange {
    std::string reason;
    bool operator==(const IncompatibleChange&) const = default;
  };
  struct MigrationRequired {
    std::string reason;
    bool operator==(const MigrationRequired&) const = default;
  };

  // Declared order is the alternative number; never reorder.
  using Variant =
      std::variant<InvalidFieldPath, DuplicateCollectionName, UnknownCollectionId,
                   UnknownCollectionName, InvalidCollectionName, InvalidSchemaVersion,
                   SchemaVersionLimit, UnexpectedCollectionId, NoPrimaryKey, PrimaryFieldNotFound,
                   PrimaryFieldNotRetained, InsertMissingPrimaryKey, InsertMissingField,
                   UniqueIndexViolation, IncompatibleChange, MigrationRequired>;

  template <AlternativeOf<Variant> A>
  SchemaError(A&& alternative) : value_(std::forward<A>(alternative)) {}

  const Variant& value() const { return value_; }
  std::size_t index() const { return value_.index(); }
  template <class A>
  bool is() const {
    return std::holds_alternative<A>(value_);
  }
  std::string render() const;
  bool operator==(const SchemaError&) const = default;

 private:
  Variant value_;
};

// A value that breaks its field's type or constraints; path locates it inside the row.
struct ValidationError {
  std::vector<std::string> path;
  std::string message;

  std::string render() const;
  bool operator==(const ValidationError&) const = default;
};

class TransactionError {
 public:
  struct Nested {
    bool operator==(const Nested&) const = default;
  };
  using Variant = std::variant<Nested>;

  template <AlternativeOf<Variant> A>
  TransactionError(A&& alternative) : value_(std::forward<A>(alternative)) {}

  const Variant& value() const { return value_; }
  std::string render() const;
  bool operator==(const TransactionError&) const = default;

 private:
  Variant value_;
};

// The category numbers of DbError, frozen: the Python layer switches on them.
enum class ErrorCategory : std::uint8_t {
  Io = 0,
  Format = 1,
  Schema = 2,
  Validation = 3,
  Transaction = 4,
  QuerySyntax = 5,
  NotImplemented = 6,
};

class DbError {
 public:
  struct QuerySyntax {
    std::string message;
    bool operator==(const QuerySyntax&) const = default;
  };
  struct NotImplemented {
    bool operator==(const NotImplemented&) const = default;
  };

  using Variant = std::variant<IoError, FormatError, SchemaError, ValidationError, TransactionError,
                               QuerySyntax, NotImplemented>;

  DbError(IoError e) : value_(std::move(e)) {}
  DbError(FormatError e) : value_(std::move(e)) {}
  DbError(SchemaError e) : value_(std::move(e)) {}
  DbError(ValidationError e) : value_(std::move(e)) {}
  DbError(TransactionError e) : value_(std::move(e)) {}
  DbError(QuerySyntax e) : value_(std::move(e)) {}
  DbError(NotImplemented e) : value_(e) {}
  // `return FormatError::BadMagic{...};` and friends: one step from an alternative.
  template <AlternativeOf<FormatError::Variant> A>
  DbError(A&& alternative) : value_(FormatError(std::forward<A>(alternative))) {}
  template <AlternativeOf<SchemaError::Variant> A>
  DbError(A&& alternative) : value_(SchemaError(std::forward<A>(alternative))) {}
  DbError(TransactionError::Nested e) : value_(TransactionError(e)) {}

  ErrorCategory category() const { return static_cast<ErrorCategory>(value_.index()); }
  const Variant& value() const { return value_; }
  template <class A>
  bool is() const {
    return std::holds_alternative<A>(value_);
  }
  template <class A>
  const A& as() const {
    return std::get<A>(value_);
  }

  // The full text with its category prefix ("format error: ...").
  std::string render() const;
  // The carried value's own text, without the category prefix (what Python shows).
  std::string inner_text() const;

  bool operator==(const DbError&) const = default;

 private:
  Variant value_;
};

// Shorthands for the engine's own i/o errors.
inline DbError io_error(IoErrorKind kind, std::string message) {
  return DbError(IoError::with_message(kind, std::move(message)));
}
inline DbError io_error_from_errno(int code) { return DbError(IoError::from_errno(code)); }

std::string render(const IoError& error);

// A text as messages quote it: in double quotes, with backslash escapes for quotes,
// backslashes, control, non-printable and grapheme-extending characters.
std::string debug_string(std::string_view text);

// Texts as messages list them: each a debug_string, `["a", "b"]`.
std::string debug_string_list(const std::vector<std::string>& texts);

// Bytes as messages list them: two hex digits each, "[7f, 45, 4c, 46]".
std::string debug_hex_bytes(const std::uint8_t* data, std::size_t size);

// A broken invariant of the engine itself; aborts the call (RuntimeError in Python).
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace quarn

// Throws InternalFault when an invariant does not hold; never used for bad input.
#define QUARN_CHECK(cond, what)                                                    \
  do {                                                                             \
    if (!(cond)) throw ::quarn::InternalFault(std::string("internal: ") + (what)); \
  } while (false)
