// The segment header, the writer, the strict scan with its chunked payload checksum, and the
// payload read.
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checksum.h"
#include "file_format.h"
#include "segments/header.h"
#include "segments/reader.h"
#include "segments/writer.h"
#include "testing/fault_store.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::ErrorRenders;
using ::quarn::testing::IsOkAndHolds;

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

void put_le_at(Bytes& b, std::size_t at, std::uint64_t v, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Rewrites the header CRC after a field was changed on purpose.
void reseal(Bytes& header) { put_le_at(header, 28, crc32c(ByteSpan(header).first(28)), 4); }

// A payload with no repeating period short of 251, so a chunk read at a wrong offset shows.
Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 31 + 7) % 251);
  return b;
}

// The manifest at 8224: type 3, 18 payload bytes.
const SegmentHeader kManifestHeader{18, 0x376AC655, SegmentType::Manifest};

TEST(SegmentHeaderTest, EncodesGoldenBytes) {
  const Bytes golden = {'Q',  'S',  'G',  '0',  0x00, 0x00, 0x03, 0x00, 0x20, 0x00, 0x00,
                        0x00, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x55, 0xc6,
                        0x6a, 0x37, 0x00, 0x00, 0x00, 0x00, 0x8d, 0xbf, 0x5b, 0xcd};
  EXPECT_EQ(kManifestHeader.encode(), golden);
  Bytes out = {9};
  encode_segment_header(kManifestHeader, out);
  EXPECT_EQ(Bytes(out.begin() + 1, out.end()), golden);
}

TEST(SegmentHeaderTest, RoundTripsEveryType) {
  for (std::uint16_t t = 1; t <= 9; ++t) {
    const SegmentHeader h{kMaxU64 - t, 0xDEADBEEF, static_cast<SegmentType>(t)};
    EXPECT_THAT(decode_segment_header(h.encode()), IsOkAndHolds(h)) << "type " << t;
  }
}

TEST(SegmentHeaderTest, ReservedBytesCountOnlyThroughTheCrc) {
  Bytes b = kManifestHeader.encode();
  b[25] = 1, b[26] = 2, b[27] = 3;
  EXPECT_THAT(decode_segment_header(b),
              ErrorRenders("format error: segment header checksum mismatch"));
  reseal(b);
  b.push_back(0xFF);  // bytes past the header are not looked at
  EXPECT_THAT(decode_segment_header(b), IsOkAndHolds(kManifestHeader));
}

TEST(SegmentHeaderTest, FrozenTypeNumbers) {
  EXPECT_EQ(static_cast<std::uint16_t>(SegmentType::Catalog), 1);
  EXPECT_EQ(static_cast<std::uint16_t>(SegmentType::Record), 2);
  EXPECT_EQ(static_cast<std::uint16_t>(SegmentType::Manifest), 3);
  EXPECT_EQ(static_cast<std::uint16_t>(SegmentType::Checkpoint), 4);
  EXPECT_EQ(static_cast<std::uint16_t>(SegmentType::Index), 5);
  EXPECT_EQ(static_cast<std::uint16_t>(SegmentType::TxnBegin), 6);
  EXPECT_EQ(static_cast<std::uint16_t>(SegmentType::TxnCommit), 7);
  EXPECT_EQ(static_cast<std::uint16_t>(SegmentType::TxnAbort), 8);
  EXPECT_EQ(static_cast<std::uint16_t>(SegmentType::TempSpill), 9);
}

struct RejectCase {
  const char* name;
  Bytes input;
  const char* text;
};

class SegmentHeaderRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(SegmentHeaderRejectTest, FailsWithExactError) {
  EXPECT_THAT(decode_segment_header(GetParam().input), ErrorRenders(GetParam().text));
}

