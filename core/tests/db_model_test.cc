// A reference model shadows seeded random runs of inserts, deletes, transactions, rollbacks
// and reopens through snapshot bytes; rows and unique-index owners are compared every step.
// A second model runs the same kind of history over thousands of rows in two collections, with
// failed commits, so that a transaction's state shares most of the committed state.
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/database.h"
#include "query/operators.h"
#include "testing/db.h"
#include "testing/db_state.h"
#include "testing/fault_store.h"
#include "testing/matchers.h"

namespace quarn::testing {
namespace {

constexpr std::int64_t kKeys = 8;
constexpr int kValues = 6;

// Rows by key and the owner of each unique value, committed and staged.
class Model {
 public:
  struct State {
    std::map<std::int64_t, Row> rows;
    std::map<std::string, std::int64_t> emails;
    std::map<std::string, std::int64_t> nicks;
  };

  const State& working() const { return staged_ ? *staged_ : committed_; }
  bool in_transaction() const { return staged_.has_value(); }

  // False, changing nothing, when a unique value belongs to another key.
  bool insert(std::int64_t id, const std::string& email, const std::optional<std::string>& nick) {
    State& s = working_mut();
    if (taken_by_other(s.emails, email, id)) return false;
    if (nick && taken_by_other(s.nicks, *nick, id)) return false;
    erase(id);
    s.emails[email] = id;
    if (nick) s.nicks[*nick] = id;
    s.rows[id] = nick ? user(id, email, *nick) : stored_user(id, email);
    return true;
  }

  void erase(std::int64_t id) {
    State& s = working_mut();
    auto it = s.rows.find(id);
    if (it == s.rows.end()) return;
    s.emails.erase(std::get<ScalarValue::String>(it->second.at("email").value()).value);
    if (const auto* nick = std::get_if<ScalarValue::String>(&it->second.at("nick").value())) {
      s.nicks.erase(nick->value);
    }
    s.rows.erase(it);
  }

  void begin() { staged_ = committed_; }
  void commit() {
    committed_ = std::move(*staged_);
    staged_.reset();
  }
  void rollback() { staged_.reset(); }

 private:
  static bool taken_by_other(const std::map<std::string, std::int64_t>& owners,
                             const std::string& value, std::int64_t id) {
    auto it = owners.find(value);
    return it != owners.end() && it->second != id;
  }
  State& working_mut() { return staged_ ? *staged_ : committed_; }

