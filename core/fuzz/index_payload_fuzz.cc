// The index payload decoder (versions 1 and 2). Decoded entries written as version 2 decode to
// the same entries; applying them to an index state never fails but by its own refusals.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes.h"
#include "fuzz_support.h"
#include "index.h"

namespace quarn::fuzz {
namespace {

void run(ByteSpan input) {
  Result<std::vector<IndexEntry>> entries = decode_index_payload(input);
  if (!entries.ok()) return;
  Result<std::vector<IndexEntry>> reread =
      decode_index_payload(encode_index_payload(entries.value()));
  require(reread.ok() && reread.value() == entries.value());
  IndexState state;
  for (IndexEntry& entry : entries.value()) {
    ignore_error(state.apply(std::move(entry)), "a refusal is a valid outcome");
  }
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
