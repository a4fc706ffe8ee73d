// The manifest payload: golden bytes and its two checks.
#include "manifest.h"

#include <string>

#include <gtest/gtest.h>

#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::ErrorRenders;
using ::quarn::testing::IsOkAndHolds;

const Bytes kGolden = {0x00, 0x00, 0x20, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(ManifestTest, EncodesGoldenBytes) {
  EXPECT_EQ(ManifestV0::encode(8224, 50), kGolden);
  Bytes out = {7};
  encode_manifest_v0(ManifestV0{8224, 50}, out);
  EXPECT_EQ(Bytes(out.begin() + 1, out.end()), kGolden);
  EXPECT_EQ(kManifestSegmentLen, 50u);
}

TEST(ManifestTest, DecodesOffsetsAsFoundAndIgnoresTrailingBytes) {
  EXPECT_THAT(decode_manifest_v0(kGolden), IsOkAndHolds(ManifestV0{8224, 50}));
  Bytes longer = ManifestV0::encode(0xFFFFFFFFFFFFFFFF, 3);
  longer.push_back(0xAA);
  longer.push_back(0xBB);
  EXPECT_THAT(decode_manifest_v0(longer), IsOkAndHolds(ManifestV0{0xFFFFFFFFFFFFFFFF, 3}));
}

struct RejectCase {
  const char* name;
  Bytes input;
  const char* text;
};

class ManifestRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(ManifestRejectTest, FailsWithExactError) {
  EXPECT_THAT(decode_manifest_v0(GetParam().input), ErrorRenders(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    InCheckOrder, ManifestRejectTest,
    ::testing::Values(
        RejectCase{"Empty", {}, "format error: truncated header: got 0 bytes, expected 18"},
        RejectCase{"SeventeenBytes", Bytes(kGolden.begin(), kGolden.end() - 1),
                   "format error: truncated header: got 17 bytes, expected 18"},
        RejectCase{"ShortBeatsVersion", Bytes{0x05, 0x00},
                   "format error: truncated header: got 2 bytes, expected 18"},
        RejectCase{"VersionOne",
                   [] {
                     Bytes b = kGolden;
                     b[0] = 1;
                     return b;
                   }(),
                   "format error: unsupported format version 0.1"},
        RejectCase{"VersionHighByte",
                   [] {
                     Bytes b = kGolden;
                     b[1] = 1;
                     return b;
                   }(),
                   "format error: unsupported format version 0.256"}),
    [](const ::testing::TestParamInfo<RejectCase>& param) {
      return std::string(param.param.name);
    });

}  // namespace
}  // namespace quarn
