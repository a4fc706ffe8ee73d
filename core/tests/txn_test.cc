// The transaction-marker payload: golden bytes, ids, and each rejection in check order.
#include "txn.h"

#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::ErrorRenders;
using ::quarn::testing::IsOkAndHolds;

const Bytes kGolden = {0x00, 0x00, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xe0, 0x5e, 0x26, 0x63, 0x00, 0x00};

TEST(TxnPayloadTest, EncodesGoldenBytes) {
  EXPECT_EQ(encode_txn_payload_v0(0x0102030405060708), kGolden);
  Bytes out = {1, 2};
  encode_txn_payload_v0(0x0102030405060708, out);
  EXPECT_EQ(Bytes(out.begin() + 2, out.end()), kGolden);
}

TEST(TxnPayloadTest, RoundTripsIds) {
  for (std::uint64_t id : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 63,
                           std::numeric_limits<std::uint64_t>::max()}) {
    EXPECT_THAT(decode_txn_payload_v0(encode_txn_payload_v0(id)), IsOkAndHolds(id));
  }
}

TEST(TxnPayloadTest, LastTwoBytesAreNotLookedAt) {
  Bytes b = kGolden;
  b[22] = 0xFF;
  b[23] = 0x7F;
  EXPECT_THAT(decode_txn_payload_v0(b), IsOkAndHolds(0x0102030405060708u));
}

struct RejectCase {
  const char* name;
  Bytes input;
  const char* text;
};

class TxnPayloadRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(TxnPayloadRejectTest, FailsWithExactError) {
  EXPECT_THAT(decode_txn_payload_v0(GetParam().input), ErrorRenders(GetParam().text));
}

template <class F>
Bytes edited(F edit) {
  Bytes b = kGolden;
  edit(b);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    InCheckOrder, TxnPayloadRejectTest,
    ::testing::Values(
        RejectCase{"Empty",
                   {},
                   "format error: invalid transaction marker payload: expected 24 bytes, got 0"},
        RejectCase{"TwentyThree", edited([](Bytes& b) { b.pop_back(); }),
                   "format error: invalid transaction marker payload: expected 24 bytes, got 23"},
        RejectCase{"TwentyFive", edited([](Bytes& b) { b.push_back(0); }),
                   "format error: invalid transaction marker payload: expected 24 bytes, got 25"},
        // The stored CRC is stale after the edit: the version is checked first.
        RejectCase{"VersionOne", edited([](Bytes& b) { b[0] = 1; }),
                   "format error: invalid transaction marker payload: unsupported txn payload "
                   "version 1"},
        RejectCase{"VersionHighByte", edited([](Bytes& b) { b[1] = 0xFF; }),
                   "format error: invalid transaction marker payload: unsupported txn payload "
                   "version 65280"},
        RejectCase{"IdBitFlip", edited([](Bytes& b) { b[2] ^= 1; }),
                   "format error: invalid transaction marker payload: txn payload crc mismatch"},
        RejectCase{"ZeroAreaCountsThroughCrc", edited([](Bytes& b) { b[13] = 9; }),
                   "format error: invalid transaction marker payload: txn payload crc mismatch"},
        RejectCase{"StoredCrcBitFlip", edited([](Bytes& b) { b[21] ^= 0x80; }),
                   "format error: invalid transaction marker payload: txn payload crc mismatch"}),
    [](const ::testing::TestParamInfo<RejectCase>& param) {
      return std::string(param.param.name);
    });

}  // namespace
}  // namespace quarn
