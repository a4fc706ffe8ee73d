// The file header decoder: any bytes decode or fail cleanly; a decoded header encodes back to
// the bytes it was read from (bytes 20 to 31 are written as zero and never read).
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "file_format.h"
#include "fuzz_support.h"

namespace quarn::fuzz {
namespace {

void run(ByteSpan input) {
  Result<FileHeader> header = decode_header(input);
  if (!header.ok()) return;
  const Bytes encoded = header.value().encode();
  require(encoded.size() == kFileHeaderSize);
  require(std::equal(encoded.begin(), encoded.begin() + 20, input.begin()));
  require(std::all_of(encoded.begin() + 20, encoded.end(), [](std::uint8_t b) { return b == 0; }));
  Result<FileHeader> again = decode_header(encoded);
  require(again.ok() && again.value() == header.value());
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
