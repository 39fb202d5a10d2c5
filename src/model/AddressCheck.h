// The host rule used by the settings loader, the host editor and the probe: IPv4 dotted quads,
// IPv6 literals and DNS names, each with the one form it is stored and compared in.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/IpAddress.h"

namespace varnley {

// True for four decimal parts 0..255 joined by three dots; leading zeros are allowed
// ("010" is 10). Anything else, a part too long for 32 bits included, is false.
bool IsValidIP(std::string_view text);

// The four octets of a text that passes IsValidIP, read as decimal; nullopt otherwise.
std::optional<std::array<std::uint8_t, 4>> ParseIPv4(std::string_view text);

enum class HostKind { IPv4, IPv6, Name };

struct CanonicalHost {
  HostKind kind = HostKind::IPv4;
  std::string text;  // as stored, compared and probed
};

// The stored form of a host text, or nullopt with the reason (in the editor's words) when
// reason is given. IPv4 keeps its text as typed (older files stay byte for byte), IPv6 takes
// its RFC 5952 form ("[::1]" with brackets is accepted), a name is lower-cased without its
// trailing dot: labels of 1..63 ASCII letters, digits and hyphens, none starting or ending
// with a hyphen, 253 characters in all, the last label not all digits (that would be a
// mistyped IPv4 address).
std::optional<CanonicalHost> CanonicalHostOf(std::string_view text, std::string* reason = nullptr);

// What the loader and the editor ask of a host text: CanonicalHostOf accepts it.
bool IsValidHost(std::string_view text);

// "host:port" for IPv4 and names, "[address]:port" for IPv6, as alert texts show a port.
std::string HostPortText(std::string_view host, std::string_view port);

}  // namespace varnley
