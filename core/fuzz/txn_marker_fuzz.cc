// The transaction marker decoder: any bytes decode or fail cleanly; the marker written for a
// decoded id decodes to that id.
#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "fuzz_support.h"
#include "txn.h"

namespace quarn::fuzz {
namespace {

void run(ByteSpan input) {
  Result<std::uint64_t> id = decode_txn_payload_v0(input);
  if (!id.ok()) return;
  require(input.size() == kTxnPayloadV0Size);
  Result<std::uint64_t> again = decode_txn_payload_v0(encode_txn_payload_v0(id.value()));
  require(again.ok() && again.value() == id.value());
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
