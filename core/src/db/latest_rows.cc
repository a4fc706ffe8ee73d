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

std::size_t LatestRows::BytesHash::operator()(ByteSpan bytes) const {
  return ByteSpanHash{}(bytes) ^ process_hash_key();
}

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
    for (auto& [pk, row] : changes.rows) {
      if (row == nullptr) {
        const auto it = rows.find(ByteSpan(pk));
        if (it != rows.end()) rows.erase(it);
      } else {
        rows.insert_or_assign(pk, std::move(row));
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

const Row* LatestRows::get(std::uint32_t collection_id, ByteSpan pk) const {
  if (const Changes* changes = find_changes(collection_id)) {
    const auto it = changes->rows.find(pk);
    if (it != changes->rows.end()) return it->second.get();
  }
  const RowMap* map = find(collection_id);
  if (map == nullptr) return nullptr;
  const auto it = map->find(pk);
  return it == map->end() ? nullptr : it->second.get();
}

void LatestRows::put(std::uint32_t collection_id, Bytes pk, Row row) {
  auto stored = std::make_shared<const Row>(std::move(row));
  if (base_ == nullptr) {
    own(collection_id).insert_or_assign(std::move(pk), std::move(stored));
    return;
  }
  Changes& changes = changes_[collection_id];
  const auto it = changes.rows.find(ByteSpan(pk));
  if (it != changes.rows.end()) {
    if (it->second == nullptr) ++changes.delta;
    it->second = std::move(stored);
    return;
  }
  if (!in_base(collection_id, pk)) ++changes.delta;
  changes.rows.emplace(std::move(pk), std::move(stored));
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
      if (it->second == nullptr) return false;
      --changes.delta;
      // A row the base never held needs no marker to hide it.
      if (below) {
        it->second = nullptr;
      } else {
        changes.rows.erase(it);
      }
      return true;
    }
  }
  if (!below) return false;
  Changes& changes = changes_[collection_id];
  --changes.delta;
  changes.rows.emplace(Bytes(pk.begin(), pk.end()), nullptr);
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
      const Row* theirs = other.get(id, entry.pk);
      if (theirs == nullptr || !(*theirs == entry.row)) return false;
    }
  }
  return true;
}

}  // namespace quarn
