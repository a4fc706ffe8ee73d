// The SQL SELECT parser: any text parses or fails with a query error. The dialect has no
// literals, so every `?` of a statement that parses is a parameter.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "error.h"
#include "fuzz_support.h"
#include "sql.h"

namespace quarn::fuzz {
namespace {

void run(std::string_view sql) {
  Result<SqlSelect> select = parse_select(sql);
  if (!select.ok()) {
    (void)select.error().render();
    return;
  }
  require(select.value().param_count ==
          static_cast<std::size_t>(std::count(sql.begin(), sql.end(), '?')));
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
