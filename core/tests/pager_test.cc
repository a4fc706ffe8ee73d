// Tests of the page cache: which pages it holds after reads, writes and truncates, and that
// no read ever returns bytes the inner store no longer holds.
#include "pager.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fault_store.h"
#include "testing/matchers.h"
#include "testing/store_bytes.h"
#include "testing/temp_dir.h"

namespace quarn {
namespace {

// A store's page map, seen without the engine naming its tests: an explicit instantiation may
// name a private member, and ExposePageCache keeps a pointer to it for the store type S.
template <class S>
struct PageCacheOf {
  static inline std::unique_ptr<PageCache> PagedStore<S>::*member = nullptr;
};
template <class S, std::unique_ptr<PageCache> PagedStore<S>::*Member>
struct ExposePageCache {
  static inline const bool exposed = (PageCacheOf<S>::member = Member, true);
};
template struct ExposePageCache<VecStore, &PagedStore<VecStore>::cache_>;
template struct ExposePageCache<RawFileStore, &PagedStore<RawFileStore>::cache_>;
template struct ExposePageCache<testing::FaultStore, &PagedStore<testing::FaultStore>::cache_>;

template <class S>
PageCache& page_cache_of(const PagedStore<S>& store) {
  return *(store.*PageCacheOf<S>::member);
}

// The cached page numbers in ascending order.
template <class S>
std::vector<std::uint64_t> cached_pages(const PagedStore<S>& store) {
  PageCache& cache = page_cache_of(store);
  std::vector<std::uint64_t> out;
  {
    PageCache::Guard guard(cache);
    for (const auto& entry : cache.pages) out.push_back(entry.first);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Aborts a guarded section of the page map the way a failed allocation would.
template <class S>
void throw_while_locked(PagedStore<S>& store) {
  PageCache::Guard guard(page_cache_of(store));
  throw std::bad_alloc();
}

using ::quarn::testing::bytes_of;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::FaultStore;
using ::quarn::testing::IsOk;
using ::quarn::testing::IsOkAndHolds;
using ::quarn::testing::read_bytes;
using ::quarn::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Pages = std::vector<std::uint64_t>;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kPage = FileStore::kPageSize;
constexpr std::uint64_t kImageLen = 40000;

// Distinct, non-zero bytes, so a stale or zeroed page never matches by accident.
Bytes pattern(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i % 251 + 1);
  return out;
}

TEST(PagedStoreTest, PageSizeIsAtLeast512) {
  const std::pair<std::size_t, std::size_t> cases[] = {
      {0, 512}, {511, 512}, {512, 512}, {513, 513}};
  for (const auto& [requested, expected] : cases) {
    EXPECT_EQ(PagedStore<VecStore>(VecStore(), requested).page_size(), expected)
        << "requested " << requested;
  }
  EXPECT_EQ(FileStore::kPageSize, 16384u);
}

// A file store of three pages (the last one partial), every page read once.
class FilePagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_OK_AND_ASSIGN(store_,
                         FileStore::open(dir_.file("db").string(), OpenMode::CreateIfMissing));
    ASSERT_OK(store_->write_all_at(0, image_));
    ASSERT_THAT(read_bytes(*store_, 0, kImageLen), IsOkAndHolds(image_));
    ASSERT_THAT(cached_pages(store_->paged()), ElementsAre(0, 1, 2));
  }

