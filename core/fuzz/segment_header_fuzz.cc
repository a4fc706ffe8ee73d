// The segment header decoder: any bytes decode or fail cleanly; a decoded header encodes to
// bytes that decode to the same header.
#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "fuzz_support.h"
#include "segments/header.h"

namespace quarn::fuzz {
namespace {

void run(ByteSpan input) {
  Result<SegmentHeader> header = decode_segment_header(input);
  if (!header.ok()) return;
  const Bytes encoded = header.value().encode();
  require(encoded.size() == kSegmentHeaderSize);
  Result<SegmentHeader> again = decode_segment_header(encoded);
  require(again.ok() && again.value() == header.value());
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
