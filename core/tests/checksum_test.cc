// CRC-32C against the published iSCSI vectors, and extension over any split.
#include "checksum.h"

#include <climits>
#include <cstdint>
#include <numeric>
#include <string>

#include <gtest/gtest.h>
#include <sys/mman.h>

namespace quarn {
namespace {

struct CrcCase {
  const char* name;
  Bytes input;
  std::uint32_t crc;
};

class CrcVectorTest : public ::testing::TestWithParam<CrcCase> {};

TEST_P(CrcVectorTest, MatchesKnownValue) {
  EXPECT_EQ(crc32c(GetParam().input), GetParam().crc);
  EXPECT_EQ(crc32c_append(0, GetParam().input), GetParam().crc);
}

Bytes ascending32() {
  Bytes b(32);
  std::iota(b.begin(), b.end(), std::uint8_t{0});
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, CrcVectorTest,
    ::testing::Values(CrcCase{"Empty", {}, 0},
                      CrcCase{"Digits", Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'},
                              0xE3069283},
                      CrcCase{"ThirtyTwoZeros", Bytes(32, 0x00), 0x8A9136AA},
                      CrcCase{"ThirtyTwoOnes", Bytes(32, 0xFF), 0x62A8AB43},
                      CrcCase{"Ascending", ascending32(), 0x46DD794E}),
    [](const ::testing::TestParamInfo<CrcCase>& param) { return std::string(param.param.name); });

TEST(ChecksumTest, ExtendOverEverySplitEqualsWhole) {
  Bytes data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
  const ByteSpan all(data);
  const std::uint32_t whole = crc32c(all);
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    EXPECT_EQ(crc32c_append(crc32c(all.first(cut)), all.subspan(cut)), whole) << "cut " << cut;
    EXPECT_EQ(crc32c_append(crc32c(all.first(cut)), all.subspan(cut)), whole) << "cut " << cut;
  }
}

TEST(ChecksumTest, ExtendByNothingKeepsChecksum) {
  EXPECT_EQ(crc32c_append(0xE3069283, {}), 0xE3069283u);
}

// ISA-L takes an int length: a span longer than INT_MAX must not be cut short or wrap.
TEST(ChecksumTest, SpanLongerThanIntMaxIsCoveredWhole) {
  const std::size_t size = static_cast<std::size_t>(INT_MAX) + 4097;
  // Untouched anonymous pages read as zero without taking memory.
  void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  const ByteSpan zeros(static_cast<const std::uint8_t*>(map), size);
  const std::size_t half = size / 2;
  const std::uint32_t piecewise = crc32c_append(crc32c(zeros.first(half)), zeros.subspan(half));
  EXPECT_EQ(crc32c(zeros), piecewise);
  EXPECT_NE(crc32c(zeros), crc32c(zeros.first(static_cast<std::size_t>(INT_MAX))));
  munmap(map, size);
}

}  // namespace
}  // namespace quarn
