// Byte strings written as hex text in tests: hex("01 ff 0a") is {0x01, 0xff, 0x0a}.
#pragma once

#include <cstdint>
#include <string>

#include "bytes.h"

namespace quarn::testing {

// Pairs of hex digits; spaces are ignored.
inline Bytes hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (c == ' ') continue;
    digits += c;
    if (digits.size() == 2) {
      out.push_back(static_cast<std::uint8_t>(std::stoul(digits, nullptr, 16)));
      digits.clear();
    }
  }
  return out;
}

}  // namespace quarn::testing
