// Tests of the byte stores: one conformance suite every store runs, then what is particular to
// the raw file and to the fault-injecting test store.
#include "storage.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pager.h"
#include "testing/fault_store.h"
#include "testing/matchers.h"
#include "testing/store_bytes.h"
#include "testing/temp_dir.h"

namespace quarn {
namespace {

using ::quarn::testing::bytes_of;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::FaultStore;
using ::quarn::testing::IsOk;
using ::quarn::testing::IsOkAndHolds;
using ::quarn::testing::read_bytes;
using ::quarn::testing::TempDir;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr const char* kEinval = "i/o error: Invalid argument (os error 22)";

// How each store is made, and the texts where the stores differ.
template <class S>
struct StoreTraits;

template <>
struct StoreTraits<VecStore> {
  static VecStore make(const TempDir&) { return VecStore(); }
  static constexpr const char* kPastEnd = "i/o error: read past end of VecStore";
  static constexpr const char* kReadOverflow = "i/o error: read past end of VecStore";
  static constexpr const char* kWriteOverflow = "i/o error: overflow";
};

template <>
struct StoreTraits<FaultStore> {
  static FaultStore make(const TempDir&) { return FaultStore(); }
  static constexpr const char* kPastEnd = "i/o error: read past end of VecStore";
  static constexpr const char* kReadOverflow = "i/o error: read past end of VecStore";
  static constexpr const char* kWriteOverflow = "i/o error: overflow";
};

template <>
struct StoreTraits<RawFileStore> {
  static RawFileStore make(const TempDir& dir) {
    return RawFileStore::open(dir.file("store").string(), OpenMode::CreateIfMissing).value();
  }
  static constexpr const char* kPastEnd = "i/o error: failed to fill whole buffer";
  // The seek rejects an offset beyond the signed range.
  static constexpr const char* kReadOverflow = kEinval;
  static constexpr const char* kWriteOverflow = kEinval;
};

// A small page, so short images already span many pages.
template <>
struct StoreTraits<PagedStore<VecStore>> {
  static PagedStore<VecStore> make(const TempDir&) { return PagedStore<VecStore>(VecStore(), 512); }
  static constexpr const char* kPastEnd = "i/o error: read past end of store";
  static constexpr const char* kReadOverflow = "i/o error: overflow";
  static constexpr const char* kWriteOverflow = "i/o error: overflow";
};

template <>
struct StoreTraits<FileStore> {
  static FileStore make(const TempDir& dir) {
    return FileStore::open(dir.file("store").string(), OpenMode::CreateIfMissing).value();
  }
  static constexpr const char* kPastEnd = "i/o error: read past end of store";
  static constexpr const char* kReadOverflow = "i/o error: overflow";
  static constexpr const char* kWriteOverflow = kEinval;
};

template <class S>
class StoreConformanceTest : public ::testing::Test {
 protected:
  StoreConformanceTest() : store_(StoreTraits<S>::make(dir_)) {}