  TempDir dir_;
  Bytes image_ = pattern(kImageLen);
  std::optional<FileStore> store_;
};

TEST_F(FilePagesTest, ZeroLengthReadAtTheEndOnly) {
  EXPECT_THAT(read_bytes(*store_, kImageLen, 0), IsOkAndHolds(Bytes()));
  EXPECT_THAT(read_bytes(*store_, kImageLen + 1, 0),
              ErrorRenders("i/o error: read past end of store"));
  // Cached zeros past the end of file are never served.
  EXPECT_THAT(read_bytes(*store_, kImageLen - 1, 2),
              ErrorRenders("i/o error: read past end of store"));
}

TEST_F(FilePagesTest, WriteDropsExactlyTheTouchedPages) {
  ASSERT_OK(store_->write_all_at(kPage - 1, Bytes()));
  EXPECT_THAT(cached_pages(store_->paged()), ElementsAre(0, 1, 2));

  ASSERT_OK(store_->write_all_at(kPage - 1, bytes_of("ab")));
  EXPECT_THAT(cached_pages(store_->paged()), ElementsAre(2));
  EXPECT_THAT(read_bytes(*store_, kPage - 2, 4),
              IsOkAndHolds(Bytes{image_[kPage - 2], 'a', 'b', image_[kPage + 1]}));

  ASSERT_OK(store_->write_all_at(2 * kPage, bytes_of("c")));
  EXPECT_THAT(cached_pages(store_->paged()), ElementsAre(0, 1));
}

struct TruncateCase {
  std::uint64_t length;
  Pages kept;
};

class FileTruncateTest : public FilePagesTest,
                         public ::testing::WithParamInterface<TruncateCase> {};

TEST_P(FileTruncateTest, KeepsOnlyPagesWhollyBelowTheNewEnd) {
  ASSERT_OK(store_->truncate(GetParam().length));
  EXPECT_EQ(cached_pages(store_->paged()), GetParam().kept);
  EXPECT_THAT(store_->len(), IsOkAndHolds(GetParam().length));
  EXPECT_THAT(read_bytes(*store_, 0, GetParam().length),
              IsOkAndHolds(Bytes(image_.begin(),
                                 image_.begin() + static_cast<std::ptrdiff_t>(GetParam().length))));
}

INSTANTIATE_TEST_SUITE_P(Lengths, FileTruncateTest,
                         ::testing::Values(TruncateCase{20000, {0}}, TruncateCase{16384, {0}},
                                           TruncateCase{16383, {}}, TruncateCase{0, {}},
                                           // The partial last page straddles the same end.
                                           TruncateCase{kImageLen, {0, 1}},
                                           TruncateCase{2 * kPage, {0, 1}}),
                         [](const ::testing::TestParamInfo<TruncateCase>& param) {
                           return "To" + std::to_string(param.param.length);
                         });

TEST_F(FilePagesTest, GapAfterTruncateAndWriteReadsZero) {
  const std::uint64_t cut = kPage + 100;
  ASSERT_OK(store_->truncate(cut));
  ASSERT_OK(store_->write_all_at(kImageLen, bytes_of("end")));
  EXPECT_THAT(read_bytes(*store_, cut, kImageLen - cut), IsOkAndHolds(Bytes(kImageLen - cut, 0)));
  EXPECT_THAT(
      read_bytes(*store_, 0, cut),
      IsOkAndHolds(Bytes(image_.begin(), image_.begin() + static_cast<std::ptrdiff_t>(cut))));
}

// Over a counting store: which reads reach the inner store.
class CountedPagesTest : public ::testing::Test {
 protected:
  CountedPagesTest() : store_(FaultStore(pattern(3 * 512)), 512) {}
  std::uint64_t inner_reads() const { return store_.inner().reads(); }

