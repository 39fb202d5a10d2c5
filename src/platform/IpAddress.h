// An IPv4 or IPv6 address as the probe and the resolver pass it around, and its text forms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnley {

struct IpAddress {
  bool v6 = false;
  std::array<std::uint8_t, 16> bytes{};  // network order; IPv4 in the first four

  static IpAddress V4(const std::array<std::uint8_t, 4>& octets) {
    IpAddress a;
    for (std::size_t i = 0; i < 4; ++i) a.bytes[i] = octets[i];
    return a;
  }
  // From a number in host order, as ParseDottedIPv4 gives it (10.0.0.5 is 0x0A000005).
  static IpAddress V4(std::uint32_t hostOrder) {
    return V4({static_cast<std::uint8_t>(hostOrder >> 24),
               static_cast<std::uint8_t>(hostOrder >> 16),
               static_cast<std::uint8_t>(hostOrder >> 8), static_cast<std::uint8_t>(hostOrder)});
  }
  static IpAddress V6(const std::array<std::uint8_t, 16>& bytes) { return {true, bytes}; }
  bool operator==(const IpAddress&) const = default;
};

// The sixteen bytes of an IPv6 literal (hex groups, one "::", a dotted IPv4 tail; no brackets,
// no zone); nullopt otherwise.
std::optional<std::array<std::uint8_t, 16>> ParseIPv6(std::string_view text);
// RFC 5952: lower case, no leading zeros, the longest run of two or more zero groups as "::"
// (the first of equal runs), an IPv4-mapped address with its dotted tail.
std::string FormatIPv6(const std::array<std::uint8_t, 16>& bytes);

// "10.0.0.5" or "2001:db8::10".
std::string IpAddressText(const IpAddress& address);

}  // namespace varnley
