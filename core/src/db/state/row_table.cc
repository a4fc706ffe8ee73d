// One collection's stored rows in one buffer.
#include "db/state/row_table.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <functional>
#include <new>
#include <random>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

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

// From this size on a buffer is a mapping of its own; smaller ones come from malloc.
constexpr std::size_t kMapFrom = std::size_t{1} << 20;

std::size_t page_rounded(std::size_t bytes) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

EntryBuffer::EntryBuffer(const EntryBuffer& other) {
  reserve(other.size_);
  append(other.data_, other.size_);
}

EntryBuffer::EntryBuffer(EntryBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

EntryBuffer& EntryBuffer::operator=(EntryBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

EntryBuffer::~EntryBuffer() { release(); }

void EntryBuffer::release() {
  if (data_ == nullptr) return;
  if (mapped_) {
    ::munmap(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
}

void EntryBuffer::reserve(std::size_t bytes) {
  if (bytes <= capacity_) return;
  if (bytes < kMapFrom) {
    void* grown = std::realloc(data_, bytes);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(grown);
    capacity_ = bytes;
    return;
  }
  const std::size_t room = page_rounded(bytes);
  if (mapped_) {
    // The pages move, not the bytes: nothing is copied and nothing is held twice.
    void* grown = ::mremap(data_, capacity_, room, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(grown);
  } else {
    void* mapped =
        ::mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    if (size_ != 0) std::memcpy(mapped, data_, size_);
    std::free(data_);
    data_ = static_cast<std::uint8_t*>(mapped);
    mapped_ = true;
  }
  capacity_ = room;
}

void EntryBuffer::append(const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return;  // an empty key may come without a buffer at all
  if (count > capacity_ - size_) {
    QUARN_CHECK(count <= SIZE_MAX / 2 - size_, "row table too large");
    reserve(std::max({size_ + count, size_ + size_ / 2, std::size_t{256}}));
  }
  std::memcpy(data_ + size_, bytes, count);
  size_ += count;
}

std::uint64_t RowTable::hash_of(ByteSpan pk) { return ByteSpanHash{}(pk) ^ process_hash_key(); }

RowTable::Probe RowTable::probe(ByteSpan pk, std::uint64_t hash) const {
  for (std::size_t i = home_of(hash);; i = (i + 1) & mask()) {
    const Slot& slot = slots_[i];
    if (slot.offset == kFree) return Probe{i, false};
    if (slot.hash == hash && ByteSpanEq{}(pk_at(slot.offset), pk)) return Probe{i, true};
  }
}

std::size_t RowTable::find_slot(ByteSpan pk, std::uint64_t hash) const {
  if (slots_.empty()) return kNoSlot;
  const Probe found = probe(pk, hash);
  return found.found ? found.slot : kNoSlot;
}

void RowTable::place(std::uint64_t hash, std::uint64_t offset) {
  std::size_t i = home_of(hash);
  while (slots_[i].offset != kFree) i = (i + 1) & mask();
  slots_[i] = Slot{hash, offset};
  ++count_;
}

void RowTable::free_slot(std::size_t i) {
  // Backward-shift deletion: a later member of the run moves into the hole unless its home lies
  // cyclically in (hole, its slot], where a lookup for it never passes the hole.
  for (std::size_t j = (i + 1) & mask();; j = (j + 1) & mask()) {
    if (slots_[j].offset == kFree) break;
    const std::size_t home = home_of(slots_[j].hash);
    const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (stays) continue;
    slots_[i] = slots_[j];
    i = j;
  }
  slots_[i].offset = kFree;
  --count_;
}

std::size_t RowTable::slots_for(std::size_t keys) {
  std::size_t slots = 16;
  while (keys * 4 > slots * 3) slots *= 2;
  return slots;
}

void RowTable::reserve(std::size_t bytes, std::size_t keys) {
  arena_.reserve(arena_.size() + bytes);
  const std::size_t slots = slots_for(count_ + keys);
  if (slots > slots_.size()) resize_slots(slots);
}

void RowTable::reserve_one() {
  if ((count_ + 1) * 4 <= slots_.size() * 3) return;
  resize_slots(slots_.empty() ? slots_for(1) : slots_.size() * 2);
}

void RowTable::resize_slots(std::size_t count) {
  std::vector<Slot> old(count, Slot{0, kFree});
  old.swap(slots_);
  shift_ = 64 - std::countr_zero(count);
  count_ = 0;
  for (const Slot& slot : old) {
    if (slot.offset != kFree) place(slot.hash, slot.offset);
  }
}

std::optional<RowTable::Entry> RowTable::find(ByteSpan pk) const {
  const std::size_t i = find_slot(pk, hash_of(pk));
  if (i == kNoSlot) return std::nullopt;
  return entry_at(arena_.data() + slots_[i].offset);
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
  arena_.append(header.data(), header.size());
  arena_.append(pk.data(), pk.size());
  if (image != nullptr) arena_.append(image->data(), image->size());
  return offset;
}

void RowTable::kill(std::uint64_t offset) {
  std::uint8_t* at = arena_.data() + offset;
  at[0] = kDead;
  dead_bytes_ += kHeader + pk_size_at(at) + image_size_at(at);
}

RowTable::Replaced RowTable::put(ByteSpan pk, const ByteSpan* image) {
#ifndef NDEBUG
  // Views read a stored image unchecked; a writer that broke the image's grammar is caught here,
  // where it is stored, rather than where a later read goes astray.
  QUARN_CHECK(image == nullptr || is_valid_row_image(*image), "storing a malformed row image");
#endif
  const std::uint64_t hash = hash_of(pk);
  // Grown first, so that the free slot the probe ends on stays the new key's until it is taken.
  reserve_one();
  const Probe found = probe(pk, hash);
  std::size_t free_at = found.slot;
  Replaced replaced = Replaced::Nothing;
  if (found.found) {
    // The old entry's offset leaves the set before its bytes die: probes read keys there.
    const std::uint64_t old = slots_[found.slot].offset;
    replaced = arena_.data()[old] == kErased ? Replaced::Marker : Replaced::Stored;
    free_slot(found.slot);
    kill(old);
    free_at = kNoSlot;  // the removal moved slots: the new entry probes again
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
  const std::uint64_t offset = append(pk, image);
  if (free_at == kNoSlot) {
    place(hash, offset);
  } else {
    slots_[free_at] = Slot{hash, offset};
    ++count_;
  }
  compact_if_sparse();
  return replaced;
}

bool RowTable::erase(ByteSpan pk) {
  const std::size_t i = find_slot(pk, hash_of(pk));
  if (i == kNoSlot) return false;
  const std::uint64_t old = slots_[i].offset;
  free_slot(i);
  kill(old);
  compact_if_sparse();
  return true;
}

void RowTable::compact_if_sparse() {
  if (dead_bytes_ < 4096 || dead_bytes_ <= arena_.size() / 2) return;
  EntryBuffer kept;
  kept.reserve(arena_.size() - dead_bytes_);
  for (const std::uint8_t* at = arena_.data(); at != arena_.data() + arena_.size();
       at = next_after(at)) {
    if (at[0] != kDead) kept.append(at, static_cast<std::size_t>(next_after(at) - at));
  }
  arena_ = std::move(kept);
  dead_bytes_ = 0;
  // Every offset moved: the set is laid out again, at the size it would have grown to.
  const std::size_t held = count_;
  slots_.clear();
  resize_slots(slots_for(held));
  for (const std::uint8_t* at = arena_.data(); at != arena_.data() + arena_.size();
       at = next_after(at)) {
    const auto offset = static_cast<std::uint64_t>(at - arena_.data());
    place(hash_of(pk_at(offset)), offset);
  }
}

}  // namespace quarn
