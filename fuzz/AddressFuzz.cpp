// The address check over arbitrary text, against a plain split-and-convert reading of the
// same rule; a valid address must print back to the same octets.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "model/AddressCheck.h"

namespace {

bool Reference(std::string_view text) {
  int parts = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find('.', start);
    const std::string_view part =
        text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
    if (part.empty()) return false;
    std::uint64_t value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      value = std::min<std::uint64_t>(value * 10 + static_cast<std::uint64_t>(c - '0'), 1000);
    }
    if (value > 255) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts == 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool valid = varnley::IsValidIP(text);
  if (valid != Reference(text)) std::abort();
  const auto octets = varnley::ParseIPv4(text);
  if (octets.has_value() != valid) std::abort();
  if (octets) {
    const std::string printed = std::to_string((*octets)[0]) + "." + std::to_string((*octets)[1]) +
                                "." + std::to_string((*octets)[2]) + "." +
                                std::to_string((*octets)[3]);
    if (varnley::ParseIPv4(printed) != octets) std::abort();
  }
  return 0;
}
