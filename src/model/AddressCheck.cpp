#include "model/AddressCheck.h"

#include <cstdint>

namespace varnley {

std::optional<std::array<std::uint8_t, 4>> ParseIPv4(std::string_view text) {
  std::array<std::uint8_t, 4> octets{};
  std::size_t part = 0;
  bool partEmpty = true;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c == '.') {
      if (partEmpty || ++part > 3) return std::nullopt;
      partEmpty = true;
      value = 0;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    // Leading zeros never overflow; any part past 255 is already lost.
    if (value > 255) return std::nullopt;
    octets[part] = static_cast<std::uint8_t>(value);
    partEmpty = false;
  }
  if (part != 3 || partEmpty) return std::nullopt;
  return octets;
}

bool IsValidIP(std::string_view text) { return ParseIPv4(text).has_value(); }

}  // namespace varnley
