// Records straight to row images: on every payload the plan takes, it gives what the general
// decoder gives, and it takes every well-formed one of its shapes.
#include "record/record_image.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "record/payload_v2.h"
#include "testing/matchers.h"
#include "testing/rows.h"

namespace quarn {
namespace {

using ::quarn::testing::def;
using K = Type::Kind;

struct Shape {
  const char* name;
  std::string primary;
  std::vector<FieldDef> fields;
};

Type enum_of(std::vector<std::string> values) { return Type::enumeration(std::move(values)); }

std::vector<Shape> shapes() {
  return {
      {"RowsOfTheBenchmarks",
       "id",
       {def("id", Type(K::Int64)), def("name", Type(K::String)), def("ival", Type(K::Int64)),
        def("fval", Type(K::Float64)), def("blob", Type(K::Bytes))}},
      {"EveryPrimitiveOptionalAndEnum",
       "key",
       {def("b", Type(K::Bool)), def("u", Type(K::Uint64)), def("key", Type(K::String)),
        def("t", Type(K::Timestamp)), def("id", Type(K::Uuid)),
        def("maybe", Type::optional(Type(K::Int64))), def("colour", enum_of({"red", "blue"})),
        def("shade", Type::optional(enum_of({"dark"}))), def("a", Type(K::Float64))}},
      // A name listed twice: the later listing is the one the image keeps.
      {"ANameListedTwice",
       "pk",
       {def("x", Type(K::Int64)), def("pk", Type(K::Bool)), def("x", Type(K::String))}},
      {"KeyAlone", "k", {def("k", Type(K::Uuid))}},
      // Keys whose canonical bytes are their stored bytes, of the kinds not keyed above.
      {"FloatKey", "f", {def("f", Type(K::Float64)), def("x", Type(K::Int64))}},
      {"BytesKey", "k", {def("k", Type(K::Bytes))}},
      {"TimestampKey", "t", {def("t", Type(K::Timestamp))}},
      {"Uint64Key", "u", {def("u", Type(K::Uint64))}},
  };
}

// A random value of the field's type; an optional is null half the time.
RowValue random_value(const Type& type, std::mt19937_64& rng) {
  switch (type.kind()) {
    case K::Bool:
      return RowValue(ScalarValue::Bool{(rng() & 1) != 0});
    case K::Int64:
      return RowValue(ScalarValue::Int64{static_cast<std::int64_t>(rng())});
    case K::Uint64:
      return RowValue(ScalarValue::Uint64{rng()});
    case K::Float64:
      return RowValue(ScalarValue::Float64{static_cast<double>(rng() % 100000) / 7.0});
    case K::Timestamp:
      return RowValue(ScalarValue::Timestamp{static_cast<std::int64_t>(rng() % 1000000)});
    case K::String:
      return RowValue(ScalarValue::String{std::string(rng() % 12, 'a') + "\xc3\xa9"});
    case K::Bytes:
      return RowValue(ScalarValue::Bytes{Bytes(rng() % 20, static_cast<std::uint8_t>(rng()))});
    case K::Uuid: {
      ScalarValue::Uuid uuid{};
      for (auto& b : uuid.value) b = static_cast<std::uint8_t>(rng());
      return RowValue(uuid);
    }
    case K::Optional:
      return (rng() & 1) != 0 ? RowValue() : random_value(type.inner(), rng);
    case K::Enum:
      return RowValue(ScalarValue::String{type.variants()[rng() % type.variants().size()]});
    default:
      ADD_FAILURE() << "no random value for this type";
      return RowValue();
  }
}

// A well-formed payload of the shape, with a random operation other than a delete.
Bytes random_payload(const Shape& shape, std::mt19937_64& rng) {
  const FieldDef* primary_def = nullptr;
  std::vector<RecordFieldValue> values;
  for (const FieldDef& f : shape.fields) {
    if (f.path.first() == shape.primary) {
      if (primary_def == nullptr) primary_def = &f;
      continue;
    }
    values.emplace_back(&f, random_value(f.type, rng));
  }
  const std::optional<ScalarValue> pk = random_value(primary_def->type, rng).as_scalar();
  return encode_record_payload_v2_op(7, 3, static_cast<std::uint8_t>(1 + rng() % 2), *pk,
                                     primary_def->type, values)
      .value();
}

class RecordImageTest : public ::testing::TestWithParam<Shape> {
 protected:
  const FieldDef& primary_def() const {
    for (const FieldDef& f : GetParam().fields) {
      if (f.path.first() == GetParam().primary) return f;
    }
    return GetParam().fields.front();
  }
  // Both decoders on payload: the plan may decline, but what it takes it gives as the general
  // decoder does, and a payload the general decoder refuses it never takes.
  void expect_agreement(const RecordImagePlan& plan, ByteSpan payload) {
    DecodedRecordImage fast;
    const bool taken = plan.decode(payload, fast);
    const Result<PackedRecordPayload> general =
        decode_record_payload_packed(payload, GetParam().primary, primary_def(), GetParam().fields);
    if (!taken) return;
    ASSERT_THAT(general, testing::IsOk());
    EXPECT_EQ(fast.collection_id, general.value().collection_id);
    EXPECT_EQ(fast.schema_version, general.value().schema_version);
    EXPECT_EQ(fast.op, general.value().op);
    EXPECT_EQ(fast.key, general.value().pk.canonical_key_bytes());
    EXPECT_EQ(fast.image, general.value().image);
  }
};

TEST_P(RecordImageTest, TakesEveryWellFormedPayloadAndAgreesOnEveryMutation) {
  const std::optional<RecordImagePlan> plan =
      RecordImagePlan::make(GetParam().primary, primary_def(), GetParam().fields);
  ASSERT_TRUE(plan.has_value());
  std::mt19937_64 rng(20261211);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    const Bytes payload = random_payload(GetParam(), rng);
    DecodedRecordImage fast;
    ASSERT_TRUE(plan->decode(payload, fast));
    expect_agreement(*plan, payload);
    // Cut short, lengthened, and every byte changed in turn.
    for (std::size_t cut = 0; cut < payload.size(); cut += 1 + payload.size() / 16) {
      expect_agreement(*plan, ByteSpan(payload).first(cut));
    }
    Bytes longer = payload;
    longer.push_back(0);
    expect_agreement(*plan, longer);
    for (std::size_t at = 0; at < payload.size(); ++at) {
      Bytes changed = payload;
      changed[at] = static_cast<std::uint8_t>(changed[at] ^ (1u << (rng() % 8)));
      expect_agreement(*plan, changed);
      changed[at] = static_cast<std::uint8_t>(rng());
      expect_agreement(*plan, changed);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, RecordImageTest, ::testing::ValuesIn(shapes()),
                         [](const ::testing::TestParamInfo<Shape>& param) {
                           return std::string(param.param.name);
                         });

TEST(RecordImagePlanTest, OtherShapesHaveNoPlan) {
  const FieldDef id = def("id", Type(K::Int64));
  for (const FieldDef& other :
       {def("tags", Type::list(Type(K::String))), def("maybe", Type::optional(Type::list(id.type))),
        def("nested", Type::optional(Type::optional(Type(K::Int64)))),
        testing::def_at({"a", "b"}, Type(K::Int64))}) {
    EXPECT_FALSE(RecordImagePlan::make("id", id, {id, other}).has_value());
  }
  const FieldDef list_key = def("id", Type::list(Type(K::Int64)));
  EXPECT_FALSE(RecordImagePlan::make("id", list_key, {list_key}).has_value());
}

TEST(RecordImagePlanTest, DeclinesDeletesAndVersionOne) {
  const std::vector<FieldDef> fields = {def("id", Type(K::Int64))};
  const std::optional<RecordImagePlan> plan = RecordImagePlan::make("id", fields[0], fields);
  ASSERT_TRUE(plan.has_value());
  DecodedRecordImage out;
  Bytes deleted =
      encode_record_payload_v2_op(1, 1, 3, ScalarValue::Int64{4}, fields[0].type, {}).value();
  EXPECT_FALSE(plan->decode(deleted, out));
  Bytes v1 =
      encode_record_payload_v2_op(1, 1, 1, ScalarValue::Int64{4}, fields[0].type, {}).value();
  v1[0] = 1;
  EXPECT_TRUE(decode_record_payload_packed(v1, "id", fields[0], fields).ok());
  EXPECT_FALSE(plan->decode(v1, out));
}

}  // namespace
}  // namespace quarn
