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

struct HostCase {
  const char* text;
  const char* stored;  // nullptr: refused
  HostKind kind = HostKind::Name;
};

TEST(CanonicalHostOf, Table) {
  const HostCase cases[] = {
      // IPv4 keeps the text as typed, so older files save byte for byte.
      {"010.0.0.1", "010.0.0.1", HostKind::IPv4},
      {"192.168.1.256", nullptr},
      {"192.168.1", nullptr},  // a name's last label is never all digits
      // IPv6 in its RFC 5952 form.
      {"::1", "::1", HostKind::IPv6},
      {"::0001", "::1", HostKind::IPv6},
      {"[::1]", "::1", HostKind::IPv6},
      {"0:0:0:0:0:0:0:1", "::1", HostKind::IPv6},
      {"::", "::", HostKind::IPv6},
      {"2001:DB8::10", "2001:db8::10", HostKind::IPv6},
      {"2001:0db8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1", HostKind::IPv6},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1", HostKind::IPv6},  // one zero group stays
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1", HostKind::IPv6},  // the longer run is compressed
      {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4", HostKind::IPv6},      // the first of equal runs
      {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0", HostKind::IPv6},
      {"::ffff:127.0.0.1", "::ffff:127.0.0.1", HostKind::IPv6},
      {"::FFFF:7f00:1", "::ffff:127.0.0.1", HostKind::IPv6},
      {"fe80::1%eth0", nullptr},
      {"1:2:3:4:5:6:7:8:9", nullptr},
      {"1::2::3", nullptr},
      {":1::2", nullptr},
      {"1:2:3:4:5:6:7:", nullptr},
      {"12345::1", nullptr},
      {"::ffff:01.2.3.4", nullptr},
      {"::g", nullptr},
      {"[::1", nullptr},
      {"[::1]:80", nullptr},
      // Names: lower case, no trailing dot.
      {"DB.Example.COM.", "db.example.com"},
      {"localhost", "localhost"},
      {"a-b.c0", "a-b.c0"},
      {"1password.com", "1password.com"},
      {"db.example.com:5432", nullptr},
      {"http://db.example.com", nullptr},
      {"db example.com", nullptr},
      {" db.example.com", nullptr},
      {"db_1.example.com", nullptr},
      {"d\xc3\xa9.example.com", nullptr},
      {"-db.example.com", nullptr},
      {"db-.example.com", nullptr},
      {"db..example.com", nullptr},
      {".", nullptr},
      {"", nullptr},
      {"[db.example.com]", nullptr},
      {"a/b", nullptr},
  };
  for (const auto& c : cases) {
    std::string reason;
    const auto host = CanonicalHostOf(c.text, &reason);
    if (!c.stored) {
      EXPECT_FALSE(host) << '"' << c.text << "\" -> " << (host ? host->text : "");
      EXPECT_FALSE(reason.empty()) << c.text;
      continue;
    }
    ASSERT_TRUE(host) << '"' << c.text << "\": " << reason;
    EXPECT_EQ(host->text, c.stored) << c.text;
    EXPECT_EQ(host->kind, c.kind) << c.text;
  }
}

TEST(CanonicalHostOf, NameLengthLimits) {
  const std::string label63(63, 'a');
  EXPECT_TRUE(IsValidHost(label63 + ".test"));
  EXPECT_FALSE(IsValidHost(label63 + "a.test"));
  // 253 characters in all, the trailing dot not counted.
  std::string name = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  ASSERT_EQ(name.size(), 253u);
  EXPECT_TRUE(IsValidHost(name));
  EXPECT_TRUE(IsValidHost(name + "."));
  EXPECT_FALSE(IsValidHost(name + "b"));
}

TEST(CanonicalHostOf, ReasonsNameTheMistake) {
  const std::pair<const char*, const char*> cases[] = {
      {"db.example.com:5432", "port"},
      {"https://db.example.com", "scheme"},
      {"db 1", "spaces"},
      {"db_1", "\"_\""},
  };
  for (const auto& [text, word] : cases) {
    std::string reason;
    EXPECT_FALSE(CanonicalHostOf(text, &reason));
    EXPECT_NE(reason.find(word), std::string::npos) << text << ": " << reason;
  }
}

TEST(HostPortText, BracketsIPv6Only) {
  EXPECT_EQ(HostPortText("::1", "8080"), "[::1]:8080");
  EXPECT_EQ(HostPortText("db.example.com", "5432"), "db.example.com:5432");
  EXPECT_EQ(HostPortText("10.0.0.5", "80"), "10.0.0.5:80");
}

}  // namespace
}  // namespace varnley
