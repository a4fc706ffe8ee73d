// The file header: golden bytes, every rejection in check order, and what is not checked.
#include "file_format.h"

#include <string>

#include <gtest/gtest.h>

#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::ErrorRenders;
using ::quarn::testing::IsOkAndHolds;

// 0.6, header length 32, reserved 0.
const Bytes kGolden = {'Q',  'D',  'B',  '0',  0x00, 0x00, 0x06, 0x00, 0x20, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

Bytes with_version(std::uint16_t major, std::uint16_t minor) {
  return FileHeader{0, 32, major, minor}.encode();
}

TEST(FileHeaderTest, EncodesGoldenBytes) {
  EXPECT_EQ(FileHeader{}.encode(), kGolden);
  Bytes out = {0xAA};
  encode_file_header(FileHeader{}, out);
  ASSERT_EQ(out.size(), 33u);
  EXPECT_EQ(Bytes(out.begin() + 1, out.end()), kGolden);
}

TEST(FileHeaderTest, RoundTripsEveryReadableMinor) {
  for (std::uint16_t minor = 2; minor <= 6; ++minor) {
    const FileHeader h{0x0102030405060708, 77, 0, minor};
    EXPECT_THAT(decode_header(h.encode()), IsOkAndHolds(h)) << "minor " << minor;
  }
}

TEST(FileHeaderTest, UncheckedBytesDecodeAsFound) {
  Bytes image = kGolden;
  for (std::size_t i = 8; i < 32; ++i) image[i] = static_cast<std::uint8_t>(0xF0 + i);
  image.resize(100, 0xEE);  // bytes past the header are not looked at
  ASSERT_OK_AND_ASSIGN(const FileHeader h, decode_header(image));
  EXPECT_EQ(h.minor, 6);
  EXPECT_EQ(h.header_len, 0xFBFAF9F8u);
  EXPECT_EQ(h.reserved, 0x03020100FFFEFDFCu);
  EXPECT_THAT(decode_header(image), IsOkAndHolds(h));
}

struct RejectCase {
  const char* name;
  Bytes input;
  const char* text;
};

class FileHeaderRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(FileHeaderRejectTest, FailsWithExactError) {
  EXPECT_THAT(decode_header(GetParam().input), ErrorRenders(GetParam().text));
}

Bytes elf_magic() {
  Bytes b = kGolden;
  b[0] = 0x7f, b[1] = 'E', b[2] = 'L', b[3] = 'F';
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    InCheckOrder, FileHeaderRejectTest,
    ::testing::Values(
        RejectCase{"Empty", {}, "format error: truncated header: got 0 bytes, expected 32"},
        RejectCase{"ThirtyOneBytes", Bytes(kGolden.begin(), kGolden.end() - 1),
                   "format error: truncated header: got 31 bytes, expected 32"},
        RejectCase{"ShortBeatsBadMagic", Bytes(5, 0),
                   "format error: truncated header: got 5 bytes, expected 32"},
        RejectCase{"BadMagic", elf_magic(),
                   "format error: bad magic bytes: expected \"QDB0\", got [7f, 45, 4c, 46]"},
        RejectCase{"BadMagicBeatsBadVersion",
                   [] {
                     Bytes b = with_version(1, 9);
                     b[3] = '1';
                     return b;
                   }(),
                   "format error: bad magic bytes: expected \"QDB0\", got [51, 44, 42, 31]"},
        RejectCase{"MinorSeven", with_version(0, 7),
                   "format error: unsupported format version 0.7"},
        RejectCase{"MinorOne", with_version(0, 1), "format error: unsupported format version 0.1"},
        RejectCase{"MinorZero", with_version(0, 0), "format error: unsupported format version 0.0"},
        RejectCase{"MajorOneShowsBoth", with_version(1, 6),
                   "format error: unsupported format version 1.6"},
        RejectCase{"LargestNumbers", with_version(65535, 65535),
                   "format error: unsupported format version 65535.65535"}),
    [](const ::testing::TestParamInfo<RejectCase>& param) {
      return std::string(param.param.name);
    });

}  // namespace
}  // namespace quarn