  TempDir dir_;
  S store_;
};

using StoreTypes =
    ::testing::Types<VecStore, RawFileStore, PagedStore<VecStore>, FileStore, FaultStore>;

class StoreNames {
 public:
  template <class S>
  static std::string GetName(int) {
    if constexpr (std::is_same_v<S, VecStore>) return "VecStore";
    if constexpr (std::is_same_v<S, RawFileStore>) return "RawFileStore";
    if constexpr (std::is_same_v<S, PagedStore<VecStore>>) return "PagedStore";
    if constexpr (std::is_same_v<S, FileStore>) return "FileStore";
    return "FaultStore";
  }
};

TYPED_TEST_SUITE(StoreConformanceTest, StoreTypes, StoreNames);

TYPED_TEST(StoreConformanceTest, WritesLandAtTheirOffsets) {
  auto& store = this->store_;
  ASSERT_OK(store.write_all_at(0, bytes_of("hello world")));
  // A read before the overwrite lets a page cache hold the old bytes.
  EXPECT_THAT(read_bytes(store, 0, 11), IsOkAndHolds(bytes_of("hello world")));
  ASSERT_OK(store.write_all_at(6, bytes_of("WORLD")));
  ASSERT_OK(store.write_all_at(11, bytes_of("!!")));
  EXPECT_THAT(store.len(), IsOkAndHolds(13u));
  EXPECT_THAT(read_bytes(store, 0, 13), IsOkAndHolds(bytes_of("hello WORLD!!")));
  EXPECT_THAT(read_bytes(store, 4, 4), IsOkAndHolds(bytes_of("o WO")));
  EXPECT_THAT(read_bytes(store, 13, 0), IsOkAndHolds(Bytes()));
  // A write that starts inside and ends past the end.
  ASSERT_OK(store.write_all_at(12, bytes_of("?#")));
  EXPECT_THAT(read_bytes(store, 0, 14), IsOkAndHolds(bytes_of("hello WORLD!?#")));
}

TYPED_TEST(StoreConformanceTest, GapReadsAsZero) {
  auto& store = this->store_;
  ASSERT_OK(store.write_all_at(0, bytes_of("head")));
  EXPECT_THAT(read_bytes(store, 0, 4), IsOkAndHolds(bytes_of("head")));
  ASSERT_OK(store.write_all_at(1000, bytes_of("tail")));
  EXPECT_THAT(store.len(), IsOkAndHolds(1004u));
  Bytes expected(1004, 0);
  std::copy_n("head", 4, expected.begin());
  std::copy_n("tail", 4, expected.begin() + 1000);
  EXPECT_THAT(read_bytes(store, 0, 1004), IsOkAndHolds(expected));
}

TYPED_TEST(StoreConformanceTest, WriteAtOffsetOfEmptyStoreZeroFillsFront) {
  auto& store = this->store_;
  ASSERT_OK(store.write_all_at(100, bytes_of("xyz")));
  EXPECT_THAT(store.len(), IsOkAndHolds(103u));
  Bytes expected(100, 0);
  expected.insert(expected.end(), {'x', 'y', 'z'});
  EXPECT_THAT(read_bytes(store, 0, 103), IsOkAndHolds(expected));
}

TYPED_TEST(StoreConformanceTest, ReadsPastTheEndFail) {
  auto& store = this->store_;
  ASSERT_OK(store.write_all_at(0, bytes_of("0123456789")));
  const char* past_end = StoreTraits<TypeParam>::kPastEnd;
  EXPECT_THAT(read_bytes(store, 8, 5), ErrorRenders(past_end));
  EXPECT_THAT(read_bytes(store, 10, 1), ErrorRenders(past_end));
  EXPECT_THAT(read_bytes(store, 1000, 3), ErrorRenders(past_end));
  EXPECT_THAT(read_bytes(store, 0, 10), IsOkAndHolds(bytes_of("0123456789")));
  EXPECT_THAT(read_bytes(store, kMax - 1, 4), ErrorRenders(StoreTraits<TypeParam>::kReadOverflow));
}

TYPED_TEST(StoreConformanceTest, WritePastTheOffsetRangeFailsAndChangesNothing) {
  auto& store = this->store_;
  ASSERT_OK(store.write_all_at(0, bytes_of("abc")));
  EXPECT_THAT(store.write_all_at(kMax - 1, bytes_of("wxyz")),
              ErrorRenders(StoreTraits<TypeParam>::kWriteOverflow));
  EXPECT_THAT(store.len(), IsOkAndHolds(3u));
  EXPECT_THAT(read_bytes(store, 0, 3), IsOkAndHolds(bytes_of("abc")));
}

TYPED_TEST(StoreConformanceTest, TruncateCutsAndLaterGrowthReadsZero) {
  auto& store = this->store_;
  Bytes image(2000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i % 251 + 1);
  ASSERT_OK(store.write_all_at(0, image));
  EXPECT_THAT(read_bytes(store, 0, 2000), IsOkAndHolds(image));

  ASSERT_OK(store.truncate(700));
  EXPECT_THAT(store.len(), IsOkAndHolds(700u));
  EXPECT_THAT(read_bytes(store, 690, 20), ErrorRenders(StoreTraits<TypeParam>::kPastEnd));
  EXPECT_THAT(read_bytes(store, 0, 700), IsOkAndHolds(Bytes(image.begin(), image.begin() + 700)));

  ASSERT_OK(store.write_all_at(1500, bytes_of("end")));
  EXPECT_THAT(store.len(), IsOkAndHolds(1503u));
  EXPECT_THAT(read_bytes(store, 700, 800), IsOkAndHolds(Bytes(800, 0)));
  EXPECT_THAT(read_bytes(store, 1500, 3), IsOkAndHolds(bytes_of("end")));

  ASSERT_OK(store.truncate(0));
  EXPECT_THAT(store.len(), IsOkAndHolds(0u));
}

TYPED_TEST(StoreConformanceTest, SyncKeepsTheImage) {
  auto& store = this->store_;
  EXPECT_OK(store.sync());
  ASSERT_OK(store.write_all_at(0, bytes_of("durable")));
  EXPECT_OK(store.sync());
  EXPECT_THAT(store.len(), IsOkAndHolds(7u));
  EXPECT_THAT(read_bytes(store, 0, 7), IsOkAndHolds(bytes_of("durable")));
}

// Many overlapping writes and reads at scattered offsets against a plain model image.
TYPED_TEST(StoreConformanceTest, ScatteredWritesAndReadsMatchModel) {
  auto& store = this->store_;
  std::mt19937_64 rng(20261210);
  Bytes model;
  for (int step = 0; step < 300; ++step) {
    const std::uint64_t offset = rng() % 6000;
    // Writes are never empty: an empty write past the end grows only a VecStore.
    const std::size_t n = static_cast<std::size_t>(rng() % 1500) + (step % 2 == 0 ? 1 : 0);
    if (step % 2 == 0) {
      Bytes chunk(n);
      for (auto& b : chunk) b = static_cast<std::uint8_t>(rng());
      ASSERT_OK(store.write_all_at(offset, chunk));
      if (offset + n > model.size()) model.resize(offset + n, 0);
      std::copy(chunk.begin(), chunk.end(), model.begin() + static_cast<std::ptrdiff_t>(offset));
    } else if (offset + n <= model.size()) {
      const auto begin = model.begin() + static_cast<std::ptrdiff_t>(offset);
      ASSERT_THAT(read_bytes(store, offset, n),
                  IsOkAndHolds(Bytes(begin, begin + static_cast<std::ptrdiff_t>(n))))
          << "step " << step << " offset " << offset << " length " << n;
    }
  }
  EXPECT_THAT(store.len(), IsOkAndHolds(model.size()));
  EXPECT_THAT(read_bytes(store, 0, model.size()), IsOkAndHolds(model));
}

// A read-once image hands back what its replay applied; the rest reads as before, the bytes
// handed back are never read again, and nothing writes it.
TEST(ReadOnceImageTest, DiscardedBytesAreGoneAndTheRestReadsAsBefore) {
  Bytes bytes(std::size_t{1} << 20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const Bytes original = bytes;
  ReadOnceImage store(std::move(bytes));
  store.discard(100, 200'000);
  store.discard(100, 600'000);
  const auto slice = [&](std::size_t from, std::size_t n) {
    return Bytes(original.begin() + static_cast<std::ptrdiff_t>(from),
                 original.begin() + static_cast<std::ptrdiff_t>(from + n));
  };
  EXPECT_THAT(read_bytes(store, 0, 100), IsOkAndHolds(slice(0, 100)));
  EXPECT_THAT(read_bytes(store, 600'000, 400'000), IsOkAndHolds(slice(600'000, 400'000)));
  std::array<std::uint8_t, 8> out;
  EXPECT_THROW((void)store.read_exact_at(300'000, out), InternalFault);
  EXPECT_THAT(store.read_exact_at(original.size() - 4, out),
              ErrorRenders("i/o error: read past end of VecStore"));
  EXPECT_THAT(store.write_all_at(700'000, ByteSpan(out)),
              ErrorRenders("i/o error: a read-once image is not written"));
  ASSERT_OK(store.truncate(800'000));
  EXPECT_THAT(store.len(), IsOkAndHolds(800'000u));
}

// The raw file: opening, ownership of the handle, growth by truncate.

class RawFileStoreTest : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return dir_.file(name).string(); }
  TempDir dir_;
};

TEST_F(RawFileStoreTest, OpenModesCreateAndTruncateAsNamed) {
  struct Case {
    OpenMode mode;
    bool existing;
    std::uint64_t expected_len;
  };
  const Case cases[] = {
      {OpenMode::CreateIfMissing, false, 0}, {OpenMode::CreateIfMissing, true, 3},
      {OpenMode::Truncate, false, 0},        {OpenMode::Truncate, true, 0},
      {OpenMode::ExistingOnly, true, 3},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("case " + std::to_string(i));
    const std::string file = path(("f" + std::to_string(i++)).c_str());
    if (c.existing) {
      ASSERT_OK_AND_ASSIGN(RawFileStore seed, RawFileStore::open(file, OpenMode::CreateIfMissing));
      ASSERT_OK(seed.write_all_at(0, bytes_of("abc")));
    }
    ASSERT_OK_AND_ASSIGN(RawFileStore store, RawFileStore::open(file, c.mode));
    EXPECT_THAT(store.len(), IsOkAndHolds(c.expected_len));
    // Every mode gives read and write access.
    EXPECT_OK(store.write_all_at(c.expected_len, bytes_of("z")));
    EXPECT_THAT(read_bytes(store, c.expected_len, 1), IsOkAndHolds(bytes_of("z")));
  }
}

TEST_F(RawFileStoreTest, OpenFailuresCarryTheSystemError) {
  EXPECT_THAT(RawFileStore::open(path("missing"), OpenMode::ExistingOnly),
              ErrorRenders("i/o error: No such file or directory (os error 2)"));
  EXPECT_THAT(RawFileStore::open(path("no-dir/file"), OpenMode::CreateIfMissing),
              ErrorRenders("i/o error: No such file or directory (os error 2)"));
  EXPECT_THAT(RawFileStore::open(dir_.path().string(), OpenMode::CreateIfMissing),
              ErrorRenders("i/o error: Is a directory (os error 21)"));
  // Without the check the name would be cut at the NUL and open another file.
  EXPECT_THAT(RawFileStore::open(path("a") + std::string(1, '\0') + "b", OpenMode::CreateIfMissing),
              ErrorRenders("i/o error: file name contained an unexpected NUL byte"));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("a")));
}

TEST_F(RawFileStoreTest, CreatedFileHasUmaskedModeAndCloseOnExec) {
  const mode_t old_mask = ::umask(027);
  auto opened = RawFileStore::open(path("f"), OpenMode::CreateIfMissing);
  ::umask(old_mask);
  ASSERT_OK(opened);
  struct stat st;
  ASSERT_EQ(::stat(path("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_NE(::fcntl(opened.value().fd(), F_GETFD) & FD_CLOEXEC, 0);
}

bool fd_is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

TEST_F(RawFileStoreTest, MovedHandleHasOneOwnerAndDropCloses) {
  ASSERT_OK_AND_ASSIGN(RawFileStore a, RawFileStore::open(path("a"), OpenMode::CreateIfMissing));
  ASSERT_OK_AND_ASSIGN(RawFileStore b, RawFileStore::open(path("b"), OpenMode::CreateIfMissing));
  const int fd_a = a.fd();
  const int fd_b = b.fd();
  {
    RawFileStore moved(std::move(a));
    EXPECT_EQ(a.fd(), -1);
    ASSERT_OK(moved.write_all_at(0, bytes_of("a")));
    // Assigning over b closes b's file.
    b = std::move(moved);
    EXPECT_FALSE(fd_is_open(fd_b));
    EXPECT_EQ(b.fd(), fd_a);
  }
  EXPECT_TRUE(fd_is_open(fd_a));
  EXPECT_THAT(read_bytes(b, 0, 1), IsOkAndHolds(bytes_of("a")));
  { RawFileStore dropped(std::move(b)); }
  EXPECT_FALSE(fd_is_open(fd_a));
}

TEST_F(RawFileStoreTest, TruncateToGreaterLengthExtendsWithZeros) {
  ASSERT_OK_AND_ASSIGN(FileStore store, FileStore::open(path("f"), OpenMode::CreateIfMissing));
  ASSERT_OK(store.write_all_at(0, bytes_of("abc")));
  EXPECT_THAT(read_bytes(store, 0, 3), IsOkAndHolds(bytes_of("abc")));
  ASSERT_OK(store.truncate(100));
  EXPECT_THAT(store.len(), IsOkAndHolds(100u));
  Bytes expected(100, 0);
  std::copy_n("abc", 3, expected.begin());
  EXPECT_THAT(read_bytes(store, 0, 100), IsOkAndHolds(expected));
}

// The file store writes straight through and asks the system for the length every time.
TEST_F(RawFileStoreTest, FileStoreWritesThroughAndNeverCachesLength) {
  ASSERT_OK_AND_ASSIGN(FileStore store, FileStore::open(path("f"), OpenMode::CreateIfMissing));
  ASSERT_OK_AND_ASSIGN(RawFileStore other, RawFileStore::open(path("f"), OpenMode::ExistingOnly));
  ASSERT_OK(store.write_all_at(0, bytes_of("through")));
  EXPECT_THAT(read_bytes(other, 0, 7), IsOkAndHolds(bytes_of("through")));
  ASSERT_OK(other.write_all_at(7, Bytes(100, 1)));
  EXPECT_THAT(store.len(), IsOkAndHolds(107u));
}

// The fault-injecting store the failure-path tests of later layers rely on.

TEST(FaultStoreTest, CrashKeepsOnlySyncedBytes) {
  FaultStore store(bytes_of("base"));
  EXPECT_EQ(store.crash(), bytes_of("base"));
  ASSERT_OK(store.write_all_at(4, bytes_of("+one")));
  ASSERT_OK(store.sync());
  ASSERT_OK(store.write_all_at(8, bytes_of("+two")));
  ASSERT_OK(store.truncate(2));
  EXPECT_EQ(store.bytes(), bytes_of("ba"));
  EXPECT_EQ(store.crash(), bytes_of("base+one"));
  EXPECT_EQ(store.bytes(), bytes_of("base+one"));
}

TEST(FaultStoreTest, ArmedFaultsFireOnceAtTheirCall) {
  FaultStore store;
  store.fail_write_at(2, FaultStore::eio(), 2);
  store.fail_sync_at(1, IoError::from_errno(ENOSPC));
  store.fail_truncate_at(1);
  ASSERT_OK(store.write_all_at(0, bytes_of("one")));
  // A torn write: the prefix lands, the call fails.
  EXPECT_THAT(store.write_all_at(3, bytes_of("two")),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  EXPECT_EQ(store.bytes(), bytes_of("onetw"));
  EXPECT_OK(store.write_all_at(3, bytes_of("two")));
  EXPECT_THAT(store.sync(), ErrorRenders("i/o error: No space left on device (os error 28)"));
  EXPECT_TRUE(store.synced_bytes().empty());
  EXPECT_OK(store.sync());
  EXPECT_THAT(store.truncate(1), ErrorRenders("i/o error: Input/output error (os error 5)"));
  EXPECT_EQ(store.bytes(), bytes_of("onetwo"));
  EXPECT_OK(store.truncate(1));
  EXPECT_EQ(store.writes(), 3u);
  EXPECT_EQ(store.syncs(), 2u);
  EXPECT_EQ(store.truncates(), 2u);
}

TEST(FaultStoreTest, MutationFaultWalksEveryStep) {
  auto steps = [](FaultStore& s) -> Status {
    QUARN_TRY(s.write_all_at(0, bytes_of("abcd")));
    QUARN_TRY(s.sync());
    QUARN_TRY(s.truncate(2));
    return s.sync();
  };
  FaultStore clean;
  ASSERT_OK(steps(clean));
  ASSERT_EQ(clean.mutations(), 4u);
  const std::vector<Bytes> durable_after_crash = {{}, {}, bytes_of("abcd"), bytes_of("abcd")};
  for (std::uint64_t n = 1; n <= clean.mutations(); ++n) {
    SCOPED_TRACE("failing mutation " + std::to_string(n));
    FaultStore store;
    store.fail_mutation_at(n);
    EXPECT_THAT(steps(store), ErrorRenders("i/o error: Input/output error (os error 5)"));
    EXPECT_EQ(store.mutations(), n);
    EXPECT_EQ(store.crash(), durable_after_crash[n - 1]);
  }
}

}  // namespace
}  // namespace quarn
