#include <gtest/gtest.h>

#include "model/PasswordCoding.h"

namespace varnley {
namespace {

TEST(PasswordCoding, KnownValues) {
  // 's' 0x73 ^ 0x3C = 4F, 'e' 0x65 ^ 0x71 = 14, 'c' 0x63 ^ 0xE5 = 86.
  EXPECT_EQ(EncodePassword("sec"), "4F1486");
  EXPECT_EQ(EncodePassword(""), "");
  // The key repeats after eight characters: the ninth uses 0x3C again.
  EXPECT_EQ(EncodePassword("aaaaaaaaa"), "5D10846AFB27B3795D");
  // "é" is one code unit, 0xE9: two digits, not four.
  EXPECT_EQ(EncodePassword("\xC3\xA9"), "D5");
}

TEST(PasswordCoding, RoundTripsLatin1Text) {
  for (const char* plain :
       {"", "p", "secret password!", "caf\xC3\xA9 \xC3\xBF", "0123456789abcdefg"}) {
    EXPECT_EQ(DecodePassword(EncodePassword(plain)), plain) << plain;
  }
  // Six characters, eight bytes of UTF-8: twelve digits.
  EXPECT_EQ(EncodePassword("caf\xC3\xA9 \xC3\xBF").size(), 12u);
}

TEST(PasswordCoding, CharacterAboveLatin1KeepsItsLowByte) {
  // "€" is U+20AC: only 0xAC survives, which reads back as "¬".
  EXPECT_EQ(DecodePassword(EncodePassword("\xE2\x82\xAC")), "\xC2\xAC");
}

TEST(PasswordCoding, DecodeOfDamagedValues) {
  EXPECT_EQ(DecodePassword("4F14864"), "sec");  // a trailing odd digit is ignored
  EXPECT_EQ(DecodePassword("4f1486"), "sec");   // lower-case digits are hex too
  EXPECT_EQ(DecodePassword("4F1X86"), "");      // not hex: nothing half decoded
  EXPECT_EQ(DecodePassword("plain text"), "");
  EXPECT_EQ(DecodePassword("3C"), std::string(1, '\0'));  // U+0000 is a character too
}

}  // namespace
}  // namespace varnley
