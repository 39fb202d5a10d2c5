#include <gtest/gtest.h>

#include "model/AddressCheck.h"

namespace varnley {
namespace {

struct AddressCase {
  const char* text;
  bool valid;
};

TEST(IsValidIP, Table) {
  const AddressCase cases[] = {
      {"192.168.1.1", true},
      {"0.0.0.0", true},
      {"255.255.255.255", true},
      {"010.0.0.1", true},  // leading zeros are decimal
      {"0000255.1.1.1", true},
      {"00000000000000000000001.2.3.4", true},  // long, yet a small number
      {"192.168.1", false},
      {"192.168.1.256", false},
      {"1.2.3.4.5", false},
      {"a.b.c.d", false},
      {"", false},
      {"1..2.3", false},
      {"1.2.3.", false},
      {".1.2.3", false},
      {"...", false},
      {"1.2.3.4294967297", false},  // wraps to 1 in 32 bits
      {"1.2.3.99999999999999999999", false},
      {" 1.2.3.4", false},
      {"1.2.3.4 ", false},
      {"1.2.3.-4", false},
      {"+1.2.3.4", false},
      {"1.2.3.0x1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsValidIP(c.text), c.valid) << '"' << c.text << '"';
}

TEST(ParseIPv4, ReadsOctetsAsDecimal) {
  using Octets = std::array<std::uint8_t, 4>;
  EXPECT_EQ(ParseIPv4("010.008.0.255"), (Octets{10, 8, 0, 255}));
  EXPECT_EQ(ParseIPv4("127.0.0.1"), (Octets{127, 0, 0, 1}));
  EXPECT_EQ(ParseIPv4("127.0.0"), std::nullopt);
}

}  // namespace
}  // namespace varnley
