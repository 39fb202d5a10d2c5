#include <gtest/gtest.h>

#include "platform/InternetDate.h"
#include "platform/TcpProbe.h"
#include "platform/Text.h"

namespace varnley {
namespace {

TEST(Text, CodeUnitsRoundTripAndLowBytes) {
  const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  EXPECT_EQ(Utf8ToUtf16(s), (std::u16string{u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(s)), s);
  EXPECT_EQ(LowBytes(s), std::string("a\xE9\xAC\x3D\x00", 5));
  EXPECT_EQ(Latin1ToUtf8("\xE9z"), "\xC3\xA9z");
}

TEST(Text, BrokenUtf8BecomesReplacementNotACrash) {
  EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\xFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xFFx"), u"\xFFFDx");
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\xFFFD\xFFFD\xFFFD");  // encoded surrogate
}

TEST(Text, SevenBitOutputReplacesEveryNonAsciiUnit) {
  EXPECT_EQ(ToAscii7("caf\xC3\xA9 ok"), "caf? ok");
  EXPECT_EQ(ToAscii7("\xF0\x9F\x98\x80"), "??");  // one per code unit
  EXPECT_EQ(ToAscii7("plain"), "plain");
}

TEST(Text, TrimAndCaseHelpers) {
  EXPECT_EQ(Trim(" \t x y \r\n"), "x y");
  EXPECT_EQ(Trim(""), "");
  EXPECT_TRUE(EqualsIgnoreCase("Config", "cONFIG"));
  EXPECT_FALSE(EqualsIgnoreCase("host1", "host10"));
  EXPECT_EQ(ToUpperAscii("auth=login"), "AUTH=LOGIN");
}

TEST(InternetDateText, ZoneOffsetsKeepTheirSignAndMinutes) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_wday = 2;
  t.tm_hour = 14;
  t.tm_min = 3;
  t.tm_sec = 9;
  EXPECT_EQ(FormatInternetDate(t, 60), "Tue, 05 Mar 2024 14:03:09 +0100");
  EXPECT_EQ(FormatInternetDate(t, 0), "Tue, 05 Mar 2024 14:03:09 +0000");
  // Zones a whole number of hours off, and zones behind UTC by less than an hour.
  EXPECT_EQ(FormatInternetDate(t, -210), "Tue, 05 Mar 2024 14:03:09 -0330");
  EXPECT_EQ(FormatInternetDate(t, -30), "Tue, 05 Mar 2024 14:03:09 -0030");
  EXPECT_EQ(FormatInternetDate(t, 345), "Tue, 05 Mar 2024 14:03:09 +0545");
  t.tm_wday = 0;
  t.tm_mon = 11;
  EXPECT_EQ(FormatInternetDate(t, 0).substr(0, 16), "Sun, 05 Dec 2024");
}

TEST(ProbeAddress, OctetsPackInOrder) {
  EXPECT_EQ(IPv4FromOctets({127, 0, 0, 1}), 0x7F000001u);
  EXPECT_EQ(IPv4FromOctets({10, 0, 0, 5}), 0x0A000005u);
  EXPECT_EQ(IPv4FromOctets({255, 254, 253, 252}), 0xFFFEFDFCu);  // high octets do not spill
}

}  // namespace
}  // namespace varnley