  State committed_;
  std::optional<State> staged_;
};

void expect_same(const MemDb& db, const Model& model) {
  const Model::State& s = model.working();
  ASSERT_EQ(db.in_transaction(), model.in_transaction());
  for (std::int64_t id = 0; id < kKeys; ++id) {
    auto it = s.rows.find(id);
    const std::optional<Row> expected =
        it == s.rows.end() ? std::nullopt : std::optional<Row>(it->second);
    ASSERT_THAT(db.get(1, s_i64(id)), IsOkAndHolds(expected)) << "key " << id;
  }
  for (int v = 0; v < kValues; ++v) {
    for (const auto& [index, owners] :
         {std::pair{"by_email", &s.emails}, std::pair{"by_nick", &s.nicks}}) {
      const std::string value = "v" + std::to_string(v);
      auto it = owners->find(value);
      const std::optional<Bytes> expected =
          it == owners->end() ? std::nullopt
                              : std::optional<Bytes>(s_i64(it->second).canonical_key_bytes());
      ASSERT_EQ(unique_owner(testing::indexes_of(db), 1, index, value), expected)
          << index << " " << value;
    }
  }
}

void run(std::uint64_t seed, int steps) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
  MemDb db = MemDb::open_in_memory().value();
  ASSERT_OK(db.register_collection_with_indexes("users", user_fields(), user_indexes(), "id"));
  Model model;

  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const int op = pick(20);
    const std::int64_t id = pick(static_cast<int>(kKeys));
    if (op < 9) {
      const std::string email = "v" + std::to_string(pick(kValues));
      std::optional<std::string> nick;
      if (pick(3) == 0) nick = "v" + std::to_string(pick(kValues));
      const Row row = nick ? user(id, email, *nick) : user(id, email);
      if (model.insert(id, email, nick)) {
        ASSERT_OK(db.insert(1, row));
      } else {
        ASSERT_THAT(db.insert(1, row), ErrorRenders("schema error: unique index violation"));
      }
    } else if (op < 13) {
      model.erase(id);
      ASSERT_OK(db.delete_row(1, s_i64(id)));
    } else if (op < 15) {
      if (model.in_transaction()) {
        ASSERT_THAT(db.begin_transaction(),
                    ErrorRenders("transaction error: nested transactions are not supported"));
      } else {
        model.begin();
        ASSERT_OK(db.begin_transaction());
      }
    } else if (op < 17) {
      if (model.in_transaction()) model.commit();
      ASSERT_OK(db.commit_txn_staging());
    } else if (op < 18) {
      model.rollback();
      db.rollback_transaction();
    } else {
      // A reopen drops an open transaction: nothing of it was written.
      model.rollback();
      db = MemDb::from_snapshot_bytes(db.snapshot_bytes()).value();
    }
    expect_same(db, model);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(ModelTest, RandomRunsMatchTheModel) {
  for (std::uint64_t seed = 1; seed <= 24; ++seed) {
    run(seed, 250);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

using FaultDb = Database<FaultStore>;

constexpr std::uint32_t kUsers = 1;
constexpr std::uint32_t kItems = 2;
constexpr int kBigKeys = 2400;
constexpr int kPreloaded = 2000;

// items: id Int64 primary, tag String (by_tag, non-unique), code Int64 (by_code, unique).
std::vector<FieldDef> item_fields() {
  return {def("id", ty(Type::Kind::Int64)), def("tag", ty(Type::Kind::String)),
          def("code", ty(Type::Kind::Int64))};
}
std::vector<IndexDef> item_indexes() {
  return {index_def("by_tag", {"tag"}, IndexKind::NonUnique), index_def("by_code", {"code"})};
}
Row item(std::int64_t id, const std::string& tag, std::int64_t code) {
  return Row{{"id", i64(id)}, {"tag", str(tag)}, {"code", i64(code)}};
}
Bytes key_of(std::int64_t id) { return s_i64(id).canonical_key_bytes(); }
Bytes text_key(const std::string& text) { return s_str(text).canonical_key_bytes(); }

// Both collections' rows and the owners of their index keys.
struct BigState {
  std::map<std::int64_t, Row> users;
  std::map<std::string, std::int64_t> emails;
  std::map<std::int64_t, Row> items;
  std::map<std::int64_t, std::int64_t> codes;
  std::map<std::string, std::set<std::int64_t>> tags;
};

class BigModel {
 public:
  const BigState& working() const { return staged_ ? *staged_ : committed_; }
  const BigState& committed() const { return committed_; }
  bool in_transaction() const { return staged_.has_value(); }
  // Whether the open transaction has written anything (a commit then writes).
  bool staged_writes() const { return staged_writes_ > 0; }

  bool insert_user(std::int64_t id, const std::string& email) {
    BigState& s = mut();
    auto owner = s.emails.find(email);
    if (owner != s.emails.end() && owner->second != id) return false;
    erase_user(id);
    s.emails[email] = id;
    s.users[id] = stored_user(id, email);
    wrote();
    return true;
  }
  void erase_user(std::int64_t id) {
    BigState& s = mut();
    auto it = s.users.find(id);
    if (it == s.users.end()) return;
    s.emails.erase(std::get<ScalarValue::String>(it->second.at("email").value()).value);
    s.users.erase(it);
    wrote();
  }
  bool insert_item(std::int64_t id, const std::string& tag, std::int64_t code) {
    BigState& s = mut();
    auto owner = s.codes.find(code);
    if (owner != s.codes.end() && owner->second != id) return false;
    erase_item(id);
    s.codes[code] = id;
    s.tags[tag].insert(id);
    s.items[id] = item(id, tag, code);
    wrote();
    return true;
  }
  void erase_item(std::int64_t id) {
    BigState& s = mut();
    auto it = s.items.find(id);
    if (it == s.items.end()) return;
    s.codes.erase(std::get<ScalarValue::Int64>(it->second.at("code").value()).value);
    const std::string tag = std::get<ScalarValue::String>(it->second.at("tag").value()).value;
    s.tags[tag].erase(id);
    if (s.tags[tag].empty()) s.tags.erase(tag);
    s.items.erase(it);
    wrote();
  }

  void begin() {
    staged_ = committed_;
    staged_writes_ = 0;
  }
  void commit() {
    if (staged_) committed_ = std::move(*staged_);
    staged_.reset();
  }
  void rollback() { staged_.reset(); }

 private:
  BigState& mut() { return staged_ ? *staged_ : committed_; }
  void wrote() {
    if (staged_) ++staged_writes_;
  }

  BigState committed_;
  std::optional<BigState> staged_;
  int staged_writes_ = 0;
};

std::map<Bytes, Row> rows_by_key(const std::map<std::int64_t, Row>& rows) {
  std::map<Bytes, Row> out;
  for (const auto& [id, row] : rows) out.emplace(key_of(id), row);
  return out;
}

// Every row, every index key and the collection sizes of one state against one model state.
void expect_whole(const Catalog& catalog, const LatestRows& latest, const IndexState& indexes,
                  const BigState& s) {
  for (const auto& [id, rows] : {std::pair{kUsers, &s.users}, std::pair{kItems, &s.items}}) {
    std::map<Bytes, Row> got;
    for (const auto entry : latest.rows_of(id)) {
      ASSERT_TRUE(got.emplace(Bytes(entry.pk.begin(), entry.pk.end()), entry.row.to_row()).second);
    }
    ASSERT_EQ(got, rows_by_key(*rows)) << "collection " << id;
    ASSERT_EQ(latest.size_of(id), rows->size());
  }
  ASSERT_EQ(latest.size(), s.users.size() + s.items.size());
  for (const auto& [email, id] : s.emails) {
    ASSERT_EQ(unique_owner(indexes, kUsers, "by_email", text_key(email)), key_of(id)) << email;
  }
  for (const auto& [code, id] : s.codes) {
    ASSERT_EQ(unique_owner(indexes, kItems, "by_code", key_of(code)), key_of(id)) << code;
  }
  for (int t = 0; t < 130; ++t) {
    const std::string tag = "t" + std::to_string(t);
    auto it = s.tags.find(tag);
    std::optional<std::vector<Bytes>> expected;
    if (it != s.tags.end()) {
      std::set<Bytes> keys;
      for (const std::int64_t id : it->second) keys.insert(key_of(id));
      expected = std::vector<Bytes>(keys.begin(), keys.end());
    }
    ASSERT_EQ(indexes.non_unique_lookup(kItems, "by_tag", text_key(tag)), expected) << tag;
  }
  // A query plans on the same state: an indexed equality and a full scan.
  Query by_tag;
  by_tag.collection_id = kItems;
  by_tag.predicate = Predicate::Eq{{path({"tag"}), s_str("t7")}};
  auto tagged = s.tags.find("t7");
  ASSERT_OK_AND_ASSIGN(const std::vector<Row> found,
                       execute_query(StateView(catalog, latest, indexes), by_tag));
  ASSERT_EQ(found.size(), tagged == s.tags.end() ? 0u : tagged->second.size());
  Query all;
  all.collection_id = kUsers;
  ASSERT_OK_AND_ASSIGN(const std::vector<Row> users,
                       execute_query(StateView(catalog, latest, indexes), all));
  ASSERT_EQ(users.size(), s.users.size());
}

// The working state and, while a transaction is open, the untouched committed state.
void expect_big_same(const FaultDb& db, const BigModel& model) {
  ASSERT_EQ(db.in_transaction(), model.in_transaction());
  expect_whole(db.catalog(), testing::latest_of(db), testing::indexes_of(db), model.working());
  if (model.in_transaction()) {
    expect_whole(db.committed_state().catalog(), testing::committed_latest_of(db),
                 testing::committed_indexes_of(db), model.committed());
  }
}

// The touched keys only: cheap enough for every step.
void expect_keys_same(const FaultDb& db, const BigModel& model, std::int64_t id) {
  const BigState& s = model.working();
  auto user_it = s.users.find(id);
  ASSERT_THAT(
      db.get(kUsers, s_i64(id)),
      IsOkAndHolds(user_it == s.users.end() ? std::nullopt : std::optional<Row>(user_it->second)));
  auto item_it = s.items.find(id);
  ASSERT_THAT(
      db.get(kItems, s_i64(id)),
      IsOkAndHolds(item_it == s.items.end() ? std::nullopt : std::optional<Row>(item_it->second)));
  ASSERT_EQ(db.state().row_count(kUsers), s.users.size());
  ASSERT_EQ(db.state().row_count(kItems), s.items.size());
}

// Arms one fault that the next commit's writes or syncs meet.
void arm_commit_fault(FaultStore& store, int which) {
  if (which == 0) {
    store.fail_write_at(store.writes() + 1);
  } else if (which == 1) {
    store.fail_write_at(store.writes() + 3, FaultStore::eio(), 5);
  } else {
    store.fail_sync_at(store.syncs() + static_cast<std::uint64_t>(which - 1));
  }
}

void run_big(std::uint64_t seed, int steps) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
  FaultDb db = FaultDb::open_with_store("f", FaultStore()).value();
  ASSERT_OK(db.register_collection_with_indexes("users", user_fields(),
                                                {index_def("by_email", {"email"})}, "id"));
  ASSERT_OK(db.register_collection_with_indexes("items", item_fields(), item_indexes(), "id"));
  BigModel model;
  ASSERT_OK(db.begin_transaction());
  model.begin();
  for (int id = 0; id < kPreloaded; ++id) {
    const std::string email = "e" + std::to_string(id);
    ASSERT_TRUE(model.insert_user(id, email));
    ASSERT_OK(db.insert(kUsers, user(id, email)));
    const std::string tag = "t" + std::to_string(id % 120);
    ASSERT_TRUE(model.insert_item(id, tag, id));
    ASSERT_OK(db.insert(kItems, item(id, tag, id)));
  }
  ASSERT_OK(db.commit_txn_staging());
  model.commit();
  expect_big_same(db, model);

  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const int op = pick(40);
    const std::int64_t id = pick(kBigKeys);
    bool whole = false;
    if (op < 12) {
      const std::string email = "e" + std::to_string(pick(kBigKeys));
      const Row row = user(id, email);
      if (model.insert_user(id, email)) {
        ASSERT_OK(db.insert(kUsers, row));
      } else {
        ASSERT_THAT(db.insert(kUsers, row), ErrorRenders("schema error: unique index violation"));
      }
    } else if (op < 22) {
      const std::string tag = "t" + std::to_string(pick(130));
      const std::int64_t code = pick(kBigKeys);
      const Row row = item(id, tag, code);
      if (model.insert_item(id, tag, code)) {
        ASSERT_OK(db.insert(kItems, row));
      } else {
        ASSERT_THAT(db.insert(kItems, row), ErrorRenders("schema error: unique index violation"));
      }
    } else if (op < 27) {
      const std::uint32_t collection = pick(2) == 0 ? kUsers : kItems;
      if (collection == kUsers) {
        model.erase_user(id);
      } else {
        model.erase_item(id);
      }
      ASSERT_OK(db.delete_row(collection, s_i64(id)));
    } else if (op < 30) {
      if (!model.in_transaction()) {
        model.begin();
        ASSERT_OK(db.begin_transaction());
      }
    } else if (op < 32) {
      model.commit();
      ASSERT_OK(db.commit_txn_staging());
      whole = true;
    } else if (op < 34) {
      model.rollback();
      db.rollback_transaction();
      whole = true;
    } else if (op < 37) {
      // A commit that fails loses the transaction and leaves the committed state as it was; an
      // auto-committed write that fails changes nothing.
      arm_commit_fault(db.store(), pick(4));
      if (model.in_transaction()) {
        if (model.staged_writes()) {
          ASSERT_THAT(db.commit_txn_staging(),
                      ErrorRenders("i/o error: Input/output error (os error 5)"));
          model.rollback();
        } else {
          ASSERT_OK(db.commit_txn_staging());
          model.commit();
        }
      } else if (model.working().users.contains(id)) {
        ASSERT_THAT(db.delete_row(kUsers, s_i64(id)),
                    ErrorRenders("i/o error: Input/output error (os error 5)"));
      }
      db.store().clear_faults();
      whole = true;
    } else if (op < 39) {
      // The handle moves with an open transaction, as it does in and out of a Result.
      FaultDb moved = std::move(db);
      db = std::move(moved);
    } else {
      model.rollback();
      db = FaultDb::open_with_store("f", FaultStore(db.store().bytes())).value();
      whole = true;
    }
    expect_keys_same(db, model, id);
    if (!::testing::Test::HasFatalFailure() && (whole || step % 50 == 0)) {
      expect_big_same(db, model);
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
  model.commit();
  ASSERT_OK(db.commit_txn_staging());
  FaultDb reopened = FaultDb::open_with_store("f", FaultStore(db.store().bytes())).value();
  expect_big_same(reopened, model);
}

TEST(ModelTest, TransactionsOverThousandsOfRowsMatchTheModel) {
  for (std::uint64_t seed = 1; seed <= 4; ++seed) {
    run_big(seed, 400);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace quarn::testing