// Edits leave the stored CRC stale, so each field error is shown to come before the CRC check.
template <class F>
Bytes edited(F edit) {
  Bytes b = kManifestHeader.encode();
  edit(b);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    InCheckOrder, SegmentHeaderRejectTest,
    ::testing::Values(
        RejectCase{"Empty", {}, "format error: truncated segment header: got 0 bytes, expected 32"},
        RejectCase{"OneShort", edited([](Bytes& b) { b.pop_back(); }),
                   "format error: truncated segment header: got 31 bytes, expected 32"},
        RejectCase{"ZeroMagic", Bytes(32, 0),
                   "format error: bad segment magic bytes: expected \"QSG0\", got [00, 00, 00, "
                   "00]"},
        RejectCase{"MagicBeforeVersion", edited([](Bytes& b) { b[3] = '1', b[4] = 7; }),
                   "format error: bad segment magic bytes: expected \"QSG0\", got [51, 53, 47, "
                   "31]"},
        RejectCase{"VersionOne", edited([](Bytes& b) { b[4] = 1; }),
                   "format error: unsupported format version 0.1"},
        RejectCase{"VersionBeforeType", edited([](Bytes& b) { b[4] = 2, b[6] = 0; }),
                   "format error: unsupported format version 0.2"},
        RejectCase{"TypeZero", edited([](Bytes& b) { b[6] = 0; }),
                   "format error: unsupported format version 0.0"},
        RejectCase{"TypeTen", edited([](Bytes& b) { b[6] = 10; }),
                   "format error: unsupported format version 0.10"},
        RejectCase{"TypeHighByte", edited([](Bytes& b) { b[7] = 1; }),
                   "format error: unsupported format version 0.259"},
        RejectCase{"TypeBeforeHeaderLen", edited([](Bytes& b) { b[6] = 12, b[8] = 64; }),
                   "format error: unsupported format version 0.12"},
        RejectCase{"HeaderLenSixtyFour", edited([](Bytes& b) { b[8] = 64; }),
                   "format error: unsupported format version 0.64"},
        // Only the low 16 bits are shown: 0x10020 reads as 0.32 but is still rejected.
        RejectCase{"HeaderLenHighBits", edited([](Bytes& b) { b[10] = 1; }),
                   "format error: unsupported format version 0.32"},
        RejectCase{"HeaderLenBeforeFlags", edited([](Bytes& b) { b[8] = 0, b[24] = 1; }),
                   "format error: unsupported format version 0.0"},
        RejectCase{"FlagsSet", edited([](Bytes& b) { b[24] = 0x80; }),
                   "format error: unsupported format version 0.128"},
        RejectCase{"PayloadLenBitFlip", edited([](Bytes& b) { b[12] ^= 1; }),
                   "format error: segment header checksum mismatch"},
        RejectCase{"PayloadCrcBitFlip", edited([](Bytes& b) { b[21] ^= 4; }),
                   "format error: segment header checksum mismatch"},
        RejectCase{"StoredCrcBitFlip", edited([](Bytes& b) { b[31] ^= 0x40; }),
                   "format error: segment header checksum mismatch"}),
    [](const ::testing::TestParamInfo<RejectCase>& param) {
      return std::string(param.param.name);
    });

// An image of the fixed area only; segments are appended from kDataStart.
class SegmentLogTest : public ::testing::Test {
 protected:
  SegmentLogTest() : store_(Bytes(kDataStart, 0)) {}

  std::uint64_t append(SegmentType type, const Bytes& payload) {
    auto len = store_.len();
    SegmentWriter<VecStore> writer(store_, len.value());
    return writer.append(type, payload).value();
  }
  void set_byte(std::uint64_t at, std::uint8_t v) {
    Bytes image = store_.take_bytes();
    image[at] = v;
    store_ = VecStore(std::move(image));
  }
  void flip_byte(std::uint64_t at) {
    set_byte(at, static_cast<std::uint8_t>(store_.bytes()[at] ^ 0xFF));
  }
  void cut_to(std::uint64_t length) { ASSERT_OK(store_.truncate(length)); }
  void put_raw(const Bytes& bytes) { ASSERT_OK(store_.write_all_at(store_.bytes().size(), bytes)); }

