// Every text the engine's errors render, in one place.
#include "error.h"

#include <cerrno>
#include <cstring>

#include <utf8proc.h>

namespace quarn {
namespace {

std::string hex_char(std::uint32_t v) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  return out;
}

// Printable in the sense of the debug form: not a control, format, surrogate, private-use,
// unassigned or separator character other than the plain space.
bool is_printable(std::int32_t cp) {
  if (cp == ' ') return true;
  switch (utf8proc_category(cp)) {
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return false;
    default:
      return true;
  }
}

bool is_grapheme_extend(std::int32_t cp) {
  return utf8proc_get_property(cp)->boundclass == UTF8PROC_BOUNDCLASS_EXTEND;
}

std::string with_u32(const char* before, std::uint64_t a, const char* middle, std::uint64_t b) {
  return std::string(before) + std::to_string(a) + middle + std::to_string(b);
}

}  // namespace

IoError IoError::from_errno(int code) {
  IoErrorKind kind = IoErrorKind::Other;
  switch (code) {
    case ENOENT:
      kind = IoErrorKind::NotFound;
      break;
    case EACCES:
    case EPERM:
      kind = IoErrorKind::PermissionDenied;
      break;
    case EEXIST:
      kind = IoErrorKind::AlreadyExists;
      break;
    case EINVAL:
      kind = IoErrorKind::InvalidInput;
      break;
    case EINTR:
      kind = IoErrorKind::Interrupted;
      break;
    case ENOMEM:
      kind = IoErrorKind::OutOfMemory;
      break;
    case ENOSYS:
    case EOPNOTSUPP:
      kind = IoErrorKind::Unsupported;
      break;
    default:
      break;
  }
  return IoError{kind, code, {}};
}

IoError IoError::with_message(IoErrorKind kind, std::string message) {
  return IoError{kind, 0, std::move(message)};
}

std::string render(const IoError& error) {
  if (!error.message.empty() || error.os_code == 0) return error.message;
  return std::string(std::strerror(error.os_code)) + " (os error " + std::to_string(error.os_code) +
         ")";
}

std::string debug_string(std::string_view text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t cp = 0;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0) {
      // Not UTF-8: show the byte itself rather than guess a character.
      out += "\\x" + hex_char(*p);
      ++p;
      --left;
      continue;
    }
    switch (cp) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (!is_printable(cp) || is_grapheme_extend(cp)) {
          out += "\\u{" + hex_char(static_cast<std::uint32_t>(cp)) + "}";
        } else {
          out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
        }
    }
    p += n;
    left -= n;
  }
  out += '"';
  return out;
}

std::string debug_string_list(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += ", ";
    out += debug_string(texts[i]);
  }
  out += ']';
  return out;
}

std::string debug_hex_bytes(const std::uint8_t* data, std::size_t size) {
  static const char* digits = "0123456789abcdef";
  std::string out = "[";
  for (std::size_t i = 0; i < size; ++i) {
    if (i > 0) out += ", ";
    out += digits[data[i] >> 4];
    out += digits[data[i] & 0xF];
  }
  out += ']';
  return out;
}

std::string FormatError::render() const {
  using E = FormatError;
  return std::visit(
      Overloaded{
          [](const E::BadMagic& e) {
            return "bad magic bytes: expected \"QDB0\", got " + debug_hex_bytes(e.got.data(), 4);
          },
          [](const E::TruncatedHeader& e) {
            return with_u32("truncated header: got ", e.got, " bytes, expected ", e.expected);
          },
          [](const E::UnsupportedVersion& e) {
            return with_u32("unsupported format version ", e.major, ".", e.minor);
          },
          [](const E::TruncatedSuperblock& e) {
            return with_u32("truncated superblock: got ", e.got, " bytes, expected ", e.expected);
          },
          [](const E::BadSuperblockMagic& e) {
            return "bad superblock magic bytes: expected \"QSB0\", got " +
                   debug_hex_bytes(e.got.data(), 4);
          },
          [](const E::SuperblockChecksumMismatch&) {
            return std::string("superblock checksum mismatch");
          },
          [](const E::TruncatedSegmentHeader& e) {
            return with_u32("truncated segment header: got ", e.got, " bytes, expected ",
                            e.expected);
          },
          [](const E::BadSegmentMagic& e) {
            return "bad segment magic bytes: expected \"QSG0\", got " +
                   debug_hex_bytes(e.got.data(), 4);
          },
          [](const E::SegmentHeaderChecksumMismatch&) {
            return std::string("segment header checksum mismatch");
          },
          [](const E::SegmentPayloadChecksumMismatch&) {
            return std::string("segment payload checksum mismatch");
          },
          [](const E::SegmentPayloadPastEof&) {
            return std::string("segment payload extends past end of file");
          },
          [](const E::InvalidCatalogPayload& e) { return "invalid catalog payload: " + e.message; },
          [](const E::TruncatedRecordPayload&) { return std::string("truncated record payload"); },
          [](const E::RecordTypeMismatch&) {
            return std::string("record payload type does not match schema");
          },
          [](const E::InvalidRecordUtf8&) { return std::string("invalid UTF-8 in record string"); },
          [](const E::UnsupportedTypeInV1&) {
            return std::string("unsupported type in record payload v1");
          },
          [](const E::UnknownRecordPayloadVersion& e) {
            return "unknown record payload version " + std::to_string(e.version);
          },
          [](const E::TrailingRecordBytes&) {
            return std::string("trailing bytes in record payload");
          },
          [](const E::InvalidTxnPayload& e) {
            return "invalid transaction marker payload: " + e.message;
          },
      },
      value_);
}