  PagedStore<FaultStore> store_;
  Bytes image_ = pattern(3 * 512);
};

TEST_F(CountedPagesTest, ReadAcrossPagesLoadsEachOnceThenHits) {
  EXPECT_THAT(read_bytes(store_, 500, 20),
              IsOkAndHolds(Bytes(image_.begin() + 500, image_.begin() + 520)));
  EXPECT_EQ(inner_reads(), 2u);
  EXPECT_THAT(cached_pages(store_), ElementsAre(0, 1));

  EXPECT_THAT(read_bytes(store_, 0, 1024),
              IsOkAndHolds(Bytes(image_.begin(), image_.begin() + 1024)));
  EXPECT_THAT(read_bytes(store_, 511, 1), IsOkAndHolds(Bytes{image_[511]}));
  EXPECT_EQ(inner_reads(), 2u);

  // A write never fills a page: the next read loads it again.
  ASSERT_OK(store_.write_all_at(600, bytes_of("new")));
  EXPECT_THAT(cached_pages(store_), ElementsAre(0));
  EXPECT_THAT(read_bytes(store_, 600, 3), IsOkAndHolds(bytes_of("new")));
  EXPECT_EQ(inner_reads(), 3u);
}

// The inner write may tear: some new bytes reach the store before the error. The pages of the
// whole range must go, or a later read serves bytes the store no longer holds.
TEST_F(CountedPagesTest, FailedWriteStillDropsItsPages) {
  ASSERT_THAT(read_bytes(store_, 0, 3 * 512), IsOk());
  store_.inner().fail_write_at(1, FaultStore::eio(), 3);
  EXPECT_THAT(store_.write_all_at(510, bytes_of("bbbbbbbbbb")),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  EXPECT_THAT(cached_pages(store_), ElementsAre(2));
  EXPECT_THAT(read_bytes(store_, 508, 6),
              IsOkAndHolds(Bytes{image_[508], image_[509], 'b', 'b', 'b', image_[513]}));
}

TEST_F(CountedPagesTest, FailedTruncateLeavesCacheAndStore) {
  ASSERT_THAT(read_bytes(store_, 0, 3 * 512), IsOk());
  store_.inner().fail_truncate_at(1);
  EXPECT_THAT(store_.truncate(10), ErrorRenders("i/o error: Input/output error (os error 5)"));
  EXPECT_THAT(cached_pages(store_), ElementsAre(0, 1, 2));
  EXPECT_THAT(store_.len(), IsOkAndHolds(3u * 512));
}

TEST_F(CountedPagesTest, OffsetsNearTheTopOfTheRange) {
  ASSERT_THAT(read_bytes(store_, 0, 512), IsOk());
  EXPECT_THAT(read_bytes(store_, kMax - 1, 4), ErrorRenders("i/o error: overflow"));
  EXPECT_THAT(read_bytes(store_, kMax, 0), ErrorRenders("i/o error: read past end of store"));
  // The inner store refuses the write; dropping the pages of a range at the top ends at once.
  EXPECT_THAT(store_.write_all_at(kMax - 1, bytes_of("wxyz")), ErrorRenders("i/o error: overflow"));
  EXPECT_THAT(cached_pages(store_), ElementsAre(0));
  // The end of the last page saturates; every page lies below the greatest length.
  ASSERT_THAT(read_bytes(store_, 512, 1024), IsOk());
  ASSERT_OK(store_.truncate(kMax));
  EXPECT_THAT(cached_pages(store_), ElementsAre(0, 1, 2));
}

// A cache of two pages over four: the page least recently read makes room, a hit counts as a
// read, and a read longer than the cache still returns every byte.
TEST(PagedStoreTest, EvictsTheLeastRecentlyReadPage) {
  const Bytes image = pattern(4 * 512);
  PagedStore<FaultStore> store(FaultStore(image), 512, 2);
  EXPECT_EQ(store.max_pages(), 2u);
  ASSERT_THAT(read_bytes(store, 0, 1024), IsOk());
  ASSERT_THAT(read_bytes(store, 0, 1), IsOk());
  ASSERT_THAT(read_bytes(store, 1024, 1), IsOk());
  EXPECT_THAT(cached_pages(store), ElementsAre(0, 2));
  EXPECT_EQ(store.inner().reads(), 3u);

  // Page 0 hits; pages 1 to 3 each evict the oldest, page 1 among them once it is oldest.
  EXPECT_THAT(read_bytes(store, 0, 4 * 512), IsOkAndHolds(image));
  EXPECT_THAT(cached_pages(store), ElementsAre(2, 3));
  EXPECT_EQ(store.inner().reads(), 6u);

  ASSERT_OK(store.write_all_at(3 * 512, bytes_of("w")));
  EXPECT_THAT(cached_pages(store), ElementsAre(2));
  EXPECT_THAT(read_bytes(store, 3 * 512, 2), IsOkAndHolds(Bytes{'w', image[3 * 512 + 1]}));
  EXPECT_THAT(cached_pages(store), ElementsAre(2, 3));

  EXPECT_EQ(PagedStore<VecStore>(VecStore(), 512, 0).max_pages(), 1u);
  EXPECT_EQ(FileStore(RawFileStore(-1)).paged().max_pages(),
            PagedStore<RawFileStore>::kDefaultMaxPages);
}

TEST(PagedStoreTest, LongReadsGoStraightToTheInnerStore) {
  constexpr std::size_t kPages = PagedStore<FaultStore>::kDirectReadPages;
  const Bytes image = pattern((kPages + 2) * 512);
  PagedStore<FaultStore> store(FaultStore(image), 512, 4);
  ASSERT_THAT(read_bytes(store, 0, 1), IsOk());
  EXPECT_THAT(read_bytes(store, 100, kPages * 512),
              IsOkAndHolds(Bytes(image.begin() + 100, image.begin() + 100 + kPages * 512)));
  // One inner read, and the page cached before is still the only one.
  EXPECT_EQ(store.inner().reads(), 2u);
  EXPECT_THAT(cached_pages(store), ElementsAre(0));
  EXPECT_THAT(read_bytes(store, image.size() - kPages * 512 + 1, kPages * 512),
              ErrorRenders("i/o error: read past end of store"));
}

// An exception that unwinds through the locked section poisons the map for good; inner calls
// made before the lock is needed still happen.
TEST(PagedStoreTest, PoisonedLockFailsEveryMapOperation) {
  PagedStore<VecStore> store(VecStore(pattern(2048)), 512);
  ASSERT_THAT(read_bytes(store, 0, 100), IsOk());
  EXPECT_THROW(throw_while_locked(store), std::bad_alloc);

  const char* poisoned = "i/o error: pager mutex poisoned";
  EXPECT_THAT(read_bytes(store, 0, 100), ErrorRenders(poisoned));
  EXPECT_THAT(store.write_all_at(0, bytes_of("xy")), ErrorRenders(poisoned));
  EXPECT_EQ(store.inner().bytes()[1], 'y');
  EXPECT_THAT(store.truncate(1000), ErrorRenders(poisoned));
  EXPECT_THAT(store.len(), IsOkAndHolds(1000u));
  EXPECT_OK(store.sync());
  // An empty write needs no lock.
  EXPECT_OK(store.write_all_at(0, Bytes()));
}

}  // namespace
}  // namespace quarn
