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

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

namespace {

constexpr std::size_t kMaxNameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

std::optional<CanonicalHost> Refuse(std::string* reason, std::string why) {
  if (reason) *reason = std::move(why);
  return std::nullopt;
}

// Why the text is no name; nullopt when it is one.
std::optional<std::string> NameRefusal(std::string_view name) {
  if (name.size() > kMaxNameLength) return "A host name is at most 253 characters long.";
  std::size_t start = 0;
  std::string_view last;
  for (;;) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string_view::npos) dot = name.size();
    const std::string_view label = name.substr(start, dot - start);
    if (label.empty()) return "A host name has no empty part between its dots.";
    if (label.size() > kMaxLabelLength)
      return "Each part of a host name is 1 to 63 characters long.";
    if (label.front() == '-' || label.back() == '-')
      return "No part of a host name starts or ends with a hyphen.";
    last = label;
    if (dot == name.size()) break;
    start = dot + 1;
  }
  bool numeric = true;
  for (char c : last) numeric = numeric && IsDigit(c);
  if (numeric) return "An IPv4 address is four numbers from 0 to 255 joined by dots.";
  return std::nullopt;
}

}  // namespace

std::optional<CanonicalHost> CanonicalHostOf(std::string_view text, std::string* reason) {
  if (text.empty()) return Refuse(reason, "Type a host: an IPv4 or IPv6 address or a name.");
  if (IsValidIP(text)) return CanonicalHost{HostKind::IPv4, std::string(text)};
  if (text.find("://") != std::string_view::npos)
    return Refuse(reason, "Type the host alone, without a scheme such as \"http://\".");
  std::string_view literal = text;
  if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']')
    literal = literal.substr(1, literal.size() - 2);
  if (literal.find(':') != std::string_view::npos) {
    if (const auto bytes = ParseIPv6(literal))
      return CanonicalHost{HostKind::IPv6, FormatIPv6(*bytes)};
    if (literal.find('%') != std::string_view::npos)
      return Refuse(reason, "An IPv6 address with a zone (\"%\") cannot be watched.");
    // "name:80", "1.2.3.4:80", "[::1]:80": a port typed into the host.
    const auto colon = text.rfind(':');
    bool digits = colon + 1 < text.size();
    for (std::size_t i = colon + 1; i < text.size(); ++i) digits = digits && IsDigit(text[i]);
    if (digits && (text.front() != '[' || text[colon - 1] == ']'))
      return Refuse(reason, "Type the host alone; its ports go in the port list.");
    return Refuse(reason, "This is no valid IPv6 address.");
  }
  if (text.front() == '[') return Refuse(reason, "Brackets are only for an IPv6 address.");
  std::string name;
  name.reserve(text.size());
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80)
      return Refuse(reason, "A host name has ASCII letters, digits, hyphens and dots only.");
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
      return Refuse(reason, "A host has no spaces.");
    if (c == '_')
      return Refuse(reason, "A host name has no \"_\": letters, digits, hyphens and dots only.");
    if (!IsLetter(c) && !IsDigit(c) && c != '-' && c != '.')
      return Refuse(reason, std::string("A host name has no \"") + c +
                                "\": letters, digits, hyphens and dots only.");
    name += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  if (name.size() > 1 && name.back() == '.') name.pop_back();
  if (auto why = NameRefusal(name)) return Refuse(reason, std::move(*why));
  return CanonicalHost{HostKind::Name, std::move(name)};
}

bool IsValidHost(std::string_view text) { return CanonicalHostOf(text).has_value(); }

std::string HostPortText(std::string_view host, std::string_view port) {
  std::string text;
  text.reserve(host.size() + port.size() + 3);
  const bool v6 = host.find(':') != std::string_view::npos;
  if (v6) text += '[';
  text += host;
  if (v6) text += ']';
  text += ':';
  text += port;
  return text;
}

}  // namespace varnley
