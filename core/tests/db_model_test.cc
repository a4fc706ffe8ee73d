// A reference model shadows seeded random runs of inserts, deletes, transactions, rollbacks
// and reopens through snapshot bytes; rows and unique-index owners are compared every step.
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/database.h"
#include "testing/db.h"
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
      ASSERT_EQ(unique_owner(db.indexes(), 1, index, value), expected) << index << " " << value;
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

}  // namespace
}  // namespace quarn::testing
