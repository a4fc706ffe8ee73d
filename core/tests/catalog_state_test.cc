// Tests of the in-memory catalog: rule order, untouched state on refusal, name trimming,
// listing orders, independent copies and the id and version limits.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "catalog/state.h"
#include "testing/matchers.h"
#include "testing/rows.h"

namespace quarn::testing {

// Reaches the limits that would otherwise take four billion entries.
struct CatalogTestPeer {
  static void set_next_id(Catalog& catalog, std::uint64_t next) {
    catalog.own_state().next_id = next;
  }
  static void set_schema_version(Catalog& catalog, std::uint32_t id, std::uint32_t version) {
    std::shared_ptr<const CollectionInfo>& slot = catalog.own_state().by_id.at(id);
    CollectionInfo info = *slot;
    info.schema_version = version;
    slot = std::make_shared<const CollectionInfo>(std::move(info));
  }
};

}  // namespace quarn::testing

namespace quarn {
namespace {

using ::quarn::testing::CatalogTestPeer;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::path;
using ::testing::ElementsAre;
using ::testing::Optional;

// Int64 fields at the given paths.
std::vector<FieldDef> fields(std::vector<std::vector<std::string>> paths,
                             Type::Kind kind = Type::Kind::Int64) {
  std::vector<FieldDef> out;
  for (auto& p : paths) out.push_back(FieldDef{path(std::move(p)), Type(kind), {}});
  return out;
}

CatalogRecordWire create(std::uint32_t id, std::string name,
                         std::optional<std::string> primary = "id", std::uint32_t version = 1,
                         std::vector<FieldDef> defs = fields({{"id"}, {"name"}})) {
  return CatalogRecordWire::CreateCollection{id, std::move(name),   version, std::move(defs),
                                             {}, std::move(primary)};
}

CatalogRecordWire next_version(std::uint32_t id, std::uint32_t version,
                               std::vector<FieldDef> defs = fields({{"id"}, {"name"}, {"x"}})) {
  return CatalogRecordWire::NewSchemaVersion{id, version, std::move(defs), {}};
}

std::vector<std::uint32_t> ids_of(const Catalog& catalog) {
  std::vector<std::uint32_t> ids;
  for (const CollectionInfo& info : catalog.collections()) ids.push_back(info.collection_id);
  return ids;
}

TEST(CatalogTest, EmptyCatalogTestsVersionBeforeId) {
  Catalog catalog;
  EXPECT_EQ(catalog.next_id(), 1u);
  EXPECT_THAT(catalog.apply_record(create(2, "users")),
              ErrorRenders("schema error: unexpected collection id in catalog replay: expected 1, "
                           "got 2"));
  EXPECT_THAT(catalog.apply_record(create(2, "users", "id", 2)),
              ErrorRenders("schema error: invalid schema version: expected 1, got 2"));
  EXPECT_TRUE(catalog.collections().empty());
  EXPECT_EQ(catalog.get(1), nullptr);
}

struct RuleCase {
  const char* name;
  CatalogRecordWire entry;
  std::string expected;
};

std::vector<RuleCase> creation_cases() {
  std::vector<RuleCase> c;
  c.push_back({"Name1024BeforeVersionAndId", create(9, std::string(1024, 'n'), "id", 2),
               "schema error: invalid collection name"});
  c.push_back(
      {"EmptyNameBeforeVersion", create(9, "", "id", 5), "schema error: invalid collection name"});
  c.push_back({"VersionBeforeId", create(9, "orders", "id", 2),
               "schema error: invalid schema version: expected 1, got 2"});
  c.push_back({"IdNotNext", create(3, "orders"),
               "schema error: unexpected collection id in catalog replay: expected 2, got 3"});
  c.push_back({"IdBeforeDuplicate", create(1, "users"),
               "schema error: unexpected collection id in catalog replay: expected 2, got 1"});
  c.push_back({"DuplicateBeforePrimary", create(2, "users", "missing"),
               "schema error: duplicate collection name: \"users\""});
  c.push_back({"PrimaryOnlyNested",
               create(2, "orders", "id", 1, fields({{"a", "id"}, {"id", "a"}})),
               "schema error: primary field \"id\" not found as a top-level field"});
  return c;
}

class CatalogCreationTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(CatalogCreationTest, RefusesInOrderAndChangesNothing) {
  Catalog catalog;
  ASSERT_OK(catalog.apply_record(create(1, "users")));
  EXPECT_THAT(catalog.check_record(GetParam().entry), ErrorRenders(GetParam().expected));
  EXPECT_THAT(catalog.apply_record(GetParam().entry), ErrorRenders(GetParam().expected));
  EXPECT_EQ(catalog.next_id(), 2u);
  EXPECT_THAT(catalog.collection_names(), ElementsAre("users"));
  EXPECT_THAT(ids_of(catalog), ElementsAre(1u));
}

INSTANTIATE_TEST_SUITE_P(Rules, CatalogCreationTest, ::testing::ValuesIn(creation_cases()),
                         [](const ::testing::TestParamInfo<RuleCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(CatalogTest, CreationStoresEntryUnchanged) {
  Catalog catalog;
  ASSERT_OK(catalog.apply_record(create(1, " users")));
  // Without a primary field any fields pass, nested ones included.
  ASSERT_OK(catalog.apply_record(create(2, "legacy", std::nullopt, 1, fields({{"a", "b"}}))));
  EXPECT_EQ(catalog.next_id(), 3u);

  const CollectionInfo* users = catalog.get(1);
  ASSERT_NE(users, nullptr);
  EXPECT_EQ(users->name, " users");
  EXPECT_EQ(users->fields, fields({{"id"}, {"name"}}));
  EXPECT_EQ(users->primary_field, "id");
  EXPECT_EQ(users->collection_id, 1u);
  EXPECT_EQ(users->schema_version, 1u);
  EXPECT_EQ(catalog.get(2)->primary_field, std::nullopt);
  // Stored untrimmed, so a lookup (which trims what it is asked) cannot reach it.
  EXPECT_EQ(catalog.lookup_name("users"), std::nullopt);
  EXPECT_EQ(catalog.lookup_name(" users"), std::nullopt);
  EXPECT_THAT(catalog.lookup_name("legacy"), Optional(CollectionId{2}));
  EXPECT_EQ(catalog.get(3), nullptr);
}

std::vector<RuleCase> version_cases() {
  std::vector<RuleCase> c;
  c.push_back({"UnknownId", next_version(9, 2), "schema error: unknown collection id 9"});
  c.push_back(
      {"UnknownIdBeforeVersion", next_version(9, 7, {}), "schema error: unknown collection id 9"});
  c.push_back({"VersionSkipped", next_version(1, 3),
               "schema error: invalid schema version: expected 2, got 3"});
  c.push_back({"VersionRepeated", next_version(1, 1),
               "schema error: invalid schema version: expected 2, got 1"});
  c.push_back({"VersionBeforePrimary", next_version(1, 3, fields({{"name"}})),
               "schema error: invalid schema version: expected 2, got 3"});
  c.push_back({"DropsPrimary", next_version(1, 2, fields({{"name"}, {"x", "id"}})),
               "schema error: schema update must retain top-level primary field \"id\""});
  return c;
}

class CatalogNewVersionTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(CatalogNewVersionTest, RefusesInOrderAndKeepsOldDefinition) {
  Catalog catalog;
  ASSERT_OK(catalog.apply_record(create(1, "users")));
  EXPECT_THAT(catalog.apply_record(GetParam().entry), ErrorRenders(GetParam().expected));
  const CollectionInfo* users = catalog.get(1);
  ASSERT_NE(users, nullptr);
  EXPECT_EQ(users->schema_version, 1u);
  EXPECT_EQ(users->fields, fields({{"id"}, {"name"}}));
}

INSTANTIATE_TEST_SUITE_P(Rules, CatalogNewVersionTest, ::testing::ValuesIn(version_cases()),
                         [](const ::testing::TestParamInfo<RuleCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(CatalogTest, NewVersionReplacesDefinitionsOnly) {
  Catalog catalog;
  ASSERT_OK(catalog.apply_record(create(1, "users")));
  ASSERT_OK(catalog.apply_record(create(2, "legacy", std::nullopt)));

  // The primary field may change its type here; classification is not the catalog's job.
  std::vector<IndexDef> indexes;
  indexes.push_back(IndexDef{"by_id", path({"id"}), IndexKind::Unique});
  ASSERT_OK(catalog.apply_record(
      CatalogRecordWire::NewSchemaVersion{1, 2, fields({{"id"}}, Type::Kind::String), indexes}));
  const CollectionInfo* users = catalog.get(1);
  EXPECT_EQ(users->schema_version, 2u);
  EXPECT_EQ(users->fields, fields({{"id"}}, Type::Kind::String));
  EXPECT_EQ(users->indexes, indexes);
  EXPECT_EQ(users->name, "users");
  EXPECT_EQ(users->primary_field, "id");
  EXPECT_EQ(users->collection_id, 1u);

  ASSERT_OK(catalog.apply_record(next_version(1, 3, fields({{"id"}}))));
  EXPECT_TRUE(catalog.get(1)->indexes.empty());
  EXPECT_EQ(catalog.get(1)->schema_version, 3u);

  // A collection without a primary field takes any fields.
  ASSERT_OK(catalog.apply_record(next_version(2, 2, fields({{"a", "b"}}))));
  EXPECT_EQ(catalog.get(2)->schema_version, 2u);
  EXPECT_EQ(catalog.next_id(), 3u);
}

TEST(CatalogTest, LookupNameTrimsUnicodeWhiteSpace) {
  Catalog catalog;
  ASSERT_OK(catalog.apply_record(create(1, "users")));
  ASSERT_OK(catalog.apply_record(create(2, "two words")));

  const std::vector<std::string> white_space = {
      "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00A0", "\u1680",
      "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
      "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};
  for (const std::string& ws : white_space) {
    EXPECT_THAT(catalog.lookup_name(ws + "users" + ws), Optional(CollectionId{1})) << ws;
  }
  EXPECT_THAT(catalog.lookup_name(" \u3000\n users\r\n\u2029"), Optional(CollectionId{1}));
  EXPECT_THAT(catalog.lookup_name("\ttwo words "), Optional(CollectionId{2}));
  EXPECT_EQ(trim_white_space("\u00A0a b\u3000"), "a b");

  const std::vector<std::string> missing = {
      "Users", "us ers", "twowords", "two  words", "", " ", "\u3000",
      // Not White_Space: zero-width space, Mongolian vowel separator, byte-order mark.
      "\u200Busers", "users\u180E", "\uFEFFusers"};
  for (const std::string& name : missing)
    EXPECT_EQ(catalog.lookup_name(name), std::nullopt) << name;
  EXPECT_EQ(Catalog().lookup_name("users"), std::nullopt);
}

TEST(CatalogTest, ListsNamesInByteOrderAndCollectionsInIdOrder) {
  Catalog catalog;
  const std::vector<std::string> names = {"b", "a", "ab", "B", "\xC3\xA9", "Z", "a b"};
  std::uint32_t id = 1;
  for (const std::string& name : names) ASSERT_OK(catalog.apply_record(create(id++, name)));
  EXPECT_THAT(catalog.collection_names(), ElementsAre("B", "Z", "a", "a b", "ab", "b", "\xC3\xA9"));

  for (int i = 0; i < 60; ++i) {
    ASSERT_OK(catalog.apply_record(create(id++, "n" + std::to_string(1000 - i))));
  }
  std::vector<std::uint32_t> expected;
  for (std::uint32_t i = 1; i < id; ++i) expected.push_back(i);
  EXPECT_EQ(ids_of(catalog), expected);
  EXPECT_EQ(catalog.collections()[3].name, "B");
}

TEST(CatalogTest, HasTopLevelFieldWantsOneSegment) {
  const std::vector<FieldDef> defs = fields({{"a", "id"}, {"id", "x"}, {"ID"}, {"name"}});
  EXPECT_FALSE(Catalog::has_top_level_field(defs, "id"));
  EXPECT_TRUE(Catalog::has_top_level_field(defs, "name"));
  EXPECT_TRUE(Catalog::has_top_level_field(defs, "ID"));
  EXPECT_FALSE(Catalog::has_top_level_field(defs, "a"));
  EXPECT_FALSE(Catalog::has_top_level_field({}, "id"));
}

TEST(CatalogTest, CopiesAreIndependent) {
  Catalog committed;
  ASSERT_OK(committed.apply_record(create(1, "users")));
  const CollectionInfo* before = committed.get(1);

  Catalog staged = committed;
  ASSERT_OK(staged.apply_record(next_version(1, 2)));
  ASSERT_OK(staged.apply_record(create(2, "orders")));
  EXPECT_EQ(staged.get(1)->schema_version, 2u);
  EXPECT_EQ(staged.next_id(), 3u);

  // The committed catalog, and what it handed out, are untouched.
  EXPECT_EQ(committed.get(1), before);
  EXPECT_EQ(before->schema_version, 1u);
  EXPECT_EQ(before->fields, fields({{"id"}, {"name"}}));
  EXPECT_EQ(committed.next_id(), 2u);
  EXPECT_EQ(committed.lookup_name("orders"), std::nullopt);
  EXPECT_THAT(committed.collection_names(), ElementsAre("users"));

  // Nor does a change to the original reach the copy.
  ASSERT_OK(committed.apply_record(create(2, "other")));
  EXPECT_EQ(staged.lookup_name("other"), std::nullopt);
  EXPECT_THAT(staged.collection_names(), ElementsAre("orders", "users"));
}

TEST(CatalogTest, RefusesCreationOnceLastIdIsTaken) {
  Catalog catalog;
  CatalogTestPeer::set_next_id(catalog, UINT32_MAX);
  ASSERT_OK(catalog.apply_record(create(UINT32_MAX, "last")));
  EXPECT_EQ(catalog.next_id(), UINT32_MAX);

  // The saturated next id would let this one overwrite collection 4294967295.
  const std::string refused =
      "schema error: incompatible schema change: collection id limit reached (cannot create "
      "further collections)";
  EXPECT_THAT(catalog.check_record(create(UINT32_MAX, "more")), ErrorRenders(refused));
  EXPECT_THAT(catalog.apply_record(create(UINT32_MAX, "more")), ErrorRenders(refused));
  EXPECT_THAT(catalog.apply_record(create(0, "more")), ErrorRenders(refused));
  // The earlier rules still come first.
  EXPECT_THAT(catalog.apply_record(create(UINT32_MAX, "more", "id", 2)),
              ErrorRenders("schema error: invalid schema version: expected 1, got 2"));

  EXPECT_EQ(catalog.get(UINT32_MAX)->name, "last");
  EXPECT_THAT(catalog.collection_names(), ElementsAre("last"));
  // Its versions still go on.
  EXPECT_OK(catalog.apply_record(next_version(UINT32_MAX, 2)));
}

TEST(CatalogTest, RefusesVersionPastTheLast) {
  Catalog catalog;
  ASSERT_OK(catalog.apply_record(create(1, "users")));
  CatalogTestPeer::set_schema_version(catalog, 1, UINT32_MAX - 1);
  ASSERT_OK(catalog.apply_record(next_version(1, UINT32_MAX)));

  // current + 1 saturates to current: a second definition under one version number.
  EXPECT_THAT(catalog.apply_record(next_version(1, UINT32_MAX, fields({{"id"}}))),
              ErrorRenders("schema error: schema version limit reached (cannot bump further)"));
  EXPECT_EQ(catalog.get(1)->fields, fields({{"id"}, {"name"}, {"x"}}));
}

}  // namespace
}  // namespace quarn