std::string SchemaError::render() const {
  using E = SchemaError;
  return std::visit(
      Overloaded{
          [](const E::InvalidFieldPath&) { return std::string("invalid field path"); },
          [](const E::DuplicateCollectionName& e) {
            return "duplicate collection name: " + debug_string(e.name);
          },
          [](const E::UnknownCollectionId& e) {
            return "unknown collection id " + std::to_string(e.id);
          },
          [](const E::UnknownCollectionName& e) {
            return "unknown collection name " + debug_string(e.name);
          },
          [](const E::InvalidCollectionName&) { return std::string("invalid collection name"); },
          [](const E::InvalidSchemaVersion& e) {
            return with_u32("invalid schema version: expected ", e.expected, ", got ", e.got);
          },
          [](const E::SchemaVersionLimit&) {
            return std::string("schema version limit reached (cannot bump further)");
          },
          [](const E::UnexpectedCollectionId& e) {
            return with_u32("unexpected collection id in catalog replay: expected ", e.expected,
                            ", got ", e.got);
          },
          [](const E::NoPrimaryKey& e) {
            return "collection " + std::to_string(e.collection_id) +
                   " has no primary key (upgrade catalog or re-register)";
          },
          [](const E::PrimaryFieldNotFound& e) {
            return "primary field " + debug_string(e.field) + " not found as a top-level field";
          },
          [](const E::PrimaryFieldNotRetained& e) {
            return "schema update must retain top-level primary field " + debug_string(e.field);
          },
          [](const E::InsertMissingPrimaryKey& e) {
            return "insert row missing primary key field " + debug_string(e.field);
          },
          [](const E::InsertMissingField& e) {
            return "insert row missing field " + debug_string(e.field);
          },
          [](const E::UniqueIndexViolation&) { return std::string("unique index violation"); },
          [](const E::IncompatibleChange& e) { return "incompatible schema change: " + e.reason; },
          [](const E::MigrationRequired& e) { return "migration required: " + e.reason; },
      },
      value_);
}

std::string ValidationError::render() const {
  if (path.empty()) return "validation error: " + message;
  std::string joined;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i > 0) joined += '.';
    joined += path[i];
  }
  return "validation error at " + joined + ": " + message;
}

std::string TransactionError::render() const { return "nested transactions are not supported"; }

std::string DbError::inner_text() const {
  return std::visit(Overloaded{
                        [](const IoError& e) { return quarn::render(e); },
                        [](const FormatError& e) { return e.render(); },
                        [](const SchemaError& e) { return e.render(); },
                        [](const ValidationError& e) { return e.render(); },
                        [](const TransactionError& e) { return e.render(); },
                        [](const QuerySyntax& e) { return e.message; },
                        [](const NotImplemented&) { return std::string("not implemented"); },
                    },
                    value_);
}

std::string DbError::render() const {
  switch (category()) {
    case ErrorCategory::Io:
      return "i/o error: " + inner_text();
    case ErrorCategory::Format:
      return "format error: " + inner_text();
    case ErrorCategory::Schema:
      return "schema error: " + inner_text();
    case ErrorCategory::Transaction:
      return "transaction error: " + inner_text();
    case ErrorCategory::QuerySyntax:
      return "query error: " + inner_text();
    case ErrorCategory::Validation:
    case ErrorCategory::NotImplemented:
      break;
  }
  return inner_text();
}

}  // namespace quarn
