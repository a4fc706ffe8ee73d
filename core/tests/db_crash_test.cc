// Crash safety by enumeration: every cut of a log and every failed step of a commit leaves an
// image that opens to exactly the state of a committed prefix of its transactions.
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/database.h"
#include "db/write.h"
#include "manifest.h"
#include "testing/database_peer.h"
#include "testing/db_state.h"
#include "testing/fault_store.h"
#include "testing/log_images.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using testing::DatabaseTestPeer;
using testing::FaultStore;
using testing::IsOk;
using testing::StateSummary;

// One segment of a transaction, owning its payload.
struct TxnSegment {
  SegmentType type;
  Bytes payload;
};

// The transactions of the run: registration, inserts with index entries, a replacement, a
// delete and a schema version with a row under it.
std::vector<std::vector<TxnSegment>> transactions() {
  using testing::by_name_entry;
  return {
      {{SegmentType::Catalog, testing::create_users()}},
      {{SegmentType::Index, testing::by_name_payload("a", 1)},
       {SegmentType::Record, testing::user_record(1, "a")}},
      {{SegmentType::Index, encode_index_payload({by_name_entry("b", 2), by_name_entry("c", 3)})},
       {SegmentType::Record, testing::user_record(2, "b")},
       {SegmentType::Record, testing::user_record(3, "c")}},
      {{SegmentType::Index,
        encode_index_payload({by_name_entry("a", 1, IndexOp::Delete), by_name_entry("z", 1)})},
       {SegmentType::Record, testing::user_record(1, "z", 2)}},
      {{SegmentType::Index, testing::by_name_payload("b", 2, IndexOp::Delete)},
       {SegmentType::Record, testing::user_record(2, "", 3)}},
      {{SegmentType::Catalog, testing::users_version_2()},
       {SegmentType::Record, testing::user_record_v2(4, "d", 7)}},
  };
}

const std::vector<std::string>& probed_names() {
  static const std::vector<std::string> names = {"a", "b", "c", "z", "d"};
  return names;
}

template <class S>
StateSummary summary_of(const Database<S>& db) {
  return testing::summarize(db.catalog(), testing::latest_of(db), testing::indexes_of(db),
                            probed_names());
}

std::vector<SegmentView> views_of(const std::vector<TxnSegment>& txn) {
  std::vector<SegmentView> views;
  for (const TxnSegment& s : txn) views.push_back(SegmentView{s.type, s.payload});
  return views;
}

template <class S>
Status commit(Database<S>& db, const std::vector<TxnSegment>& txn) {
  return DatabaseTestPeer::commit(db, views_of(txn));
}

std::optional<StateSummary> open_summary(const Bytes& image) {
  auto db = Database<VecStore>::from_snapshot_bytes(image);
  EXPECT_THAT(db, IsOk());
  if (!db.ok()) return std::nullopt;
  return summary_of(db.value());
}

// The state after each prefix of the transactions, and where each commit marker ends.
class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = Database<VecStore>::open_in_memory();
    ASSERT_OK(db);
    states_.push_back(summary_of(db.value()));
    for (const auto& txn : txns_) {
      ASSERT_OK(commit(db.value(), txn));
      // The commit helper leaves memory to its caller: the state is what the image replays to.
      const std::optional<StateSummary> state = open_summary(db.value().snapshot_bytes());
      ASSERT_TRUE(state.has_value());
      states_.push_back(*state);
      commit_ends_.push_back(db.value().snapshot_bytes().size() - kManifestSegmentLen);
    }
    image_ = db.value().snapshot_bytes();
    // Each prefix is a different state, so a match names exactly one prefix.
    for (std::size_t k = 1; k < states_.size(); ++k) ASSERT_FALSE(states_[k] == states_[k - 1]);
  }

  // How many commits a log cut at `length` holds whole.
  std::size_t committed_within(std::uint64_t length) const {
    std::size_t k = 0;
    while (k < commit_ends_.size() && commit_ends_[k] <= length) ++k;
    return k;
  }

  const std::vector<std::vector<TxnSegment>> txns_ = transactions();
  std::vector<StateSummary> states_;
  std::vector<std::uint64_t> commit_ends_;
  Bytes image_;
};

