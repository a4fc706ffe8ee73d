// The manifest decoder: any bytes decode or fail cleanly; a decoded manifest encodes back to
// the 18 bytes it was read from.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "fuzz_support.h"
#include "manifest.h"

namespace quarn::fuzz {
namespace {

void run(ByteSpan input) {
  Result<ManifestV0> manifest = decode_manifest_v0(input);
  if (!manifest.ok()) return;
  const Bytes encoded =
      ManifestV0::encode(manifest.value().segment_offset, manifest.value().segment_len);
  require(encoded.size() == kManifestV0Size);
  require(std::equal(encoded.begin(), encoded.end(), input.begin()));
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
