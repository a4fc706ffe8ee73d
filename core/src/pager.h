// The write-through page cache over an inner store, and the file store built on it.
// Writes go to the inner store at once and only invalidate cached pages, so the cache never
// holds bytes the inner store lacks. It holds a fixed number of pages, whatever the file's size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include "bytes.h"
#include "result.h"
#include "storage.h"

namespace quarn {

// The page map of a PagedStore and the lock that guards it. An exception that escapes while the
// lock is held (allocation failure) poisons the map for good.
struct PageCache {
  struct Page {
    Bytes bytes;
    // The value of `uses` when the page was last read; the least recent goes first.
    std::uint64_t last_use = 0;
  };

  // Holds the lock; poisons the map when an exception unwinds through the guarded section.
  class Guard {
   public:
    explicit Guard(PageCache& cache)
        : cache_(cache), lock_(cache.mutex), exceptions_(std::uncaught_exceptions()) {}
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_) cache_.poisoned = true;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    PageCache& cache_;
    std::lock_guard<std::mutex> lock_;
    int exceptions_;
  };

  std::mutex mutex;
  bool poisoned = false;
  std::unordered_map<std::uint64_t, Page> pages;
  // Counts reads served from or loaded into the map.
  std::uint64_t uses = 0;
};

// Reads through a map of at most max_pages whole pages (page p holds bytes [p * size,
// (p+1) * size), zero past the end of the inner store when it was loaded); loading one more
// evicts the page least recently read, so memory stays bounded however large the file. Every
// write and truncate through this object drops the pages it touches, so the cache matches the
// inner store as long as nothing else changes it. On that same ground reads bound themselves by
// a length asked of the inner store once and then kept up by writes and truncates, instead of
// asking on every read. The map's lock is never held during an inner
// call. An exception that escapes while the lock is held (allocation failure) poisons it: every
// later operation that needs the map fails with Other "pager mutex poisoned".
// One thread at a time: the inner store's own state is not guarded.
template <Store S>
class PagedStore {
 public:
  static constexpr std::size_t kMinPageSize = 512;
  // Reads of at least this many pages bypass the cache.
  static constexpr std::size_t kDirectReadPages = 8;
  static constexpr std::size_t kDefaultMaxPages = 128;

  // The page size is requested_page_size, raised to at least kMinPageSize; the cache holds
  // max_pages, raised to at least 1.
  PagedStore(S inner, std::size_t requested_page_size, std::size_t max_pages = kDefaultMaxPages)
      : inner_(std::move(inner)),
        page_size_(std::max(requested_page_size, kMinPageSize)),
        max_pages_(std::max<std::size_t>(max_pages, 1)),
        cache_(std::make_unique<PageCache>()) {}
  PagedStore(const PagedStore&) = delete;
  PagedStore& operator=(const PagedStore&) = delete;
  PagedStore(PagedStore&&) = default;
  PagedStore& operator=(PagedStore&&) = default;

  // Writes through to the inner store, then drops the touched pages. When the inner write
  // fails, its error is returned after the pages are dropped anyway: it may have written part.
  Status write_all_at(std::uint64_t offset, ByteSpan bytes);
  // InvalidInput "overflow" when offset + size passes 2^64 - 1; UnexpectedEof "read past end
  // of store" when the range ends beyond the inner store's length at the start of the call.
  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer);
  Result<std::uint64_t> len() { return inner_.len(); }
  Status sync() { return inner_.sync(); }
  // Truncates the inner store (an error leaves the cache as it is), then keeps only the pages
  // that lie wholly below the new length.
  Status truncate(std::uint64_t length);

  std::size_t page_size() const { return page_size_; }
  std::size_t max_pages() const { return max_pages_; }
  S& inner() { return inner_; }
  const S& inner() const { return inner_; }

 private:
  using Guard = PageCache::Guard;

  static DbError poisoned_error() { return io_error(IoErrorKind::Other, "pager mutex poisoned"); }
  Status drop_pages(std::uint64_t first, std::uint64_t last);
  // The inner store's length, asked only when no write or truncate has told it since.
  Result<std::uint64_t> known_len() {
    if (!known_len_) {
      QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, inner_.len());
      known_len_ = len;
    }
    return *known_len_;
  }

  S inner_;
  std::size_t page_size_;
  std::size_t max_pages_;
  // Behind a pointer so the store stays movable; moved-from stores are not used again.
  std::unique_ptr<PageCache> cache_;
  // Nothing after a failed write or truncate, which may have changed the length part-way.
  std::optional<std::uint64_t> known_len_;
};

template <Store S>
Status PagedStore<S>::write_all_at(std::uint64_t offset, ByteSpan bytes) {
  Status written = inner_.write_all_at(offset, bytes);
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  if (!written.ok() || bytes.empty()) {
    // An empty write's effect on the length is the inner store's own business.
    known_len_.reset();
  } else if (known_len_) {
    known_len_ = std::max(*known_len_, bytes.size() > max - offset ? max : offset + bytes.size());
  }
  if (bytes.empty()) return written;
  const std::uint64_t last_byte = bytes.size() - 1 > max - offset ? max : offset + bytes.size() - 1;
  Status dropped = drop_pages(offset / page_size_, last_byte / page_size_);
  // A failed write may have changed part of the range, so its pages go either way; its own
  // error is the one worth reporting.
  if (!written.ok()) return written;
  return dropped;
}

