// The checkpoint payload decoder and the state built from it: any bytes decode or fail
// cleanly, and a payload whose state loads also decodes.
#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "checkpoint.h"
#include "fuzz_support.h"

namespace quarn::fuzz {
namespace {

void run(ByteSpan input) {
  const bool decodes = decode_checkpoint_payload(input).ok();
  const bool loads = state_from_checkpoint_payload(input).ok();
  require(decodes || !loads);
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