TEST_F(CrashTest, EveryCutOpensToTheCommittedPrefix) {
  for (std::uint64_t length = kDataStart; length <= image_.size(); ++length) {
    SCOPED_TRACE(length);
    const Bytes cut(image_.begin(), image_.begin() + static_cast<std::ptrdiff_t>(length));
    const std::optional<StateSummary> got = open_summary(cut);
    ASSERT_TRUE(got.has_value());
    ASSERT_EQ(*got, states_[committed_within(length)]);
  }
}

// Fails every mutation of commit k in turn, on a handle that has made the k - 1 before it.
TEST_F(CrashTest, FailedCommitStepsAreCutBackAndTheHandleGoesOn) {
  for (std::size_t k = 0; k < txns_.size(); ++k) {
    std::uint64_t steps = 0;
    {
      auto probe = Database<FaultStore>::open_with_store("db", FaultStore());
      ASSERT_OK(probe);
      for (std::size_t i = 0; i < k; ++i) ASSERT_OK(commit(probe.value(), txns_[i]));
      const std::uint64_t before = probe.value().store().mutations();
      ASSERT_OK(commit(probe.value(), txns_[k]));
      steps = probe.value().store().mutations() - before;
    }
    for (std::uint64_t n = 1; n <= steps; ++n) {
      SCOPED_TRACE("commit " + std::to_string(k) + ", step " + std::to_string(n));
      auto db = Database<FaultStore>::open_with_store("db", FaultStore());
      ASSERT_OK(db);
      for (std::size_t i = 0; i < k; ++i) ASSERT_OK(commit(db.value(), txns_[i]));
      FaultStore& store = db.value().store();
      store.fail_mutation_at(store.mutations() + n);
      ASSERT_FALSE(commit(db.value(), txns_[k]).ok());
      // The cut-back was synced: what a crash keeps and what the file holds agree.
      EXPECT_EQ(open_summary(store.bytes()), states_[k]);
      EXPECT_EQ(open_summary(store.synced_bytes()), states_[k]);
      for (std::size_t i = k; i < txns_.size(); ++i) ASSERT_OK(commit(db.value(), txns_[i]));
      EXPECT_EQ(open_summary(store.bytes()), states_.back());
    }
  }
}

// Power loss in the middle of commit k, before any cut-back could run: what the last sync made
// durable opens to the prefix before it, or with it once the publish sync has succeeded.
TEST_F(CrashTest, CrashDuringACommitKeepsTheLastSyncedPrefix) {
  for (std::size_t k = 0; k < txns_.size(); ++k) {
    FaultStore base;
    {
      auto db = Database<FaultStore>::open_with_store("db", FaultStore());
      ASSERT_OK(db);
      for (std::size_t i = 0; i < k; ++i) ASSERT_OK(commit(db.value(), txns_[i]));
      base = db.value().store();
    }
    std::uint64_t steps = 0;
    std::uint64_t writes = 0;
    {
      FaultStore probe = base;
      std::uint16_t minor = 6;
      ASSERT_OK(commit_write_txn_v6(probe, kDataStart, minor, 1, views_of(txns_[k])));
      steps = probe.mutations() - base.mutations();
      writes = probe.writes() - base.writes();
    }
    // A minor-6 commit is all its writes, the publish sync, then the final sync.
    ASSERT_EQ(steps, writes + 2);
    for (std::uint64_t n = 1; n <= steps; ++n) {
      for (const bool torn : {false, true}) {
        if (torn && n > writes) continue;
        SCOPED_TRACE("commit " + std::to_string(k) + ", step " + std::to_string(n) +
                     (torn ? ", torn write" : ""));
        FaultStore store = base;
        if (torn) {
          store.fail_write_at(store.writes() + n, FaultStore::eio(), 7);
        } else {
          store.fail_mutation_at(store.mutations() + n);
        }
        std::uint16_t minor = 6;
        ASSERT_FALSE(commit_write_txn_v6(store, kDataStart, minor, 1, views_of(txns_[k])).ok());
        const bool durable = !torn && n > writes + 1;
        EXPECT_EQ(open_summary(store.crash()), states_[durable ? k + 1 : k]);
      }
    }
  }
}

}  // namespace
}  // namespace quarn
