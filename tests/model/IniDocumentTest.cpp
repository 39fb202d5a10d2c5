#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/IniDocument.h"
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

// Writes as a plan of (section, key, value) triples; keys marked optional are only changed,
// never added.
struct Write {
  std::string section, key, value;
  bool optional = false;
};

class TestPlan {
 public:
  static constexpr std::size_t kNone = ~std::size_t{0};
  explicit TestPlan(const std::vector<Write>& writes) {
    for (const Write& w : writes) {
      std::size_t t = find(w.section);
      if (t == kNone) {
        t = sections_.size();
        sections_.push_back({w.section, {}});
      }
      sections_[t].second.push_back(w);
    }
  }
  std::size_t count() const { return sections_.size(); }
  std::size_t find(std::string_view name) const {
    for (std::size_t t = 0; t < sections_.size(); ++t)
      if (EqualsIgnoreCase(sections_[t].first, name)) return t;
    return kNone;
  }
  const std::string& name(std::size_t t) const { return sections_[t].first; }
  std::size_t keyCount(std::size_t t) const { return sections_[t].second.size(); }
  std::string_view key(std::size_t t, std::size_t k) const { return sections_[t].second[k].key; }
  std::string_view value(std::size_t t, std::size_t k) const {
    return sections_[t].second[k].value;
  }
  bool addIfMissing(std::size_t t, std::size_t k) const { return !sections_[t].second[k].optional; }
  bool keepsLine(std::size_t, std::size_t, std::string_view) const { return false; }

 private:
  std::vector<std::pair<std::string, std::vector<Write>>> sections_;
};

std::string Written(const std::string& content, const std::vector<Write>& writes) {
  std::string out;
  IniDocument(content).write(TestPlan(writes), [&out](std::string_view piece) { out += piece; });
  return out;
}

TEST(IniDocument, ReadsWithPrivateProfileRules) {
  const IniDocument ini(kForeign);
  EXPECT_EQ(ini.value("config", "interval"), "15");
  EXPECT_EQ(ini.value("CONFIG", "message"), "1");
  EXPECT_EQ(ini.value("email", "smtpserver"), "mail.example.org");
  EXPECT_EQ(ini.value("email", "username"), "  bob  ");  // quotes keep the spaces
  EXPECT_EQ(ini.value("email", "missing"), std::nullopt);
  EXPECT_EQ(ini.value("nosuch", "interval"), std::nullopt);
  // Lines before the first section belong to none.
  EXPECT_EQ(IniDocument("k=v\n[s]\n").value("", "k"), std::nullopt);
  const IniDocument ends("[a]\rx=1\ny=2\r\nz=3");
  EXPECT_EQ(ends.value("a", "x"), "1");
  EXPECT_EQ(ends.value("a", "y"), "2");
  EXPECT_EQ(ends.value("a", "z"), "3");
}

TEST(IniDocument, UnchangedFileIsWrittenBackByteForByte) {
  for (const std::string& text :
       {std::string(kForeign), std::string("[a]\rk=v\r"), std::string("no newline at end"),
        std::string("\n\n[x]\n=\n"), std::string("\xEF\xBB\xBF"), std::string()}) {
    EXPECT_EQ(Written(text, {}), text);
  }
  // Writing what the file says already changes nothing either.
  EXPECT_EQ(Written(kForeign, {{"config", "interval", "15"}, {"email", "username", "  bob  "}}),
            kForeign);
}

TEST(IniDocument, WritesInPlaceAtSectionEndOrFileEnd) {
  EXPECT_EQ(Written(kForeign,
                    {
                        {"config", "interval", "20"},                 // existing key, in place
                        {"email", "auth", "1"},                       // missing key, section end
                        {"host1", "host", "10.0.0.5"},                // missing section, file end
                        {"email", "smtpserver", "mail.example.org"},  // same value: untouched
                        {"email", "security", "tls", true},           // optional and missing
                        {"webhook1", "url", "http://x", true},        // a section of those only
                    }),
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
  // An optional key the file has is changed like any other.
  EXPECT_EQ(Written("[email]\nsecurity=none\n", {{"email", "security", "tls", true}}),
            "[email]\nsecurity=tls\n");
}

TEST(IniDocument, KeyAddedToSectionWithoutKeysOrFinalLineEnd) {
  EXPECT_EQ(Written("[a]", {{"a", "k", "v"}, {"b", "k", "w"}}), "[a]\nk=v\n[b]\nk=w\n");
  EXPECT_EQ(Written("[a]\nx=1", {{"a", "y", "2"}}), "[a]\nx=1\ny=2\n");
  EXPECT_EQ(Written("[a]\rx=1", {{"b", "y", "2"}}), "[a]\rx=1\r[b]\ry=2\r");
}

TEST(IniDocument, WrittenValuesReadBackAsWritten) {
  const std::string values[] = {"",    " lead", "trail ",          "\"quoted\"", "'single'",
                                "a=b", ";x",    "[not a section]", "caf\xC3\xA9"};
  for (const auto& v : values)
    EXPECT_EQ(IniDocument(Written("", {{"s", "k", v}})).value("s", "k"), v) << v;
}

TEST(IniDocument, LineBreaksInAValueCannotForgeLines) {
  const IniDocument back(Written("", {{"email", "username", "bob\r\n[config]\nhostcount=9"}}));
  EXPECT_EQ(back.value("config", "hostcount"), std::nullopt);
  EXPECT_EQ(back.value("email", "username"), "bob  [config] hostcount=9");
}

TEST(IniDocument, ValueIsCutTo2047CodeUnits) {
  const std::string longValue(5000, 'x');
  EXPECT_EQ(IniDocument("[s]\nk=" + longValue + "\n").value("s", "k")->size(), 2047u);
  // A character of two bytes counts once; one beyond U+FFFF counts twice and is never split.
  std::string wide;
  for (int i = 0; i < 2046; ++i) wide += "\xC3\xA9";
  wide += "\xF0\x9F\x98\x80";
  EXPECT_EQ(IniDocument("[s]\nk=" + wide + "\n").value("s", "k")->size(), 2046u * 2);
}

TEST(IniDocument, FirstSectionAndFirstKeyWin) {
  const std::string text = "[a]\nk=1\nK=2\n[A]\nk=3\n";
  EXPECT_EQ(IniDocument(text).value("a", "k"), "1");
  EXPECT_EQ(Written(text, {{"a", "k", "4"}}), "[a]\nk=4\nK=2\n[A]\nk=3\n");
}

TEST(IniDocument, KeyMatchesAgreesWithTheParser) {
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
