#include "model/PasswordCoding.h"

#include <array>
#include <cstdint>

#include "platform/Text.h"

namespace varnley {

namespace {

constexpr std::array<std::uint8_t, 8> kKey = {0x3C, 0x71, 0xE5, 0x0B, 0x9A, 0x46, 0xD2, 0x18};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string EncodePassword(std::string_view plain) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::string units = LowBytes(plain);
  std::string out;
  out.reserve(units.size() * 2);
  for (std::size_t j = 0; j < units.size(); ++j) {
    const auto b = static_cast<std::uint8_t>(static_cast<std::uint8_t>(units[j]) ^ kKey[j % 8]);
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::string DecodePassword(std::string_view coded) {
  std::string bytes;
  const std::size_t n = coded.size() / 2;
  bytes.reserve(n);
  for (std::size_t p = 0; p < n; ++p) {
    const int hi = HexValue(coded[2 * p]);
    const int lo = HexValue(coded[2 * p + 1]);
    // A damaged value cannot be half trusted: the user types the password again.
    if (hi < 0 || lo < 0) return {};
    bytes.push_back(static_cast<char>((hi << 4 | lo) ^ kKey[p % 8]));
  }
  return Latin1ToUtf8(bytes);
}

}  // namespace varnley
