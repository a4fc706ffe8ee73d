// One collection's stored rows in one buffer.
#include "db/row_table.h"

#include <array>
#include <functional>
#include <random>

#include "error.h"

namespace quarn {
namespace {

// Keyed once per process, so that nothing comes to rely on one hash order.
std::size_t process_hash_key() {
  static const std::size_t key = [] {
    std::random_device device;
    return (static_cast<std::size_t>(device()) << 32) ^ device();
  }();
  return key;
}

}  // namespace

std::size_t RowTable::Hash::operator()(ByteSpan pk) const {
  return ByteSpanHash{}(pk) ^ process_hash_key();
}

RowTable::RowTable(const RowTable& other)
    : arena_(other.arena_),
      dead_bytes_(other.dead_bytes_),
      index_(other.index_.bucket_count(), Hash{this}, Eq{this}) {
  for (const std::uint64_t offset : other.index_) index_.insert(offset);
}

std::optional<RowTable::Entry> RowTable::find(ByteSpan pk) const {
  const auto it = index_.find(pk);
  if (it == index_.end()) return std::nullopt;
  return entry_at(arena_.data() + *it);
}

std::uint64_t RowTable::append(ByteSpan pk, const ByteSpan* image) {
  QUARN_CHECK(pk.size() <= UINT32_MAX, "primary key too long to store");
  const std::uint64_t offset = arena_.size();
  const auto pk_size = static_cast<std::uint32_t>(pk.size());
  const std::uint64_t image_size = image == nullptr ? 0 : image->size();
  // Appended piece by piece: resizing first would fill the room with zeros only to overwrite it.
  std::array<std::uint8_t, kHeader> header;
  header[0] = image == nullptr ? kErased : kLive;
  std::memcpy(header.data() + 1, &pk_size, sizeof pk_size);
  std::memcpy(header.data() + 1 + sizeof pk_size, &image_size, sizeof image_size);
  arena_.insert(arena_.end(), header.begin(), header.end());
  arena_.insert(arena_.end(), pk.begin(), pk.end());
  if (image != nullptr) arena_.insert(arena_.end(), image->begin(), image->end());
  return offset;
}

void RowTable::kill(std::uint64_t offset) {
  std::uint8_t* at = arena_.data() + offset;
  at[0] = kDead;
  dead_bytes_ += kHeader + pk_size_at(at) + image_size_at(at);
}

RowTable::Replaced RowTable::put(ByteSpan pk, const ByteSpan* image) {
  Replaced replaced = Replaced::Nothing;
  if (const auto it = index_.find(pk); it != index_.end()) {
    // The old entry's offset leaves the set before its bytes die: the set hashes through them.
    const std::uint64_t old = *it;
    replaced = arena_[old] == kErased ? Replaced::Marker : Replaced::Stored;
    index_.erase(it);
    kill(old);
  }
  // Bytes that lie in this buffer (a caller passing a stored key or row) are copied before it
  // grows under them.
  const std::less<const std::uint8_t*> before;
  auto inside = [&](ByteSpan bytes) {
    return !bytes.empty() && !before(bytes.data(), arena_.data()) &&
           before(bytes.data(), arena_.data() + arena_.size());
  };
  Bytes copied_pk;
  if (inside(pk)) {
    copied_pk.assign(pk.begin(), pk.end());
    pk = copied_pk;
  }
  Bytes copied_image;
  ByteSpan own_image;
  if (image != nullptr && inside(*image)) {
    copied_image.assign(image->begin(), image->end());
    own_image = copied_image;
    image = &own_image;
  }
  index_.insert(append(pk, image));
  compact_if_sparse();
  return replaced;
}

bool RowTable::erase(ByteSpan pk) {
  const auto it = index_.find(pk);
  if (it == index_.end()) return false;
  const std::uint64_t old = *it;
  index_.erase(it);
  kill(old);
  compact_if_sparse();
  return true;
}

void RowTable::compact_if_sparse() {
  if (dead_bytes_ < 4096 || dead_bytes_ <= arena_.size() / 2) return;
  Bytes kept;
  kept.reserve(arena_.size() - dead_bytes_);
  for (const std::uint8_t* at = arena_.data(); at != arena_.data() + arena_.size();
       at = next_after(at)) {
    if (at[0] != kDead) kept.insert(kept.end(), at, next_after(at));
  }
  index_.clear();
  arena_ = std::move(kept);
  dead_bytes_ = 0;
  for (const std::uint8_t* at = arena_.data(); at != arena_.data() + arena_.size();
       at = next_after(at)) {
    index_.insert(static_cast<std::uint64_t>(at - arena_.data()));
  }
}

}  // namespace quarn
