#include "platform/IpAddress.h"

#include "platform/TcpSocket.h"

namespace varnley {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::array<std::uint8_t, 16>> ParseIPv6(std::string_view text) {
  std::array<std::uint16_t, 8> groups{};
  std::size_t count = 0;
  std::optional<std::size_t> gap;  // where "::" stands, in groups
  std::size_t pos = 0;
  if (text.substr(0, 2) == "::") {
    gap = 0;
    pos = 2;
    if (pos == text.size()) return std::array<std::uint8_t, 16>{};
  } else if (!text.empty() && text[0] == ':') {
    return std::nullopt;
  }
  for (;;) {
    // One group, or the dotted IPv4 tail that stands for the last two.
    std::size_t end = pos;
    while (end < text.size() && text[end] != ':') ++end;
    const std::string_view part = text.substr(pos, end - pos);
    if (part.empty()) return std::nullopt;
    if (end == text.size() && part.find('.') != std::string_view::npos) {
      // Only decimal without leading zeros here: "01.2.3.4" reads as octal to some parsers.
      std::uint32_t v4 = 0;
      if (!ParseDottedIPv4(part, v4) || count + 2 > 8) return std::nullopt;
      for (std::size_t start = 0; start < part.size();) {
        std::size_t dot = part.find('.', start);
        if (dot == std::string_view::npos) dot = part.size();
        if (dot - start > 1 && part[start] == '0') return std::nullopt;
        start = dot + 1;
      }
      groups[count++] = static_cast<std::uint16_t>(v4 >> 16);
      groups[count++] = static_cast<std::uint16_t>(v4 & 0xFFFF);
      pos = end;
      break;
    }
    if (part.size() > 4 || count == 8) return std::nullopt;
    unsigned value = 0;
    for (char c : part) {
      const int v = HexValue(c);
      if (v < 0) return std::nullopt;
      value = value << 4 | static_cast<unsigned>(v);
    }
    groups[count++] = static_cast<std::uint16_t>(value);
    pos = end;
    if (pos == text.size()) break;
    ++pos;  // the ':'
    if (pos < text.size() && text[pos] == ':') {
      if (gap) return std::nullopt;
      gap = count;
      ++pos;
      if (pos == text.size()) break;
    } else if (pos == text.size()) {
      return std::nullopt;  // a single trailing ':'
    }
  }
  if (gap ? count > 7 : count != 8) return std::nullopt;
  std::array<std::uint16_t, 8> full{};
  if (gap) {
    const std::size_t tail = count - *gap;
    for (std::size_t i = 0; i < *gap; ++i) full[i] = groups[i];
    for (std::size_t i = 0; i < tail; ++i) full[8 - tail + i] = groups[*gap + i];
  } else {
    full = groups;
  }
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(full[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(full[i] & 0xFF);
  }
  return bytes;
}

std::string FormatIPv6(const std::array<std::uint8_t, 16>& bytes) {
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < 8; ++i) groups[i] = unsigned{bytes[2 * i]} << 8 | bytes[2 * i + 1];
  const bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 &&
                      groups[4] == 0 && groups[5] == 0xFFFF;
  const std::size_t hexGroups = mapped ? 6 : 8;
  std::size_t bestStart = 0, bestLength = 0;
  for (std::size_t i = 0; i < hexGroups;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < hexGroups && groups[j] == 0) ++j;
    if (j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  if (bestLength < 2) bestLength = 0;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < hexGroups; ++i) {
    if (bestLength && i == bestStart) {
      text += "::";
      i += bestLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = groups[i] >> shift & 0xF;
      if (digit == 0 && !started && shift > 0) continue;
      started = true;
      text += kHex[digit];
    }
  }
  if (mapped) {
    if (text.back() != ':') text += ':';
    for (std::size_t i = 12; i < 16; ++i) {
      if (i > 12) text += '.';
      text += std::to_string(bytes[i]);
    }
  }
  return text;
}

std::string IpAddressText(const IpAddress& address) {
  if (address.v6) return FormatIPv6(address.bytes);
  std::string text;
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(address.bytes[i]);
  }
  return text;
}

}  // namespace varnley
