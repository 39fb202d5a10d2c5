// The dotted-quad IPv4 address check used by the settings loader, the host editor and the probe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace varnley {

// True for four decimal parts 0..255 joined by three dots; leading zeros are allowed
// ("010" is 10). Anything else, a part too long for 32 bits included, is false.
bool IsValidIP(std::string_view text);

// The four octets of a text that passes IsValidIP, read as decimal; nullopt otherwise.
std::optional<std::array<std::uint8_t, 4>> ParseIPv4(std::string_view text);

}  // namespace varnley
