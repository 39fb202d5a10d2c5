#include <gtest/gtest.h>

#include <string>

#include "model/IniFile.h"
#include "platform/Text.h"

namespace varnley {
namespace {

// A file as another program (or a person with an editor) leaves it.
const char kForeign[] =
    "\xEF\xBB\xBF; written by hand\r\n"
    "\r\n"
    "[Config]\r\n"
    "  Interval =  15  \r\n"
    "Message=1\r\n"
    "; a note about email\r\n"
    "\r\n"
    "[EMAIL]\r\n"
    "SmtpServer = \"mail.example.org\"\r\n"
    "UserName='  bob  '\r\n"
    "unknown=keep me\r\n"
    "[config]\r\n"
    "interval=99\r\n";

TEST(IniFile, ReadsWithPrivateProfileRules) {
  const IniFile ini(kForeign);
  EXPECT_EQ(ini.readInteger("config", "interval", 1), 15);
  EXPECT_TRUE(ini.readBool("CONFIG", "message", false));
  EXPECT_EQ(ini.readString("email", "smtpserver", ""), "mail.example.org");
  EXPECT_EQ(ini.readString("email", "username", ""), "  bob  ");  // quotes keep the spaces
  EXPECT_EQ(ini.value("email", "missing"), std::nullopt);
  EXPECT_EQ(ini.value("nosuch", "interval"), std::nullopt);
  // Lines before the first section belong to none.
  EXPECT_EQ(IniFile("k=v\n[s]\n").value("", "k"), std::nullopt);
}

TEST(IniFile, UnchangedFileIsWrittenBackByteForByte) {
  for (const std::string& text : {std::string(kForeign), std::string("[a]\rk=v\r"),
                                  std::string("no newline at end"), std::string("\n\n[x]\n=\n")}) {
    EXPECT_EQ(IniFile(text).text(), text);
  }
}

TEST(IniFile, LineEndsOfEveryKindAreRead) {
  const IniFile ini("[a]\rx=1\ny=2\r\nz=3");
  EXPECT_EQ(ini.readInteger("a", "x", 0), 1);
  EXPECT_EQ(ini.readInteger("a", "y", 0), 2);
  EXPECT_EQ(ini.readInteger("a", "z", 0), 3);
}

TEST(IniFile, WritesInPlaceAtSectionEndOrFileEnd) {
  IniFile ini(kForeign);
  ini.writeString("config", "interval", "20");                 // existing key, changed in place
  ini.writeString("email", "auth", "1");                       // missing key, end of its section
  ini.writeString("host1", "host", "10.0.0.5");                // missing section, end of file
  ini.writeString("email", "smtpserver", "mail.example.org");  // same value: line untouched
  EXPECT_EQ(ini.text(),
            "\xEF\xBB\xBF; written by hand\r\n"
            "\r\n"
            "[Config]\r\n"
            "  Interval =  20\r\n"
            "Message=1\r\n"
            "; a note about email\r\n"
            "\r\n"
            "[EMAIL]\r\n"
            "SmtpServer = \"mail.example.org\"\r\n"
            "UserName='  bob  '\r\n"
            "unknown=keep me\r\n"
            "auth=1\r\n"
            "[config]\r\n"
            "interval=99\r\n"
            "[host1]\r\n"
            "host=10.0.0.5\r\n");
}

TEST(IniFile, KeyAddedToSectionWithoutKeysOrFinalLineEnd) {
  IniFile ini("[a]");
  ini.writeString("a", "k", "v");
  ini.writeString("b", "k", "w");
  EXPECT_EQ(ini.text(), "[a]\nk=v\n[b]\nk=w\n");
  IniFile unterminated("[a]\nx=1");
  unterminated.writeString("a", "y", "2");
  EXPECT_EQ(unterminated.text(), "[a]\nx=1\ny=2\n");
}

TEST(IniFile, WrittenValuesReadBackAsWritten) {
  const std::string values[] = {"",    " lead", "trail ",          "\"quoted\"", "'single'",
                                "a=b", ";x",    "[not a section]", "caf\xC3\xA9"};
  for (const auto& v : values) {
    IniFile ini;
    ini.writeString("s", "k", v);
    EXPECT_EQ(IniFile(ini.text()).readString("s", "k", "?"), v) << v;
  }
}

TEST(IniFile, LineBreaksInAValueCannotForgeLines) {
  IniFile ini;
  ini.writeString("email", "username", "bob\r\n[config]\nhostcount=9");
  const IniFile back(ini.text());
  EXPECT_EQ(back.sectionNames().size(), 1u);
  EXPECT_EQ(back.readString("email", "username", ""), "bob  [config] hostcount=9");
}

TEST(IniFile, ValueIsCutTo2047CodeUnits) {
  const std::string longValue(5000, 'x');
  const IniFile ini("[s]\nk=" + longValue + "\n");
  EXPECT_EQ(ini.readString("s", "k", "").size(), 2047u);
  // A character of two bytes counts once; one beyond U+FFFF counts twice and is never split.
  std::string wide;
  for (int i = 0; i < 2046; ++i) wide += "\xC3\xA9";
  wide += "\xF0\x9F\x98\x80";
  const auto cut = IniFile("[s]\nk=" + wide + "\n").readString("s", "k", "");
  EXPECT_EQ(cut.size(), 2046u * 2);
}

TEST(IniFile, FirstSectionAndFirstKeyWin) {
  IniFile ini("[a]\nk=1\nK=2\n[A]\nk=3\n");
  EXPECT_EQ(ini.readInteger("a", "k", 0), 1);
  ini.writeString("a", "k", "4");
  EXPECT_EQ(ini.text(), "[a]\nk=4\nK=2\n[A]\nk=3\n");
  EXPECT_EQ(ini.sectionNames(), (std::vector<std::string_view>{"a"}));
}

TEST(IniFile, KeyMatchesAgreesWithTheParser) {
  const char* lines[] = {"host=1",  "HOST=1",  "host =1",   "  host=1", "hostx=1",
                         "hos=1",   ";host=1", "[host]=1",  "host",     "=host",
                         "ho st=1", "host==",  "port=host", "h=1",      ""};
  for (const char* key : {"host", "h", "ho st", "host ", "a=b"}) {
    for (const char* line : lines) {
      const IniLine parsed = ParseIniLine(line);
      const bool expected = parsed.kind == IniLine::Kind::Key && EqualsIgnoreCase(parsed.name, key);
      EXPECT_EQ(KeyMatches(line, key), expected) << '"' << line << "\" for \"" << key << '"';
    }
  }
}

using Lines = std::vector<std::pair<std::string, int>>;

Lines SplitWhole(std::string_view text) {
  Lines lines;
  ForEachIniLine(text, [&](std::string_view l, int e) { lines.emplace_back(l, e); });
  return lines;
}

TEST(IniLineSplitter, PiecesOfAnySizeGiveTheLinesOfTheWhole) {
  const std::string texts[] = {
      std::string(kForeign),    "a\r\nb\rc\n\r\n\rd",           "x\r",      "\r\n",
      "\xEF\xBB\xBFk=v\r\n[s]", "one long line without an end", "\n\n\r\r", "\xEF\xBB\xBF"};
  for (const auto& text : texts) {
    for (std::size_t piece = 1; piece <= text.size(); ++piece) {
      IniLineSplitter splitter;
      Lines lines;
      const auto collect = [&](std::string_view l, int e) { lines.emplace_back(l, e); };
      for (std::size_t at = 0; at < text.size(); at += piece)
        splitter.feed(std::string_view(text).substr(at, piece), collect);
      splitter.finish(collect);
      EXPECT_EQ(lines, SplitWhole(text))
          << testing::PrintToString(text) << " in pieces of " << piece;
    }
  }
}

struct IntegerCase {
  const char* text;
  std::optional<std::int32_t> value;
};

TEST(ParseIniInteger, Table) {
  const IntegerCase cases[] = {
      {"0", 0},
      {"42", 42},
      {"-7", -7},
      {"+7", 7},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"0x1F", 31},
      {"0X1f", 31},
      {"$1F", 31},
      {"$FFFFFFFF", -1},
      {"$100000000", std::nullopt},
      {"0x", std::nullopt},
      {"$", std::nullopt},
      {"0x1G", std::nullopt},
      {"12abc", std::nullopt},
      {"1 2", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"abc", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseIniInteger(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
}  // namespace varnley
