// The JSON definition reader of the Python module: `fields_json`, then `indexes_json` against
// the fields it gave. Input: the fields text, a zero byte, the indexes text. Any text yields
// definitions or a message.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "fields_json.h"
#include "fuzz_support.h"

namespace quarn::fuzz {
namespace {

void run(std::string_view input) {
  const std::size_t cut = input.find('\0');
  const std::string_view fields_json = input.substr(0, cut);
  const std::string_view indexes_json =
      cut == std::string_view::npos ? std::string_view("[]") : input.substr(cut + 1);
  const py::JsonResult<std::vector<FieldDef>> fields = py::fields_from_json(fields_json);
  const auto* defs = std::get_if<std::vector<FieldDef>>(&fields);
  if (defs == nullptr) {
    require(!std::get<std::string>(fields).empty());
    return;
  }
  const py::JsonResult<std::vector<IndexDef>> indexes = py::indexes_from_json(indexes_json, *defs);
  if (const auto* message = std::get_if<std::string>(&indexes)) require(!message->empty());
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