  VecStore store_;
};

TEST_F(SegmentLogTest, AppendReturnsHeaderOffsetAndAdvancesPastPayload) {
  SegmentWriter<VecStore> writer(store_, kDataStart);
  EXPECT_THAT(writer.append(SegmentType::Record, Bytes{1, 2, 3, 4, 5}), IsOkAndHolds(8224u));
  EXPECT_EQ(writer.offset(), 8261u);
  EXPECT_THAT(writer.append(SegmentType::TxnCommit, Bytes{}), IsOkAndHolds(8261u));
  EXPECT_EQ(writer.offset(), 8293u);

  const Bytes& image = store_.bytes();
  ASSERT_EQ(image.size(), 8293u);
  const Bytes header(image.begin() + 8224, image.begin() + 8256);
  const Bytes payload = {1, 2, 3, 4, 5};
  EXPECT_THAT(decode_segment_header(header),
              IsOkAndHolds(SegmentHeader{5, crc32c(payload), SegmentType::Record}));
  EXPECT_EQ(Bytes(image.begin() + 8256, image.begin() + 8261), payload);
  // An empty payload carries the CRC of no bytes, 0.
  EXPECT_THAT(decode_segment_header(ByteSpan(image).subspan(8261)),
              IsOkAndHolds(SegmentHeader{0, 0, SegmentType::TxnCommit}));
}

TEST_F(SegmentLogTest, AppendPastTheOffsetRangeWritesNothing) {
  SegmentWriter<VecStore> writer(store_, kMaxU64 - 40);
  EXPECT_THAT(writer.append(SegmentType::Record, Bytes(9, 0)), ErrorRenders("i/o error: overflow"));
  EXPECT_EQ(writer.offset(), kMaxU64 - 40);
  SegmentWriter<VecStore> at_end(store_, kMaxU64 - 10);
  EXPECT_THAT(at_end.append(SegmentType::Record, Bytes{}), ErrorRenders("i/o error: overflow"));
  EXPECT_EQ(store_.bytes().size(), kDataStart);
}

TEST_F(SegmentLogTest, AppendAllWritesWhatAppendsWouldInOneWrite) {
  const Bytes first{1, 2, 3};
  const Bytes second{};
  const Bytes third{9};
  SegmentWriter<VecStore> one_by_one(store_, kDataStart);
  for (const Bytes* payload : {&first, &second, &third}) {
    ASSERT_TRUE(one_by_one.append(SegmentType::Record, *payload).ok());
  }
  const Bytes expected = store_.bytes();

  testing::FaultStore batched(Bytes(kDataStart, 0));
  SegmentWriter<testing::FaultStore> writer(batched, kDataStart);
  const std::array<SegmentView, 3> segments{SegmentView{SegmentType::Record, first},
                                            SegmentView{SegmentType::Record, second},
                                            SegmentView{SegmentType::Record, third}};
  EXPECT_THAT(writer.append_all(segments), IsOkAndHolds(kDataStart));
  EXPECT_EQ(writer.offset(), expected.size());
  EXPECT_EQ(batched.bytes(), expected);
  EXPECT_EQ(batched.writes(), 1u);
  // Nothing to write: no call at all.
  EXPECT_THAT(writer.append_all({}), IsOkAndHolds(expected.size()));
  EXPECT_EQ(batched.writes(), 1u);
}

TEST_F(SegmentLogTest, AppendAllWritesALargeBatchInRuns) {
  const Bytes big(kAppendRunBytes, 3);
  const Bytes small{4};
  SegmentWriter<VecStore> one_by_one(store_, kDataStart);
  for (const Bytes* payload : {&small, &big, &small, &big}) {
    ASSERT_TRUE(one_by_one.append(SegmentType::Record, *payload).ok());
  }
  testing::FaultStore batched(Bytes(kDataStart, 0));
  SegmentWriter<testing::FaultStore> writer(batched, kDataStart);
  const std::array<SegmentView, 4> segments{
      SegmentView{SegmentType::Record, small}, SegmentView{SegmentType::Record, big},
      SegmentView{SegmentType::Record, small}, SegmentView{SegmentType::Record, big}};
  EXPECT_THAT(writer.append_all(segments), IsOkAndHolds(kDataStart));
  EXPECT_EQ(batched.bytes(), store_.bytes());
  // A run is written once it reaches the run size: after each large payload here.
  EXPECT_EQ(batched.writes(), 2u);
}

