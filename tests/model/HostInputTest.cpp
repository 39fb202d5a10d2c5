#include <gtest/gtest.h>

#include "alert/AlertInput.h"
#include "model/HostInput.h"

namespace varnley {
namespace {

TEST(ParseDecimal, ReadsWholeTextsOnly) {
  struct Case {
    const char* text;
    std::optional<int> value;
  } cases[] = {
      {"80", 80},
      {" 42 ", 42},
      {"+7", 7},
      {"-3", -3},
      {"010", 10},
      {"", {}},
      {"abc", {}},
      {"12abc", {}},
      {"++1", {}},
      {"+-1", {}},
      {"2147483647", 2147483647},
      {"2147483648", {}},
      {"1 2", {}},
      {"0x10", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << '"' << c.text << '"';
}

TEST(CanAddPort, AcceptsOnlyNewPortsWithinRange) {
  const std::vector<std::string> listed = {"80", "443"};
  struct Case {
    const char* text;
    bool accepted;
  } cases[] = {
      {"1", true},      {"65535", true},   {"22", true},    {"0", false},
      {"65536", false}, {"999999", false}, {"80", false},   {"", false},
      {"-1", false},    {"080", false},    {"+443", false}, {"022", true},
  };
  for (const auto& c : cases) EXPECT_EQ(CanAddPort(c.text, listed), c.accepted) << c.text;
  // A number is listed as the list shows it, whatever zeros it was typed with.
  EXPECT_EQ(PortText("022"), "22");
  EXPECT_EQ(PortText("+7"), "7");
}

TEST(CanAddPort, SaysWhyAPortIsRefused) {
  const std::vector<std::string> listed = {"80"};
  EXPECT_EQ(PortRefusal("", listed), "Type a port number first.");
  EXPECT_EQ(PortRefusal("70000", listed), "A port is a number from 1 to 65535.");
  EXPECT_EQ(PortRefusal("0", listed), "A port is a number from 1 to 65535.");
  EXPECT_EQ(PortRefusal("0080", listed), "Port 80 is listed already.");
  EXPECT_EQ(PortRefusal("81", listed), std::nullopt);
}

TEST(CanAddPort, RefusesAPortTheFileCouldNotHold) {
  // 340 entries of "10000," make 2040 of the 2047 characters a stored value keeps.
  std::vector<std::string> listed;
  for (int port = 10000; port < 10340; ++port) listed.push_back(std::to_string(port));
  EXPECT_TRUE(CanAddPort("12345", listed));  // 2046
  listed.push_back("12345");
  EXPECT_FALSE(CanAddPort("2", listed));  // 2048
  EXPECT_FALSE(CanAddPort("65535", listed));
}

TEST(PortLists, SplitAndJoinKeepTheTrailingComma) {
  EXPECT_EQ(SplitPorts("21,80,443,"), (std::vector<std::string>{"21", "80", "443"}));
  EXPECT_EQ(SplitPorts("21,,80"), (std::vector<std::string>{"21", "80"}));
  EXPECT_TRUE(SplitPorts("").empty());
}

TEST(HostFields, SplitDropsLeadingZerosAndKeepsOddParts) {
  EXPECT_EQ(SplitHost("010.000.1.20"), (std::array<std::string, 4>{"10", "0", "1", "20"}));
  // Nothing of a malformed host disappears from the fields.
  EXPECT_EQ(SplitHost("1.2.3.4.5"), (std::array<std::string, 4>{"1", "2", "3", "4.5"}));
  EXPECT_EQ(SplitHost("1.2"), (std::array<std::string, 4>{"1", "2", "", ""}));
  EXPECT_EQ(JoinHost({"10", "0", "0", "300"}), "10.0.0.300");
}

TEST(HostBoxes, TextsQuoteTheHost) {
  EXPECT_EQ(InvalidHostText("10.0.0.300"), "\"10.0.0.300\" is invalid.");
  EXPECT_EQ(ConfirmRemoveText("10.0.0.5"), "Do you sure to delete Host \"10.0.0.5\"?");
}

TEST(AlertInput, FirstEmptyFieldWinsAndBlanksCount) {
  EXPECT_EQ(MissingEmailField({"", "", "", ""}), "Please fill the SMTP server.");
  EXPECT_EQ(MissingEmailField({"s", "", "", ""}), "Please fill the User Name.");
  EXPECT_EQ(MissingEmailField({"s", "u", "", "m"}), "Please fill the Password.");
  EXPECT_EQ(MissingEmailField({"s", "u", "p", ""}), "Please fill the Receive Email.");
  EXPECT_EQ(MissingEmailField({" ", " ", " ", " "}), std::nullopt);
}

TEST(AlertInput, IntervalStaysWithinTheMillisecondRange) {
  EXPECT_EQ(AcceptedInterval("5"), 5);
  EXPECT_EQ(AcceptedInterval("2147483"), 2147483);
  for (const char* refused : {"0", "-3", "abc", "", "2147484", "99999999999"})
    EXPECT_EQ(AcceptedInterval(refused), std::nullopt) << refused;
}

}  // namespace
}  // namespace varnley
