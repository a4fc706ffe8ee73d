// Row values and rows, and their type-driven encoding.
//
// Row-value format, by type:
//   primitive    the tagged scalar
//   Optional T   flag u8: 0 null (nothing follows), 1 a value in the format of T
//   List T       u32 element count, then each element in the format of T
//   Object       each member's value in the type's member order; no count, no names
//   Enum         the tagged scalar of kind 4 (String)
#include "record/row_value.h"

#include <algorithm>
#include <utility>

#include "record/packed_row.h"

namespace quarn {

namespace {

using record::scalar::Cursor;

FormatError mismatch() { return FormatError::RecordTypeMismatch{}; }
FormatError truncated() { return FormatError::TruncatedRecordPayload{}; }

// The fewest bytes any value of the type encodes in: a true lower bound, so a list count that
// cannot fit in the remaining bytes is refused before its elements are read.
std::uint64_t min_encoded_size(const Type& type) {
  switch (type.kind()) {
    case Type::Kind::Bool:
      return 2;
    case Type::Kind::Int64:
    case Type::Kind::Uint64:
    case Type::Kind::Float64:
    case Type::Kind::Timestamp:
      return 9;
    case Type::Kind::String:
    case Type::Kind::Bytes:
    case Type::Kind::Enum:
      return 5;
    case Type::Kind::Uuid:
      return 17;
    case Type::Kind::Optional:
      return 1;
    case Type::Kind::List:
      return 4;
    case Type::Kind::Object: {
      std::uint64_t total = 0;
      for (const FieldDef& member : type.members()) total += min_encoded_size(member.type);
      return total;
    }
  }
  return 0;
}

// One encode or decode call: counts the zero-byte list elements across all nested lists, so
// that lists inside lists cannot multiply the cap.
struct ZeroByteBudget {
  std::size_t used = 0;
  // Decoded objects without members share one immutable empty row.
  std::shared_ptr<const Row> empty_row;

  bool take(std::size_t count) {
    if (count > kMaxZeroByteListElements - used) return false;
    used += count;
    return true;
  }
};

Status encode_value(Bytes& out, ValueView value, const Type& type, ZeroByteBudget& budget) {
  if (value.is_null()) {
    if (type.kind() != Type::Kind::Optional) return mismatch();
    out.push_back(0);
    return ok_status();
  }
  const Type* t = &type;
  while (t->kind() == Type::Kind::Optional) {
    out.push_back(1);
    t = &t->inner();
  }
  if (t->is_primitive()) return encode_tagged_scalar(out, value, *t);
  switch (t->kind()) {
    case Type::Kind::List: {
      if (value.number() != ValueNumber::List) return mismatch();
      const ValueView::ListRange list = value.list();
      QUARN_TRY(check_encoded_length(list.size()));
      // What the decoder would refuse is not written.
      if (min_encoded_size(t->inner()) == 0 && !budget.take(list.size())) return mismatch();
      ByteWriter(out).put_u32(static_cast<std::uint32_t>(list.size()));
      for (const ValueView element : list)
        QUARN_TRY(encode_value(out, element, t->inner(), budget));
      return ok_status();
    }
    case Type::Kind::Object: {
      if (value.number() != ValueNumber::Object) return mismatch();
      const RowView row = value.object();
      for (const FieldDef& member : t->members()) {
        const std::optional<ValueView> found = row.find(member.path.first());
        if (!found) return truncated();
        QUARN_TRY(encode_value(out, *found, member.type, budget));
      }
      return ok_status();
    }
    case Type::Kind::Enum:
      if (value.number() != ValueNumber::String) return mismatch();
      return encode_tagged_scalar(out, value, Type(Type::Kind::String));
    default:
      return mismatch();
  }
}

// A list's element count, refused (TruncatedRecordPayload) when the remaining bytes cannot
// hold that many elements, or when it would take the budget past its cap of zero-byte ones.
Result<std::uint32_t> take_list_count(Cursor& reader, const Type& list, ZeroByteBudget& budget) {
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, reader.take_u32());
  const std::uint64_t min_size = min_encoded_size(list.inner());
  if (min_size == 0) {
    if (!budget.take(count)) return truncated();
  } else if (count > reader.remaining() / min_size) {
    return truncated();
  }
  return count;
}

// The one reading of a row value, its checks in order, handing what it read to a sink that
// builds the value (ValueSink) or writes its image (ImageSink). An object's members are always
// built: the image orders them by name, not in the type's order.
template <class Sink>
Result<typename Sink::Out> decode_value(Cursor& reader, const Type& type, ZeroByteBudget& budget,
                                        Sink& sink);

// Builds the RowValue.
struct ValueSink {
  using Out = RowValue;
  Result<RowValue> scalar(Cursor& reader, const Type& type) {
    QUARN_ASSIGN_OR_RETURN(const ScalarValue scalar, decode_tagged_scalar(reader, type));
    return RowValue(scalar);
  }
  RowValue null() { return RowValue(RowValue::Null{}); }
  RowValue::List open_list(std::uint32_t count, std::size_t remaining) {
    RowValue::List list;
    list.reserve(std::min({static_cast<std::size_t>(count), kMaxListReserve, remaining}));
    return list;
  }
  Status add_element(RowValue::List& list, Result<RowValue> element) {
    if (!element.ok()) return std::move(element).error();
    list.push_back(std::move(element).value());
    return ok_status();
  }
  RowValue close_list(RowValue::List list) { return RowValue(std::move(list)); }
  RowValue object(Row row, ZeroByteBudget& budget) {
    // Only an object type without members decodes to an empty row.
    if (row.empty()) {
      if (!budget.empty_row) budget.empty_row = std::make_shared<const Row>();
      return RowValue(RowValue::Object{budget.empty_row});
    }
    return RowValue::object(std::move(row));
  }
};

// Appends the value's image to out. It writes only what decode_value has read and checked, so
// the image is valid whatever the stored bytes held; out keeps a partial image on an error.
struct ImageSink {
  using Out = void;
  Bytes& out;
  Status scalar(Cursor& reader, const Type& type) {
    return decode_tagged_scalar_packed(reader, type, out);
  }
  Status null() {
    packed_build::null(out);
    return ok_status();
  }
  std::size_t open_list(std::uint32_t count, std::size_t) {
    return packed_build::open_list(out, count);
  }
  // The element is already written.
  Status add_element(std::size_t, Status element) { return element; }
  Status close_list(std::size_t at) {
    packed_build::close_list(out, at);
    return ok_status();
  }
  Status object(const Row& row, ZeroByteBudget&) {
    packed_build::object(out, row);
    return ok_status();
  }
};

template <class Sink>
Result<typename Sink::Out> decode_value(Cursor& reader, const Type& type, ZeroByteBudget& budget,
                                        Sink& sink) {
  if (type.is_primitive()) return sink.scalar(reader, type);
  switch (type.kind()) {
    case Type::Kind::Optional: {
      QUARN_ASSIGN_OR_RETURN(const std::uint8_t flag, reader.take_u8());
      if (flag == 0) return sink.null();
      if (flag != 1) return mismatch();
      return decode_value(reader, type.inner(), budget, sink);
    }
    case Type::Kind::List: {
      QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, take_list_count(reader, type, budget));
      auto list = sink.open_list(count, reader.remaining());
      for (std::uint32_t i = 0; i < count; ++i) {
        QUARN_TRY(sink.add_element(list, decode_value(reader, type.inner(), budget, sink)));
      }
      return sink.close_list(std::move(list));
    }
    case Type::Kind::Object: {
      Row row;
      ValueSink members;
      for (const FieldDef& member : type.members()) {
        QUARN_ASSIGN_OR_RETURN(RowValue v, decode_value(reader, member.type, budget, members));
        row.insert_or_assign(member.path.first(), std::move(v));
      }
      return sink.object(std::move(row), budget);
    }
    case Type::Kind::Enum:
      return sink.scalar(reader, Type(Type::Kind::String));
    default:
      return mismatch();
  }
}

}  // namespace