TEST_F(SegmentLogTest, AppendAllPastTheOffsetRangeWritesNothing) {
  // The first segment would fit; the second would not, so neither is written.
  SegmentWriter<VecStore> writer(store_, kMaxU64 - 40);
  const std::array<SegmentView, 2> segments{SegmentView{SegmentType::Record, ByteSpan()},
                                            SegmentView{SegmentType::Record, ByteSpan()}};
  EXPECT_THAT(writer.append_all(segments), ErrorRenders("i/o error: overflow"));
  EXPECT_EQ(writer.offset(), kMaxU64 - 40);
  EXPECT_EQ(store_.bytes().size(), kDataStart);
}

TEST_F(SegmentLogTest, AppendFramedWritesWhatAppendsWouldInRuns) {
  // Small payloads over many pieces, one of a run or more (moved, not copied) between them.
  std::vector<Bytes> payloads;
  for (std::size_t i = 0; i < 3000; ++i) payloads.push_back(pattern(i % 301));
  payloads.push_back(pattern(kAppendRunBytes + 5));
  for (std::size_t i = 0; i < 10; ++i) payloads.push_back(pattern(i * 7));
  const Bytes marker = pattern(8);
  SegmentWriter<VecStore> one_by_one(store_, kDataStart);
  ASSERT_TRUE(one_by_one.append(SegmentType::TxnBegin, marker).ok());
  EncodedSegments body;
  std::uint64_t body_bytes = 0;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    const SegmentType type = i % 2 == 0 ? SegmentType::Record : SegmentType::Index;
    ASSERT_TRUE(one_by_one.append(type, payloads[i]).ok());
    body_bytes += kSegmentHeaderSize + payloads[i].size();
    if (i % 3 == 0) {
      body.append(type, Bytes(payloads[i]));
    } else {
      body.append(type, ByteSpan(payloads[i]));
    }
  }
  ASSERT_TRUE(one_by_one.append(SegmentType::TxnCommit, marker).ok());
  EXPECT_EQ(body.count(), payloads.size());
  EXPECT_EQ(body.bytes(), body_bytes);

  testing::FaultStore framed(Bytes(kDataStart, 0));
  SegmentWriter<testing::FaultStore> writer(framed, kDataStart);
  EXPECT_THAT(writer.append_framed(SegmentView{SegmentType::TxnBegin, marker}, body,
                                   SegmentView{SegmentType::TxnCommit, marker}),
              IsOkAndHolds(kDataStart));
  EXPECT_EQ(writer.offset(), store_.bytes().size());
  EXPECT_EQ(framed.bytes(), store_.bytes());
  // About one write per run, not one per piece.
  EXPECT_LE(framed.writes(), body_bytes / kAppendRunBytes + 3);

  // No staged segment: the two markers in one write.
  testing::FaultStore bare(Bytes(kDataStart, 0));
  SegmentWriter<testing::FaultStore> markers(bare, kDataStart);
  EXPECT_THAT(markers.append_framed(SegmentView{SegmentType::TxnBegin, marker}, EncodedSegments(),
                                    SegmentView{SegmentType::TxnCommit, marker}),
              IsOkAndHolds(kDataStart));
  EXPECT_EQ(bare.writes(), 1u);
  EXPECT_EQ(bare.bytes().size(), kDataStart + 2 * (kSegmentHeaderSize + marker.size()));
}

