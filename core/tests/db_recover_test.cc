// Tail recovery: where the durable log ends, for unframed and framed logs.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/recover.h"
#include "manifest.h"
#include "testing/log_images.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using testing::cat;
using testing::ErrorRenders;
using testing::IsOkAndHolds;

struct RecoveryCase {
  std::string name;
  std::uint16_t minor;
  Bytes image;
  std::uint64_t safe_end;  // when error is empty
  std::string error;
};

constexpr std::uint64_t kLogStart = kDataStart + kManifestSegmentLen;

Bytes seg_record(std::int64_t id) {
  return testing::segment(SegmentType::Record, testing::user_record(id, "n"));
}
Bytes seg_index() { return testing::segment(SegmentType::Index, testing::by_name_payload("n", 1)); }
Bytes begin(std::uint64_t id) { return testing::marker(SegmentType::TxnBegin, id); }
Bytes commit(std::uint64_t id) { return testing::marker(SegmentType::TxnCommit, id); }
Bytes abort_marker(std::uint64_t id) { return testing::marker(SegmentType::TxnAbort, id); }
Bytes manifest() { return testing::segment(SegmentType::Manifest, Bytes(18, 0)); }
Bytes first(const Bytes& bytes, std::size_t n) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

// A case whose log follows the creation manifest.
RecoveryCase ok_case(std::string name, std::uint16_t minor, const Bytes& log,
                     std::uint64_t safe_in_log) {
  return {std::move(name), minor, testing::image_with_log(minor, log), kLogStart + safe_in_log, ""};
}
RecoveryCase error_case(std::string name, std::uint16_t minor, const Bytes& log,
                        std::string error) {
  return {std::move(name), minor, testing::image_with_log(minor, log), 0, std::move(error)};
}
// The fixed area alone followed by `tail`.
RecoveryCase bare_case(std::string name, std::uint16_t minor, const Bytes& tail) {
  Bytes image = first(testing::image_with_log(minor), kDataStart);
  testing::append(image, tail);
  return {std::move(name), minor, image, kDataStart, ""};
}

