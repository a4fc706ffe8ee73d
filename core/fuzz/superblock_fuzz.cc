// The superblock decoder and the slot selection: any bytes decode or fail cleanly; a decoded
// superblock written as version 1 decodes to the same fields.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "bytes.h"
#include "fuzz_support.h"
#include "superblock.h"

namespace quarn::fuzz {
namespace {

void run(ByteSpan input) {
  Result<Superblock> superblock = decode_superblock(input);
  if (superblock.ok()) {
    const Bytes encoded = superblock.value().encode();
    require(encoded.size() == kSuperblockSize);
    Result<Superblock> again = decode_superblock(encoded);
    require(again.ok() && again.value() == superblock.value());
  }
  // Two slots side by side, as the open sequence reads them.
  if (input.size() >= 2 * kSuperblockSize) {
    const SuperblockSlots slots =
        decode_superblock_slots(input.subspan(0, kSuperblockSize), input.subspan(kSuperblockSize));
    const std::optional<SelectedSuperblock> newest = newest_superblock(slots);
    const SuperblockSlot target = publish_target_slot(slots);
    require(newest.has_value() == select_superblock(slots).ok());
    require(!newest || newest->slot != target);
  }
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