TEST_F(SegmentLogTest, AppendFramedPastTheOffsetRangeWritesNothing) {
  EncodedSegments body;
  body.append(SegmentType::Record, pattern(10));
  // The markers alone would fit; the body would not.
  SegmentWriter<VecStore> writer(store_, kMaxU64 - 70);
  EXPECT_THAT(writer.append_framed(SegmentView{SegmentType::TxnBegin, ByteSpan()}, body,
                                   SegmentView{SegmentType::TxnCommit, ByteSpan()}),
              ErrorRenders("i/o error: overflow"));
  EXPECT_EQ(writer.offset(), kMaxU64 - 70);
  EXPECT_EQ(store_.bytes().size(), kDataStart);
}

TEST_F(SegmentLogTest, ScanListsSegmentsInLogOrder) {
  const std::uint64_t a = append(SegmentType::TxnBegin, pattern(24));
  const std::uint64_t b = append(SegmentType::Record, pattern(100));
  const std::uint64_t c = append(SegmentType::TxnCommit, pattern(24));
  ASSERT_OK_AND_ASSIGN(const std::vector<SegmentMeta> metas, scan_segments(store_, kDataStart));
  const std::vector<SegmentMeta> expected = {
      {a, {24, crc32c(pattern(24)), SegmentType::TxnBegin}},
      {b, {100, crc32c(pattern(100)), SegmentType::Record}},
      {c, {24, crc32c(pattern(24)), SegmentType::TxnCommit}},
  };
  EXPECT_EQ(metas, expected);
  // A scan may start at any segment boundary.
  EXPECT_THAT(scan_segments(store_, b),
              IsOkAndHolds(std::vector<SegmentMeta>(expected.begin() + 1, expected.end())));
}

TEST_F(SegmentLogTest, ScanAtOrPastTheEndIsEmpty) {
  append(SegmentType::Record, pattern(10));
  const std::uint64_t len = store_.bytes().size();
  EXPECT_THAT(scan_segments(store_, len), IsOkAndHolds(::testing::IsEmpty()));
  EXPECT_THAT(scan_segments(store_, len + 1), IsOkAndHolds(::testing::IsEmpty()));
  EXPECT_THAT(scan_segments(store_, kMaxU64), IsOkAndHolds(::testing::IsEmpty()));
}

TEST_F(SegmentLogTest, TornHeaderAfterLastSegmentFails) {
  append(SegmentType::Record, pattern(10));
  const Bytes next_header = kManifestHeader.encode();
  const std::uint64_t good_end = store_.bytes().size();
  for (std::size_t extra : {1u, 17u, 31u}) {
    SCOPED_TRACE(extra);
    put_raw(Bytes(next_header.begin(), next_header.begin() + static_cast<std::ptrdiff_t>(extra)));
    EXPECT_THAT(scan_segments(store_, kDataStart),
                ErrorRenders("format error: truncated segment header: got " +
                             std::to_string(extra) + " bytes, expected 32"));
    cut_to(good_end);
  }
}

TEST_F(SegmentLogTest, PayloadEndingAtStoreLengthIsAccepted) {
  append(SegmentType::Record, pattern(10));
  const std::uint64_t end = store_.bytes().size();
  EXPECT_THAT(scan_segments(store_, kDataStart), IsOkAndHolds(::testing::SizeIs(1)));
  cut_to(end - 1);
  EXPECT_THAT(scan_segments(store_, kDataStart),
              ErrorRenders("format error: segment payload extends past end of file"));
}

TEST_F(SegmentLogTest, PayloadLengthPastTheOffsetRangeIsPastEof) {
  // A payload length that makes pos + 32 + length wrap must not look like a short segment.
  const std::uint64_t wrapping = kMaxU64 - kDataStart - 31;
  put_raw(SegmentHeader{wrapping, 0, SegmentType::Record}.encode());
  put_raw(pattern(64));
  EXPECT_THAT(scan_segments(store_, kDataStart),
              ErrorRenders("format error: segment payload extends past end of file"));
}

