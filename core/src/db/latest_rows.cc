// The latest row of every primary key.
#include "db/latest_rows.h"

#include <random>
#include <string_view>

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
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return std::hash<std::string_view>{}(text) ^ process_hash_key();
}

const LatestRows::RowMap* LatestRows::find(std::uint32_t collection_id) const {
  const auto it = collections_.find(collection_id);
  return it == collections_.end() ? nullptr : it->second.get();
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

const Row* LatestRows::get(std::uint32_t collection_id, ByteSpan pk) const {
  const RowMap* map = find(collection_id);
  if (map == nullptr) return nullptr;
  const auto it = map->find(pk);
  return it == map->end() ? nullptr : it->second.get();
}

void LatestRows::put(std::uint32_t collection_id, Bytes pk, Row row) {
  own(collection_id).insert_or_assign(std::move(pk), std::make_shared<const Row>(std::move(row)));
}

bool LatestRows::erase(std::uint32_t collection_id, ByteSpan pk) {
  const RowMap* map = find(collection_id);
  if (map == nullptr || !map->contains(pk)) return false;
  RowMap& owned = own(collection_id);
  owned.erase(owned.find(pk));
  return true;
}

std::size_t LatestRows::size() const {
  std::size_t total = 0;
  for (const auto& [id, map] : collections_) total += map->size();
  return total;
}

std::size_t LatestRows::size_of(std::uint32_t collection_id) const {
  const RowMap* map = find(collection_id);
  return map == nullptr ? 0 : map->size();
}

LatestRows::Range LatestRows::rows_of(std::uint32_t collection_id) const {
  static const RowMap empty;
  const RowMap* map = find(collection_id);
  if (map == nullptr) map = &empty;
  return Range{Iterator(map->begin()), Iterator(map->end())};
}

bool LatestRows::operator==(const LatestRows& other) const {
  if (size() != other.size()) return false;
  for (const auto& [id, map] : collections_) {
    for (const auto& [pk, row] : *map) {
      const Row* theirs = other.get(id, pk);
      if (theirs == nullptr || !(*theirs == *row)) return false;
    }
  }
  return true;
}

}  // namespace quarn
