// The latest row of every primary key.
#include "db/state/latest_rows.h"

#include <string_view>
#include <unordered_set>

#include "error.h"

namespace quarn {

namespace {

// The image of row in a buffer reused by each call on this thread.
ByteSpan scratch_image(const Row& row) {
  thread_local Bytes scratch;
  scratch.clear();
  append_packed_row(scratch, row);
  return scratch;
}

}  // namespace

LatestRows LatestRows::share() const {
  QUARN_CHECK(!is_overlay(), "sharing an overlay");
  return *this;
}

void LatestRows::absorb(LatestRows&& overlay) {
  check_absorbs(overlay, "absorbing an overlay of another map");
  for (auto& [id, changes] : overlay.changes_) {
    if (changes.rows->empty()) continue;
    const auto held = collections_.find(id);
    // Into a collection the base holds no row of, a table of new rows (no markers: each
    // counts as a row gained) moves whole.
    if ((held == collections_.end() || held->second->empty()) &&
        changes.delta == static_cast<std::ptrdiff_t>(changes.rows->size())) {
      collections_[id] = std::move(changes.rows);
      continue;
    }
    RowTable& rows = own(id);
    for (const RowTable::Entry change : *changes.rows) {
      if (change.erased) {
        rows.erase(change.pk);
      } else {
        const ByteSpan image = change.row.image();
        rows.put(change.pk, &image);
      }
    }
  }
  overlay.changes_.clear();
  detach(overlay);
}

const RowTable* LatestRows::find(std::uint32_t collection_id) const {
  const LatestRows& rows = base() == nullptr ? *this : *base();
  const auto it = rows.collections_.find(collection_id);
  return it == rows.collections_.end() ? nullptr : it->second.get();
}

const LatestRows::Changes* LatestRows::find_changes(std::uint32_t collection_id) const {
  if (base() == nullptr) return nullptr;
  const auto it = changes_.find(collection_id);
  return it == changes_.end() ? nullptr : &it->second;
}

RowTable& LatestRows::own(std::uint32_t collection_id) {
  std::shared_ptr<RowTable>& map = collections_[collection_id];
  if (!map) {
    map = std::make_shared<RowTable>();
  } else if (map.use_count() > 1) {
    map = std::make_shared<RowTable>(*map);
  }
  return *map;
}

bool LatestRows::in_base(std::uint32_t collection_id, ByteSpan pk) const {
  const RowTable* map = find(collection_id);
  return map != nullptr && map->contains(pk);
}

std::optional<RowView> LatestRows::get(std::uint32_t collection_id, ByteSpan pk) const {
  if (const Changes* changes = find_changes(collection_id)) {
    if (const std::optional<RowTable::Entry> change = changes->rows->find(pk)) {
      if (change->erased) return std::nullopt;
      return change->row;
    }
  }
  const RowTable* map = find(collection_id);
  if (map == nullptr) return std::nullopt;
  const std::optional<RowTable::Entry> found = map->find(pk);
  if (!found) return std::nullopt;
  return found->row;
}

void LatestRows::reserve(std::uint32_t collection_id, std::size_t bytes, std::size_t keys) {
  if (base() == nullptr) own(collection_id).reserve(bytes, keys);
}

std::size_t LatestRows::bytes_held() const {
  std::size_t total = 0;
  for (const auto& [id, map] : collections_) total += map->live_bytes();
  for (const auto& [id, changes] : changes_) total += changes.rows->live_bytes();
  return total;
}

std::size_t LatestRows::bytes_of(std::uint32_t collection_id) const {
  const RowTable* map = find(collection_id);
  const Changes* changes = find_changes(collection_id);
  return (map == nullptr ? 0 : map->live_bytes()) +
         (changes == nullptr ? 0 : changes->rows->live_bytes());
}

void LatestRows::put(std::uint32_t collection_id, ByteSpan pk, const Row& row) {
  put_image(collection_id, pk, scratch_image(row));
}

void LatestRows::put_image(std::uint32_t collection_id, ByteSpan pk, ByteSpan image) {
  if (base() == nullptr) {
    own(collection_id).put(pk, &image);
    return;
  }
  Changes& changes = changes_[collection_id];
  const RowTable::Replaced replaced = changes.rows->put(pk, &image);
  if (replaced == RowTable::Replaced::Marker ||
      (replaced == RowTable::Replaced::Nothing && !in_base(collection_id, pk))) {
    ++changes.delta;
  }
}

bool LatestRows::erase(std::uint32_t collection_id, ByteSpan pk) {
  if (base() == nullptr) {
    const RowTable* map = find(collection_id);
    if (map == nullptr || !map->contains(pk)) return false;
    own(collection_id).erase(pk);
    return true;
  }
  const bool below = in_base(collection_id, pk);
  auto found = changes_.find(collection_id);
  if (found != changes_.end()) {
    Changes& changes = found->second;
    if (const std::optional<RowTable::Entry> change = changes.rows->find(pk)) {
      if (change->erased) return false;
      --changes.delta;
      // A row the base never held needs no marker to hide it.
      if (below) {
        changes.rows->put(pk, nullptr);
      } else {
        changes.rows->erase(pk);
      }
      return true;
    }
  }
  if (!below) return false;
  Changes& changes = changes_[collection_id];
  --changes.delta;
  changes.rows->put(pk, nullptr);
  return true;
}

std::size_t LatestRows::size() const {
  const LatestRows& rows = base() == nullptr ? *this : *base();
  std::ptrdiff_t total = 0;
  for (const auto& [id, map] : rows.collections_) total += static_cast<std::ptrdiff_t>(map->size());
  for (const auto& [id, changes] : changes_) total += changes.delta;
  return static_cast<std::size_t>(total);
}

std::size_t LatestRows::size_of(std::uint32_t collection_id) const {
  const RowTable* map = find(collection_id);
  std::ptrdiff_t total = map == nullptr ? 0 : static_cast<std::ptrdiff_t>(map->size());
  if (const Changes* changes = find_changes(collection_id)) total += changes->delta;
  return static_cast<std::size_t>(total);
}

LatestRows::Range LatestRows::rows_of(std::uint32_t collection_id) const {
  static const RowTable empty;
  const RowTable* map = find(collection_id);
  if (map == nullptr) map = &empty;
  const Changes* changes = find_changes(collection_id);
  const RowTable* changed =
      changes == nullptr || changes->rows->empty() ? &empty : changes->rows.get();
  const RowTable* shadow = changed == &empty ? nullptr : changed;
  return Range{Iterator(map->begin(), map->end(), changed->begin(), changed->end(), shadow),
               Iterator(map->end(), map->end(), changed->end(), changed->end(), shadow)};
}

bool LatestRows::operator==(const LatestRows& other) const {
  if (size() != other.size()) return false;
  std::unordered_set<std::uint32_t> ids;
  const LatestRows& rows = base() == nullptr ? *this : *base();
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