TEST_F(SegmentLogTest, ZeroBytesAfterLastSegmentAreABadMagic) {
  append(SegmentType::Record, pattern(10));
  put_raw(Bytes(40, 0));
  EXPECT_THAT(scan_segments(store_, kDataStart),
              ErrorRenders("format error: bad segment magic bytes: expected \"QSG0\", got [00, "
                           "00, 00, 00]"));
}

TEST_F(SegmentLogTest, CorruptHeaderFailsTheScan) {
  append(SegmentType::Record, pattern(10));
  const std::uint64_t second = append(SegmentType::Index, pattern(10));
  append(SegmentType::Record, pattern(10));
  flip_byte(second + 14);  // payload length, under the header CRC
  EXPECT_THAT(scan_segments(store_, kDataStart),
              ErrorRenders("format error: segment header checksum mismatch"));
}

struct PayloadCrcCase {
  const char* name;
  SegmentType type;
  bool checked;
};

class PayloadCrcTest : public SegmentLogTest,
                       public ::testing::WithParamInterface<PayloadCrcCase> {};

TEST_P(PayloadCrcTest, WrongPayloadCrcFailsUnlessCheckpointOrSpill) {
  const std::uint64_t at = append(GetParam().type, pattern(40));
  append(SegmentType::Manifest, pattern(18));
  flip_byte(at + kSegmentHeaderSize + 39);
  if (GetParam().checked) {
    EXPECT_THAT(scan_segments(store_, kDataStart),
                ErrorRenders("format error: segment payload checksum mismatch"));
  } else {
    EXPECT_THAT(scan_segments(store_, kDataStart), IsOkAndHolds(::testing::SizeIs(2)));
  }
}

