// The catalog payload decoder (versions 1 to 4). A decoded entry passes the writer's own
// check, its version-4 encoding decodes, and encoding that again gives the same bytes.
#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "catalog/codec.h"
#include "catalog/state.h"
#include "fuzz_support.h"

namespace quarn::fuzz {
namespace {

void run(ByteSpan input) {
  Result<CatalogRecordWire> entry = decode_catalog_payload(input);
  if (!entry.ok()) return;
  require(check_catalog_entry_decodes(entry.value()).ok());
  const Bytes once = encode_catalog_payload(entry.value());
  Result<CatalogRecordWire> reread = decode_catalog_payload(once);
  require(reread.ok());
  require(encode_catalog_payload(reread.value()) == once);
  Catalog catalog;
  ignore_error(catalog.apply_record(std::move(entry).value()), "only its checks are exercised");
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