std::vector<RecoveryCase> cases() {
  const Bytes txn1 = cat({begin(1), seg_index(), seg_record(1), commit(1), manifest()});
  const Bytes open2 = cat({begin(2), seg_index(), seg_record(2)});
  Bytes bad_row = testing::segment(SegmentType::Record, testing::user_record(1, "n"), true);
  // A header that claims 2^64 - 1 payload bytes: torn, not an overflow.
  Bytes huge;
  encode_segment_header(SegmentHeader{~std::uint64_t{0}, 0, SegmentType::Record}, huge);
  Bytes type12 = seg_record(1);
  type12[kSegmentTypeAt] = 12;
  Bytes short_commit = testing::segment(SegmentType::TxnCommit, Bytes(23, 0));
  Bytes garbage_begin = testing::segment(SegmentType::TxnBegin, Bytes(3, 1));

  std::vector<RecoveryCase> out;
  for (const std::uint16_t minor : std::vector<std::uint16_t>{3, 5, 6}) {
    const std::string m = "Minor" + std::to_string(minor);
    out.push_back(bare_case(m + "EmptyDataArea", minor, {}));
    out.back().safe_end = kDataStart;
    out.push_back(bare_case(m + "OneStrayByte", minor, Bytes(1, 0x51)));
    out.push_back(bare_case(m + "ThirtyOneStrayBytes", minor, Bytes(31, 0x51)));
    out.push_back(ok_case(m + "PayloadCutShort", minor,
                          cat({seg_record(1), first(seg_record(2), 40)}), seg_record(1).size()));
    out.push_back(
        ok_case(m + "HugePayloadLength", minor, cat({seg_record(1), huge}), seg_record(1).size()));
    out.push_back(error_case(m + "ZeroBytesAfterLastSegment", minor,
                             cat({seg_record(1), Bytes(32, 0)}),
                             "format error: bad segment magic bytes: expected \"QSG0\", got [00, "
                             "00, 00, 00]"));
    out.push_back(error_case(m + "RowPayloadChecksum", minor, bad_row,
                             "format error: segment payload checksum mismatch"));
    out.push_back(error_case(m + "SegmentType12", minor, type12,
                             "format error: unsupported format version 0.12"));
    Bytes spill_and_checkpoint =
        cat({testing::segment(SegmentType::TempSpill, Bytes(10, 1), true),
             testing::segment(SegmentType::Checkpoint, Bytes(10, 1), true)});
    out.push_back(ok_case(m + "SpillAndCheckpointChecksumsNotChecked", minor, spill_and_checkpoint,
                          spill_and_checkpoint.size()));
  }
  const std::size_t t1 = txn1.size();
  out.push_back(ok_case("Minor6CompleteCommit", 6, txn1, t1));
  out.push_back(ok_case("Minor6UnfinishedTransaction", 6, cat({txn1, open2}), t1));
  out.push_back(ok_case("Minor6UnfinishedTransactionWithTornTail", 6,
                        cat({txn1, open2, first(seg_record(3), 50)}), t1));
  out.push_back(ok_case("Minor6CommitMarkerTorn", 6, cat({txn1, open2, first(commit(2), 40)}), t1));
  out.push_back(
      ok_case("Minor5UnfinishedTransactionKept", 5, cat({txn1, open2}), t1 + open2.size()));
  out.push_back(ok_case("Minor6AbortClosesWithoutIdCheck", 6,
                        cat({begin(1), seg_record(1), abort_marker(9), seg_record(2)}),
                        cat({begin(1), seg_record(1), abort_marker(9), seg_record(2)}).size()));
  out.push_back(ok_case("Minor6AbortOutsideTransaction", 6, cat({abort_marker(1)}), 56));
  out.push_back(
      ok_case("Minor6UnframedSegmentsCountAsDurable", 6,
              cat({testing::segment(SegmentType::Catalog, testing::create_users()), seg_record(1)}),
              cat({testing::segment(SegmentType::Catalog, testing::create_users()), seg_record(1)})
                  .size()));
  out.push_back(error_case("Minor6CommitIdMismatch", 6, cat({begin(1), seg_record(1), commit(2)}),
                           "format error: invalid transaction marker payload: TxnCommit txn_id "
                           "does not match TxnBegin"));
  out.push_back(error_case("Minor6NestedBegin", 6, cat({begin(1), begin(2)}),
                           "format error: invalid transaction marker payload: nested TxnBegin "
                           "before TxnCommit"));
  out.push_back(error_case("Minor6NestedBeginWithGarbagePayload", 6, cat({begin(1), garbage_begin}),
                           "format error: invalid transaction marker payload: nested TxnBegin "
                           "before TxnCommit"));
  out.push_back(error_case("Minor6CommitOutsideTransaction", 6, cat({commit(1)}),
                           "format error: invalid transaction marker payload: TxnCommit outside "
                           "transaction"));
  out.push_back(error_case("Minor6ShortCommitOutsideTransaction", 6, short_commit,
                           "format error: invalid transaction marker payload: expected 24 bytes, "
                           "got 23"));
  return out;
}

class RecoveryTest : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(RecoveryTest, FindsTheSafeEnd) {
  const RecoveryCase& c = GetParam();
  VecStore store(c.image);
  auto result = truncate_end_for_recovery(store, kDataStart, c.minor);
  if (c.error.empty()) {
    EXPECT_THAT(result, IsOkAndHolds(c.safe_end));
  } else {
    EXPECT_THAT(result, ErrorRenders(c.error));
  }
  EXPECT_EQ(store.bytes(), c.image);
}

// What recovery keeps is what a strict scan of the log cut to the safe end finds, so the open
// can replay it without a second walk.
TEST_P(RecoveryTest, KeepsWhatAScanOfTheCutLogFinds) {
  const RecoveryCase& c = GetParam();
  if (!c.error.empty()) return;
  VecStore store(c.image);
  std::vector<SegmentMeta> kept;
  ASSERT_OK_AND_ASSIGN(const std::uint64_t end,
                       truncate_end_for_recovery(store, kDataStart, c.minor, kept));
  ASSERT_OK(store.truncate(end));
  EXPECT_THAT(scan_segments(store, kDataStart), IsOkAndHolds(kept));
}

INSTANTIATE_TEST_SUITE_P(Logs, RecoveryTest, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<RecoveryCase>& p) {
                           return p.param.name;
                         });

}  // namespace
}  // namespace quarn