TEST_P(PayloadCrcTest, EmptyPayloadNeedsCrcZero) {
  put_raw(SegmentHeader{0, 0, GetParam().type}.encode());
  EXPECT_THAT(scan_segments(store_, kDataStart), IsOkAndHolds(::testing::SizeIs(1)));
  cut_to(kDataStart);
  put_raw(SegmentHeader{0, 1, GetParam().type}.encode());
  if (GetParam().checked) {
    EXPECT_THAT(scan_segments(store_, kDataStart),
                ErrorRenders("format error: segment payload checksum mismatch"));
  } else {
    EXPECT_THAT(scan_segments(store_, kDataStart), IsOkAndHolds(::testing::SizeIs(1)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, PayloadCrcTest,
    ::testing::Values(PayloadCrcCase{"Catalog", SegmentType::Catalog, true},
                      PayloadCrcCase{"Record", SegmentType::Record, true},
                      PayloadCrcCase{"Manifest", SegmentType::Manifest, true},
                      PayloadCrcCase{"Checkpoint", SegmentType::Checkpoint, false},
                      PayloadCrcCase{"Index", SegmentType::Index, true},
                      PayloadCrcCase{"TxnBegin", SegmentType::TxnBegin, true},
                      PayloadCrcCase{"TxnCommit", SegmentType::TxnCommit, true},
                      PayloadCrcCase{"TxnAbort", SegmentType::TxnAbort, true},
                      PayloadCrcCase{"TempSpill", SegmentType::TempSpill, false}),
    [](const ::testing::TestParamInfo<PayloadCrcCase>& param) {
      return std::string(param.param.name);
    });

// Payload sizes around the 8192-byte chunk: a chunk read at a wrong offset, a dropped last
// chunk or a chunk past the end each change the checksum.
class ChunkedPayloadTest : public SegmentLogTest,
                           public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ChunkedPayloadTest, StreamedCrcEqualsWholeCrc) {
  const Bytes payload = pattern(GetParam());
  const std::uint64_t at = append(SegmentType::Record, payload);
  EXPECT_THAT(stream_crc32c(store_, at + kSegmentHeaderSize, payload.size()),
              IsOkAndHolds(crc32c(payload)));
  append(SegmentType::Manifest, pattern(18));
  ASSERT_OK_AND_ASSIGN(const std::vector<SegmentMeta> metas, scan_segments(store_, kDataStart));
  ASSERT_EQ(metas.size(), 2u);
  EXPECT_EQ(metas[0].header.payload_len, payload.size());
  EXPECT_THAT(read_segment_payload(store_, metas[0]), IsOkAndHolds(payload));
}

TEST_P(ChunkedPayloadTest, CorruptionInAnyChunkIsFound) {
  const Bytes payload = pattern(GetParam());
  const std::uint64_t at = append(SegmentType::Record, payload);
  for (std::uint64_t i : {std::uint64_t{0}, std::uint64_t{8191}, payload.size() - 1}) {
    if (i >= payload.size()) continue;
    SCOPED_TRACE(i);
    flip_byte(at + kSegmentHeaderSize + i);
    EXPECT_THAT(scan_segments(store_, kDataStart),
                ErrorRenders("format error: segment payload checksum mismatch"));
    flip_byte(at + kSegmentHeaderSize + i);
  }
  EXPECT_THAT(scan_segments(store_, kDataStart), IsOkAndHolds(::testing::SizeIs(1)));
}

INSTANTIATE_TEST_SUITE_P(AroundChunkSize, ChunkedPayloadTest,
                         ::testing::Values(1, 8191, 8192, 8193, 16384, 20000));

TEST_F(SegmentLogTest, ReadPayloadOfEachSegment) {
  append(SegmentType::Catalog, pattern(7));
  append(SegmentType::TxnCommit, Bytes{});
  ASSERT_OK_AND_ASSIGN(const std::vector<SegmentMeta> metas, scan_segments(store_, kDataStart));
  ASSERT_EQ(metas.size(), 2u);
  EXPECT_THAT(read_segment_payload(store_, metas[0]), IsOkAndHolds(pattern(7)));
  EXPECT_THAT(read_segment_payload(store_, metas[1]), IsOkAndHolds(Bytes{}));
}

TEST_F(SegmentLogTest, ScannedPayloadsAppendAndACutStoreFailsTheRead) {
  append(SegmentType::Record, pattern(7));
  const std::uint64_t second = append(SegmentType::Index, pattern(3));
  ASSERT_OK_AND_ASSIGN(const std::vector<SegmentMeta> metas, scan_segments(store_, kDataStart));
  ASSERT_EQ(metas.size(), 2u);
  Bytes out{9};
  ASSERT_OK(append_scanned_segment_payload(store_, metas[0], out));
  ASSERT_OK(append_scanned_segment_payload(store_, metas[1], out));
  Bytes expected{9};
  for (const Bytes& part : {pattern(7), pattern(3)}) {
    expected.insert(expected.end(), part.begin(), part.end());
  }
  EXPECT_EQ(out, expected);
  // The store shrank after the scan: the read reports the store's own error.
  cut_to(second + kSegmentHeaderSize + 1);
  EXPECT_THAT(append_scanned_segment_payload(store_, metas[1], out),
              ErrorRenders("i/o error: read past end of VecStore"));
}

TEST_F(SegmentLogTest, ReadPayloadPastTheEndFailsWithoutAllocating) {
  const std::uint64_t at = append(SegmentType::Record, pattern(10));
  SegmentMeta meta{at, {11, 0, SegmentType::Record}};
  EXPECT_THAT(read_segment_payload(store_, meta),
              ErrorRenders("i/o error: read past end of VecStore"));
  // A length read off a damaged disk must not become a huge allocation.
  meta.header.payload_len = std::uint64_t{1} << 62;
  EXPECT_THAT(read_segment_payload(store_, meta),
              ErrorRenders("i/o error: read past end of VecStore"));
  meta.header.payload_len = kMaxU64;
  EXPECT_THAT(read_segment_payload(store_, meta),
              ErrorRenders("i/o error: read past end of VecStore"));
}

}  // namespace
}  // namespace quarn
