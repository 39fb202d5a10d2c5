#include <gtest/gtest.h>

#include "model/PortList.h"

namespace varnley {
namespace {

TEST(PortList, SplitsAsLinesAndJoinsBack) {
  struct Case {
    std::string text;
    std::vector<std::string> entries;
    std::string joined;
  };
  const Case cases[] = {
      {"", {}, ""},
      {"80,", {"80"}, "80,"},
      {"21,80,443,", {"21", "80", "443"}, "21,80,443,"},
      {"80,443", {"80", "443"}, "80,443,"},  // no final comma: the same two entries
      {"80,,443,", {"80", "", "443"}, "80,,443,"},
      {",", {""}, ","},
      {",,", {"", ""}, ",,"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitPortList(c.text), c.entries) << '"' << c.text << '"';
    EXPECT_EQ(JoinPortList(SplitPortList(c.text)), c.joined) << '"' << c.text << '"';
  }
}

TEST(PortList, EntryValueIsPlainDecimalOrZero) {
  const std::pair<std::string, long long> cases[] = {
      {"80", 80},
      {"080", 80},
      {" 443 ", 443},
      {"65535", 65535},
      {"65536", 65536},
      {"0", 0},
      {"", 0},
      {"abc", 0},
      {"8o", 0},
      {"-80", 0},
      {"+80", 0},
      {"$50", 0},
      {"0x50", 0},
      {"1.5", 0},
      {"99999999999999999999", 0},  // too long for any port, and no overflow either
  };
  for (const auto& [entry, value] : cases) EXPECT_EQ(PortEntryValue(entry), value) << entry;
}

}  // namespace
}  // namespace varnley