template <Store S>
Status PagedStore<S>::drop_pages(std::uint64_t first, std::uint64_t last) {
  Guard guard(*cache_);
  if (cache_->poisoned) return poisoned_error();
  auto& pages = cache_->pages;
  if (last - first >= pages.size()) {
    std::erase_if(pages,
                  [&](const auto& entry) { return entry.first >= first && entry.first <= last; });
  } else {
    for (std::uint64_t p = first;; ++p) {
      pages.erase(p);
      if (p == last) break;
    }
  }
  return ok_status();
}

template <Store S>
Status PagedStore<S>::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t file_len, known_len());
  const std::uint64_t n = buffer.size();
  if (n > std::numeric_limits<std::uint64_t>::max() - offset) {
    return io_error(IoErrorKind::InvalidInput, "overflow");
  }
  if (offset + n > file_len) return io_error(IoErrorKind::UnexpectedEof, "read past end of store");
  // A long read (the open's read of the whole file) goes straight to the inner store: caching
  // it would only evict what later reads want, and the cache never holds other bytes than the
  // inner store's.
  if (n >= kDirectReadPages * page_size_) return inner_.read_exact_at(offset, buffer);
  std::uint64_t done = 0;
  while (done < n) {
    const std::uint64_t pos = offset + done;
    const std::uint64_t page = pos / page_size_;
    const std::uint64_t in_page = pos % page_size_;
    const std::uint64_t chunk = std::min(page_size_ - in_page, n - done);
    {
      Guard guard(*cache_);
      if (cache_->poisoned) return poisoned_error();
      auto it = cache_->pages.find(page);
      if (it != cache_->pages.end()) {
        it->second.last_use = ++cache_->uses;
        std::memcpy(buffer.data() + done, it->second.bytes.data() + in_page, chunk);
        done += chunk;
        continue;
      }
    }
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t cur_len, known_len());
    if (page > std::numeric_limits<std::uint64_t>::max() / page_size_) {
      return io_error(IoErrorKind::InvalidInput, "page offset overflow");
    }
    const std::uint64_t start = page * page_size_;
    if (cur_len <= start) return io_error(IoErrorKind::UnexpectedEof, "read past end of store");
    Bytes loaded(page_size_, 0);
    const std::uint64_t fill = std::min<std::uint64_t>(page_size_, cur_len - start);
    QUARN_TRY(inner_.read_exact_at(start, std::span<std::uint8_t>(loaded.data(), fill)));
    std::memcpy(buffer.data() + done, loaded.data() + in_page, chunk);
    {
      Guard guard(*cache_);
      if (cache_->poisoned) return poisoned_error();
      auto& pages = cache_->pages;
      // A scan for the oldest costs little beside the read that made room necessary.
      if (pages.size() >= max_pages_ && !pages.contains(page)) {
        pages.erase(std::ranges::min_element(
            pages, {}, [](const auto& entry) { return entry.second.last_use; }));
      }
      pages.insert_or_assign(page, PageCache::Page{std::move(loaded), ++cache_->uses});
    }
    done += chunk;
  }
  return ok_status();
}

template <Store S>
Status PagedStore<S>::truncate(std::uint64_t length) {
  Status cut = inner_.truncate(length);
  if (!cut.ok()) {
    known_len_.reset();
    return cut;
  }
  known_len_ = length;
  Guard guard(*cache_);
  if (cache_->poisoned) return poisoned_error();
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t size = page_size_;
  std::erase_if(cache_->pages, [&](const auto& entry) {
    const std::uint64_t p = entry.first;
    if (p > max / size) return true;
    const std::uint64_t start = p * size;
    const std::uint64_t end = size > max - start ? max : start + size;
    return !(start < length && end <= length);
  });
  return ok_status();
}

extern template class PagedStore<RawFileStore>;

// The store of every database file and spill file: a cache of kDefaultMaxPages pages of
// kPageSize (2 MiB) over the raw file. len() asks the system every time (reads use the cache's
// kept length); sync is fsync, and needs no cache work because the cache never holds unwritten
// bytes.
class FileStore {
 public:
  static constexpr std::size_t kPageSize = 16384;

  explicit FileStore(RawFileStore file) : paged_(std::move(file), kPageSize) {}
  // Opens the path (see RawFileStore::open) and wraps the handle.
  static Result<FileStore> open(const std::string& path, OpenMode mode);

  Status write_all_at(std::uint64_t offset, ByteSpan bytes) {
    return paged_.write_all_at(offset, bytes);
  }
  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    return paged_.read_exact_at(offset, buffer);
  }
  Result<std::uint64_t> len() { return paged_.inner().len(); }
  Status sync() { return paged_.inner().sync(); }
  Status truncate(std::uint64_t length) { return paged_.truncate(length); }

  // The file's descriptor, for locks and checks of the file itself.
  int fd() const { return paged_.inner().fd(); }
  const PagedStore<RawFileStore>& paged() const { return paged_; }
  PagedStore<RawFileStore>& paged() { return paged_; }

 private:
  PagedStore<RawFileStore> paged_;
};

static_assert(Store<PagedStore<VecStore>>);
static_assert(Store<FileStore>);

}  // namespace quarn
