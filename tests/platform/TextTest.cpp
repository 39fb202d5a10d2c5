#include "platform/Text.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace varnley