bool RowValue::Object::operator==(const Object& other) const { return *row == *other.row; }

RowValue::RowValue(const ScalarValue& scalar)
    : value_(std::visit([](const auto& a) -> Variant { return a; }, scalar.value())) {}

RowValue RowValue::object(Row row) {
  return RowValue(Object{std::make_shared<const Row>(std::move(row))});
}

const Row* RowValue::as_object() const {
  const auto* object = std::get_if<Object>(&value_);
  return object == nullptr ? nullptr : object->row.get();
}

std::optional<ScalarValue> RowValue::as_scalar() const {
  return std::visit(
      [](const auto& a) -> std::optional<ScalarValue> {
        using A = std::decay_t<decltype(a)>;
        if constexpr (AlternativeOf<A, ScalarValue::Variant>) {
          return ScalarValue(a);
        } else {
          return std::nullopt;
        }
      },
      value_);
}

Result<ScalarValue> RowValue::into_scalar() const {
  std::optional<ScalarValue> scalar = as_scalar();
  if (!scalar) return mismatch();
  return std::move(*scalar);
}

bool RowValue::operator==(const RowValue& other) const {
  if (value_.index() != other.value_.index()) return false;
  return std::visit(
      [&](const auto& a) -> bool {
        using A = std::decay_t<decltype(a)>;
        const A& b = std::get<A>(other.value_);
        if constexpr (AlternativeOf<A, ScalarValue::Variant>) {
          return a.value == b.value;  // Float64: IEEE equality
        } else {
          return a == b;
        }
      },
      value_);
}

Status encode_row_value(Bytes& out, const RowValue& value, const Type& type) {
  // Encoded from its image, so that there is one writer of the format.
  Bytes image;
  append_packed_value(image, value);
  return encode_row_value(out, ValueView(image.data()), type);
}

Status encode_row_value(Bytes& out, ValueView value, const Type& type) {
  ZeroByteBudget budget;
  return encode_value(out, value, type, budget);
}

Result<RowValue> decode_row_value(record::scalar::Cursor& reader, const Type& type) {
  ZeroByteBudget budget;
  ValueSink sink;
  return decode_value(reader, type, budget, sink);
}

Status decode_row_value_packed(record::scalar::Cursor& reader, const Type& type, Bytes& out) {
  ZeroByteBudget budget;
  ImageSink sink{out};
  return decode_value(reader, type, budget, sink);
}

std::vector<const FieldDef*> non_pk_defs_in_order(const std::vector<FieldDef>& fields,
                                                  const std::string& primary) {
  std::vector<const FieldDef*> out;
  for (const FieldDef& def : fields) {
    if (def.path.is_top_level() && def.path.first() != primary) out.push_back(&def);
  }
  return out;
}

}  // namespace quarn
