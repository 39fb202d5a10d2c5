// Message composition and the address-list parser.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "smtp/IdException.h"
#include "smtp/IdMessage.h"
#include "support/MemoryIOHandler.h"

namespace varnley {
namespace {

struct AddressCase {
  const char* text;
  std::vector<std::pair<std::string, std::string>> items;  // name, address
};

class AddressListTable : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressListTable, Parses) {
  TIdEmailAddressList list;
  list.SetEmailAddresses(GetParam().text);
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& item : list) got.emplace_back(item.Name, item.Address);
  EXPECT_EQ(got, GetParam().items);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AddressListTable,
    ::testing::Values(
        AddressCase{"a@x.org", {{"", "a@x.org"}}},
        AddressCase{" a@x.org ,b@y.org;c@z.org ", {{"", "a@x.org"}, {"", "b@y.org"}, {"", "c@z.org"}}},
        AddressCase{"Jo Doe <jo@x.org>", {{"Jo Doe", "jo@x.org"}}},
        AddressCase{"\"Doe, Jo\" <jo@x.org>; b@y.org", {{"Doe, Jo", "jo@x.org"}, {"", "b@y.org"}}},
        AddressCase{"\"Say \\\"hi\\\"\" <q@x.org>", {{"Say \"hi\"", "q@x.org"}}},
        AddressCase{"<bare@x.org>", {{"", "bare@x.org"}}},
        AddressCase{",, ;", {}},
        AddressCase{"", {}},
        AddressCase{"x <a,b@x.org>", {{"x", "a,b@x.org"}}},
        AddressCase{"broken <a@x.org", {{"broken", "a@x.org"}}}));

TEST(AddressItem, FromTextSplitsNameAndAddress) {
  TIdEmailAddressItem from;
  from.SetText("\"Varnley\" <ops@mail.example.org>");
  EXPECT_EQ(from.Name, "Varnley");
  EXPECT_EQ(from.Address, "ops@mail.example.org");
  EXPECT_EQ(from.Text(), "Varnley <ops@mail.example.org>");
  from.Name = "Doe, Jo";
  EXPECT_EQ(from.Text(), "\"Doe, Jo\" <ops@mail.example.org>");
}

TIdMessage AlertMessage() {
  TIdMessage m;
  m.From.SetText("\"Varnley\" <ops@x.org>");
  m.Recipients.SetEmailAddresses("admin@y.org");
  m.Subject = "10.0.0.5:80 is DOWN.";
  m.Body = {"Varnley:10.0.0.5:80 is DOWN."};
  return m;
}

TEST(Message, HeadersInOrderThenBodyBetweenEmptyLines) {
  testing::MemoryIOHandler io;
  WriteMessage(io, AlertMessage());
  const std::regex expected(
      "From: Varnley <ops@x\\.org>\r\n"
      "Subject: 10\\.0\\.0\\.5:80 is DOWN\\.\r\n"
      "To: admin@y\\.org\r\n"
      "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} \\d\\d:\\d\\d:\\d\\d [+-]\\d{4}\r\n"
      "\r\n"
      "Varnley:10\\.0\\.0\\.5:80 is DOWN\\.\r\n"
      "\r\n");
  EXPECT_TRUE(std::regex_match(io.written, expected)) << io.written;
}

TEST(Message, OptionalHeadersOnlyWhenSet) {
  TIdMessage m = AlertMessage();
  m.CCList.SetEmailAddresses("c@z.org");
  m.BccList.SetEmailAddresses("hidden@z.org");
  m.Priority = mpHigh;
  m.SetExtraHeader("X-Mailer", "Agent");
  m.SetExtraHeader("X-Mailer", "Agent 2");
  std::vector<std::string> names;
  for (const auto& h : m.GenerateHeader()) names.push_back(h.substr(0, h.find(':')));
  EXPECT_EQ(names, (std::vector<std::string>{"From", "Subject", "To", "Cc", "Date", "X-Priority",
                                             "X-Mailer"}));
  m.SetExtraHeader("x-mailer", "");
  EXPECT_TRUE(m.ExtraHeaders.empty());
}

TEST(Message, ClearEmptiesEverything) {
  TIdMessage m = AlertMessage();
  m.Priority = mpLow;
  m.Date = 12345;
  m.Clear();
  EXPECT_TRUE(m.From.Empty());
  EXPECT_EQ(m.Recipients.Count(), 0u);
  EXPECT_TRUE(m.Subject.empty());
  EXPECT_TRUE(m.Body.empty());
  EXPECT_EQ(m.Priority, mpNormal);
  EXPECT_EQ(m.Date, 0);
}

TEST(Message, BodyDotsDoubledAndEmbeddedBreaksCannotEndTheData) {
  TIdMessage m = AlertMessage();
  m.Body = {".starts with dot", "one\r\n.\r\nMAIL FROM:<evil>", "bare\ncr\rend"};
  testing::MemoryIOHandler io;
  WriteMessage(io, m);
  const std::string body = io.written.substr(io.written.find("\r\n\r\n") + 4);
  EXPECT_EQ(body, "..starts with dot\r\none\r\n..\r\nMAIL FROM:<evil>\r\nbare\r\ncr\r\nend\r\n\r\n");
}

TEST(Message, LineBreaksInHeadersAreRefusedBeforeAnythingIsWritten) {
  for (auto spoil : {+[](TIdMessage& m) { m.Subject = "hi\r\nBcc: x@y"; },
                     +[](TIdMessage& m) { m.From.Address = "a@b\n"; },
                     +[](TIdMessage& m) { m.Recipients.SetEmailAddresses("a@b\rX: y"); },
                     +[](TIdMessage& m) { m.SetExtraHeader("X-A", "1\n2"); }}) {
    TIdMessage m = AlertMessage();
    spoil(m);
    testing::MemoryIOHandler io;
    EXPECT_THROW(WriteMessage(io, m), EIdLineBreakInText);
    EXPECT_EQ(io.written, "");
  }
}

TEST(Message, NonAsciiGoesOutAsQuestionMarks) {
  TIdMessage m = AlertMessage();
  m.Subject = "Stra\xC3\x9F" "e";
  testing::MemoryIOHandler io;
  WriteMessage(io, m);
  EXPECT_NE(io.written.find("Subject: Stra?e\r\n"), std::string::npos);
}

}  // namespace
}  // namespace varnley
