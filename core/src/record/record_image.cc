// Row records straight to row images. The reading below accepts only what the general decoders
// (record/payload_v1.cc, record/row_value.cc, record/scalar.cc) accept, and writes the image
// through the same packed_build pieces in the same order, so that the two cannot disagree on
// any payload this one takes; on anything else it declines and the general decoder decides.
#include "record/record_image.h"

#include <algorithm>
#include <bit>
#include <numeric>
#include <optional>
#include <span>

#include "record/packed_row.h"
#include "record/payload.h"

namespace quarn {
namespace {

// Where one value field's value lies in the payload; nothing present for a null.
struct ValueAt {
  bool present;
  std::size_t at;
  std::size_t size;
};

// Bounds-checked reads over a payload; every miss makes the decode decline.
struct Reader {
  ByteSpan bytes;
  std::size_t at = 0;

  bool has(std::size_t n) const { return bytes.size() - at >= n; }
  std::uint8_t u8() { return bytes[at++]; }
  std::uint32_t u32() {
    const auto v = static_cast<std::uint32_t>(load_le(bytes, at, 4));
    at += 4;
    return v;
  }
};

// The value of a primitive of kind `kind` after its tag: where its bytes are, if well formed.
bool read_primitive(Reader& in, Type::Kind kind, ValueAt& out) {
  if (!in.has(1) || in.u8() != static_cast<std::uint8_t>(kind)) return false;
  std::size_t size = 0;
  switch (kind) {
    case Type::Kind::Bool:
      size = 1;
      break;
    case Type::Kind::Int64:
    case Type::Kind::Uint64:
    case Type::Kind::Float64:
    case Type::Kind::Timestamp:
      size = 8;
      break;
    case Type::Kind::String:
    case Type::Kind::Bytes:
      if (!in.has(4)) return false;
      size = in.u32();
      break;
    case Type::Kind::Uuid:
      size = 16;
      break;
    default:
      return false;
  }
  if (!in.has(size)) return false;
  out = ValueAt{true, in.at, size};
  in.at += size;
  return kind != Type::Kind::String || is_valid_utf8(in.bytes.subspan(out.at, out.size));
}

}  // namespace

std::optional<RecordImagePlan> RecordImagePlan::make(const std::string& primary,
                                                     const FieldDef& primary_def,
                                                     const std::vector<FieldDef>& fields) {
  if (!primary_def.type.is_primitive()) return std::nullopt;
  RecordImagePlan plan;
  plan.pk_type_ = primary_def.type;
  std::vector<const std::string*> names;
  auto add = [&](const std::string& name, Type::Kind kind, bool optional) {
    const std::size_t at = plan.names_.size();
    packed_build::name(plan.names_, name);
    plan.fields_.push_back(Field{kind, optional, static_cast<std::uint32_t>(at),
                                 static_cast<std::uint32_t>(plan.names_.size() - at)});
    names.push_back(&name);
  };
  for (const FieldDef& def : fields) {
    if (!def.path.is_top_level()) return std::nullopt;
    if (def.path.first() == primary) continue;
    const Type* type = &def.type;
    const bool optional = type->kind() == Type::Kind::Optional;
    if (optional) type = &type->inner();
    if (type->kind() == Type::Kind::Enum) {
      add(def.path.first(), Type::Kind::String, optional);
    } else if (type->is_primitive()) {
      add(def.path.first(), type->kind(), optional);
    } else {
      return std::nullopt;
    }
  }
  add(primary, primary_def.type.kind(), false);

  // By name, then listing: of a name listed twice the later listing comes last and wins.
  std::vector<std::uint32_t> order(plan.fields_.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return *names[a] < *names[b]; });
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + 1 < order.size() && *names[order[i]] == *names[order[i + 1]]) continue;
    plan.image_order_.push_back(order[i]);
  }
  packed_build::count(plan.count_, plan.image_order_.size());
  return plan;
}

bool RecordImagePlan::decode(ByteSpan payload, DecodedRecordImage& out) const {
  Reader in{payload};
  if (!in.has(11) || load_le(payload, 0, 2) != kRecordPayloadV2) return false;
  in.at = 2;
  out.collection_id = in.u32();
  out.schema_version = in.u32();
  out.op = in.u8();
  if (out.op == static_cast<std::uint8_t>(RecordOp::Delete)) return false;

  // A key's canonical bytes are its stored bytes, but for a bool's: that one is read as the
  // general decoder reads it, so that its canonical bytes come from ScalarValue alone.
  std::optional<ScalarValue> bool_pk;
  if (pk_type_.kind() == Type::Kind::Bool) {
    record::scalar::Cursor key_reader(payload, in.at);
    Result<ScalarValue> pk = decode_tagged_scalar(key_reader, pk_type_);
    if (!pk.ok()) return false;
    bool_pk = std::move(pk).value();
  }
  ValueAt pk_at;
  if (!read_primitive(in, pk_type_.kind(), pk_at)) return false;
  // Bounded by the field count of the definition, which make() saw.
  thread_local std::vector<ValueAt> values;
  const std::size_t value_count = fields_.size() - 1;
  values.resize(value_count);
  if (!in.has(4) || in.u32() != value_count) return false;
  for (std::size_t i = 0; i < value_count; ++i) {
    const Field& field = fields_[i];
    if (field.optional) {
      if (!in.has(1)) return false;
      const std::uint8_t flag = in.u8();
      if (flag == 0) {
        values[i] = ValueAt{false, 0, 0};
        continue;
      }
      if (flag != 1) return false;
    }
    if (!read_primitive(in, field.kind, values[i])) return false;
  }
  if (in.at != payload.size()) return false;

  out.key.clear();
  if (bool_pk) {
    bool_pk->append_canonical_key_bytes(out.key);
  } else {
    const ByteSpan key = payload.subspan(pk_at.at, pk_at.size);
    out.key.assign(key.begin(), key.end());
  }
  // Sized once, then filled in place.
  std::size_t size = count_.size();
  for (const std::uint32_t i : image_order_) {
    const Field& field = fields_[i];
    const ValueAt& value = i == value_count ? pk_at : values[i];
    size += field.name_size + (value.present ? packed_build::primitive_size(field.kind, value.size)
                                             : packed_build::kNullSize);
  }
  out.image.resize(size);
  std::uint8_t* at = out.image.data();
  at = std::copy(count_.begin(), count_.end(), at);
  for (const std::uint32_t i : image_order_) {
    const Field& field = fields_[i];
    const ValueAt& value = i == value_count ? pk_at : values[i];
    at = std::copy_n(names_.begin() + field.name_at, field.name_size, at);
    if (value.present) {
      at = packed_build::put_primitive(at, field.kind, payload.subspan(value.at, value.size));
    } else {
      at = packed_build::put_null(at);
    }
  }
  QUARN_CHECK(at == out.image.data() + out.image.size(), "record image sized as written");
  return true;
}

}  // namespace quarn
