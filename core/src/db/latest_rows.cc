// The latest row of every primary key.
#include "db/latest_rows.h"

#include <random>
#include <string_view>
#include <unordered_set>

#include "error.h"

namespace quarn {

namespace {

// Keyed once per process, so that nothing comes to rely on one iteration order.
std::size_t process_hash_key() {
  static const std::size_t key = [] {
    std::random_device device;
    return (static_cast<std::size_t>(device()) << 32) ^ device();
  }();
  return key;
}

}  // namespace

std::size_t LatestRows::StoredHash::operator()(ByteSpan pk) const {
  return ByteSpanHash{}(pk) ^ process_hash_key();
}

LatestRows::Stored::Stored(ByteSpan pk, const ByteSpan* image) {
  QUARN_CHECK(pk.size() <= UINT32_MAX, "primary key too long to store");
  const std::size_t image_size = image == nullptr ? 0 : image->size();
  data_ = std::make_unique_for_overwrite<std::uint8_t[]>(kHeader + pk.size() + image_size);
  const auto length = static_cast<std::uint32_t>(pk.size());
  std::memcpy(data_.get(), &length, sizeof length);
  data_[sizeof length] = image == nullptr ? 1 : 0;
  if (!pk.empty()) std::memcpy(data_.get() + kHeader, pk.data(), pk.size());
  if (image_size != 0) std::memcpy(data_.get() + kHeader + pk.size(), image->data(), image_size);
}

LatestRows::Stored::Stored(const Stored& other) {
  const std::size_t size =
      kHeader + other.pk().size() + (other.erased() ? 0 : other.row().image().size());
  data_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  std::memcpy(data_.get(), other.data_.get(), size);
}

namespace {

// The image of row in a buffer reused by each call on this thread.
ByteSpan scratch_image(const Row& row) {
  thread_local Bytes scratch;
  scratch.clear();
  append_packed_row(scratch, row);
  return scratch;
}

}  // namespace

LatestRows LatestRows::overlay_on(const LatestRows& base) {
  QUARN_CHECK(!base.is_overlay(), "overlay on an overlay");
  LatestRows overlay;
  overlay.base_ = &base;
  return overlay;
}

void LatestRows::absorb(LatestRows&& overlay) {
  QUARN_CHECK(overlay.base_ == this, "absorbing an overlay of another map");
  for (auto& [id, changes] : overlay.changes_) {
    if (changes.rows.empty()) continue;
    RowMap& rows = own(id);
    while (!changes.rows.empty()) {
      auto node = changes.rows.extract(changes.rows.begin());
      const auto it = rows.find(node.value().pk());
      if (node.value().erased()) {
        if (it != rows.end()) rows.erase(it);
      } else if (it != rows.end()) {
        it->replace(std::move(node.value()));
      } else {
        rows.insert(std::move(node));
      }
    }
  }
  overlay.changes_.clear();
  overlay.base_ = nullptr;
}

const LatestRows::RowMap* LatestRows::find(std::uint32_t collection_id) const {
  const LatestRows& rows = base_ == nullptr ? *this : *base_;
  const auto it = rows.collections_.find(collection_id);
  return it == rows.collections_.end() ? nullptr : it->second.get();
}

const LatestRows::Changes* LatestRows::find_changes(std::uint32_t collection_id) const {
  if (base_ == nullptr) return nullptr;
  const auto it = changes_.find(collection_id);
  return it == changes_.end() ? nullptr : &it->second;
}

LatestRows::RowMap& LatestRows::own(std::uint32_t collection_id) {
  std::shared_ptr<RowMap>& map = collections_[collection_id];
  if (!map) {
    map = std::make_shared<RowMap>();
  } else if (map.use_count() > 1) {
    map = std::make_shared<RowMap>(*map);
  }
  return *map;
}

bool LatestRows::in_base(std::uint32_t collection_id, ByteSpan pk) const {
  const RowMap* map = find(collection_id);
  return map != nullptr && map->contains(pk);
}

std::optional<RowView> LatestRows::get(std::uint32_t collection_id, ByteSpan pk) const {
  if (const Changes* changes = find_changes(collection_id)) {
    const auto it = changes->rows.find(pk);
    if (it != changes->rows.end()) {
      if (it->erased()) return std::nullopt;
      return it->row();
    }
  }
  const RowMap* map = find(collection_id);
  if (map == nullptr) return std::nullopt;
  const auto it = map->find(pk);
  if (it == map->end()) return std::nullopt;
  return it->row();
}

void LatestRows::put(std::uint32_t collection_id, ByteSpan pk, const Row& row) {
  put_image(collection_id, pk, scratch_image(row));
}

void LatestRows::put_image(std::uint32_t collection_id, ByteSpan pk, ByteSpan image) {
  Stored stored(pk, &image);
  if (base_ == nullptr) {
    RowMap& rows = own(collection_id);
    const auto it = rows.find(pk);
    if (it != rows.end()) {
      it->replace(std::move(stored));
    } else {
      rows.insert(std::move(stored));
    }
    return;
  }
  Changes& changes = changes_[collection_id];
  const auto it = changes.rows.find(pk);
  if (it != changes.rows.end()) {
    if (it->erased()) ++changes.delta;
    it->replace(std::move(stored));
    return;
  }
  if (!in_base(collection_id, pk)) ++changes.delta;
  changes.rows.insert(std::move(stored));
}

bool LatestRows::erase(std::uint32_t collection_id, ByteSpan pk) {
  if (base_ == nullptr) {
    const RowMap* map = find(collection_id);
    if (map == nullptr || !map->contains(pk)) return false;
    RowMap& owned = own(collection_id);
    owned.erase(owned.find(pk));
    return true;
  }
  const bool below = in_base(collection_id, pk);
  auto found = changes_.find(collection_id);
  if (found != changes_.end()) {
    Changes& changes = found->second;
    const auto it = changes.rows.find(pk);
    if (it != changes.rows.end()) {
      if (it->erased()) return false;
      --changes.delta;
      // A row the base never held needs no marker to hide it.
      if (below) {
        it->replace(Stored(pk, nullptr));
      } else {
        changes.rows.erase(it);
      }
      return true;
    }
  }
  if (!below) return false;
  Changes& changes = changes_[collection_id];
  --changes.delta;
  changes.rows.insert(Stored(pk, nullptr));
  return true;
}

std::size_t LatestRows::size() const {
  const LatestRows& rows = base_ == nullptr ? *this : *base_;
  std::ptrdiff_t total = 0;
  for (const auto& [id, map] : rows.collections_) total += static_cast<std::ptrdiff_t>(map->size());
  for (const auto& [id, changes] : changes_) total += changes.delta;
  return static_cast<std::size_t>(total);
}

std::size_t LatestRows::size_of(std::uint32_t collection_id) const {
  const RowMap* map = find(collection_id);
  std::ptrdiff_t total = map == nullptr ? 0 : static_cast<std::ptrdiff_t>(map->size());
  if (const Changes* changes = find_changes(collection_id)) total += changes->delta;
  return static_cast<std::size_t>(total);
}

LatestRows::Range LatestRows::rows_of(std::uint32_t collection_id) const {
  static const RowMap empty;
  const RowMap* map = find(collection_id);
  if (map == nullptr) map = &empty;
  const Changes* changes = find_changes(collection_id);
  const RowMap* changed = changes == nullptr || changes->rows.empty() ? &empty : &changes->rows;
  const RowMap* shadow = changed == &empty ? nullptr : changed;
  return Range{Iterator(map->begin(), map->end(), changed->begin(), changed->end(), shadow),
               Iterator(map->end(), map->end(), changed->end(), changed->end(), shadow)};
}

bool LatestRows::operator==(const LatestRows& other) const {
  if (size() != other.size()) return false;
  std::unordered_set<std::uint32_t> ids;
  const LatestRows& rows = base_ == nullptr ? *this : *base_;
  for (const auto& [id, map] : rows.collections_) ids.insert(id);
  for (const auto& [id, changes] : changes_) ids.insert(id);
  for (const std::uint32_t id : ids) {
    for (const auto entry : rows_of(id)) {
      const std::optional<RowView> theirs = other.get(id, entry.pk);
      if (!theirs || !(*theirs == entry.row)) return false;
    }
  }
  return true;
}

}  // namespace quarn
