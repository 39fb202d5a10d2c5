// The SMTP session against a scripted loopback server: the exact command sequence for each
// server behaviour, and the errors the caller sees.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/StopSource.h"
#include "platform/TcpSocket.h"
#include "smtp/IdException.h"
#include "smtp/IdSMTP.h"
#include "support/MemoryIOHandler.h"
#include "support/ScriptedSmtpServer.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

using testing::Flood;
using testing::Raw;
using testing::Reply;
using testing::ScriptedReply;
using testing::ScriptedSmtpServer;
using testing::Silent;
using Lines = std::vector<std::string>;

const ScriptedReply kGreeting = Reply("220 mail ready");
const ScriptedReply kEhloWithLogin =
    Reply({"250-mail hello", "250-AUTH PLAIN LOGIN", "250 SIZE 1000"});

class Session : public ::testing::Test {
 protected:
  void Client(const ScriptedSmtpServer& server) {
    smtp.Host = server.address();
    smtp.HeloName = "probe";
  }
  static TIdMessage Message(const std::string& to = "admin@y.org") {
    TIdMessage m;
    m.From.SetText("\"Varnley\" <ops@x.org>");
    m.Recipients.SetEmailAddresses(to);
    m.Subject = "s";
    m.Body = {"b"};
    return m;
  }
  TIdSMTP smtp;
};

TEST_F(Session, FullSendWithLogin) {
  ScriptedSmtpServer server(
      kGreeting,
      {kEhloWithLogin, Reply("334 VXNlcm5hbWU6"), Reply("334 UGFzc3dvcmQ6"), Reply("235 2.7.0 ok"),
       Reply("250 reset"), Reply("250 2.1.0 sender ok"), Reply("250 rcpt ok"),
       Reply("251 forwarded"), Reply("354 go"), Reply("250 queued"), Reply("221 bye")});
  Client(server);
  smtp.Username = "user";
  smtp.Password = "p\xC3\xA9ss";  // é goes out as its low byte 0xE9
  smtp.Connect();
  EXPECT_EQ(smtp.Capabilities(), (Lines{"AUTH PLAIN LOGIN", "SIZE 1000"}));
  EXPECT_EQ(smtp.Greeting().Text, (Lines{"mail ready"}));
  TIdMessage m = Message("a@y.org, b@far.org");
  smtp.Send(m);
  EXPECT_TRUE(smtp.DidAuthenticate());
  smtp.Disconnect();
  EXPECT_FALSE(smtp.Connected());
  EXPECT_EQ(server.commands(), (Lines{"EHLO probe", "AUTH LOGIN", "dXNlcg==", "cOlzcw==", "RSET",
                                      "MAIL FROM: <ops@x.org>", "RCPT TO:<a@y.org>",
                                      "RCPT TO:<b@far.org>", "DATA", ".", "QUIT"}));
  const Lines data = server.data();
  ASSERT_GE(data.size(), 5u);
  EXPECT_EQ(data[0], "From: Varnley <ops@x.org>");
  EXPECT_EQ(data[1], "Subject: s");
  EXPECT_EQ(data[2], "To: a@y.org, b@far.org");
  EXPECT_EQ(data.back(), "");
  EXPECT_EQ(data[data.size() - 2], "b");
}

TEST_F(Session, WithoutHeloNameTheLocalHostNameIsGiven) {
  ScriptedSmtpServer server(kGreeting, {Reply("250 hi")});
  smtp.Host = server.address();
  smtp.Connect();
  smtp.Disconnect(false);
  ASSERT_FALSE(LocalHostName().empty());
  EXPECT_EQ(server.commands(), (Lines{"EHLO " + LocalHostName()}));
}

TEST_F(Session, EhloRefusedFallsBackToHeloAndSkipsAuth) {
  ScriptedSmtpServer server(
      kGreeting, {Reply("502 no ehlo"), Reply("250 hi"), Reply("250 ok"), Reply("250 ok"),
                  Reply("250 ok"), Reply("354 go"), Reply("250 ok")});
  Client(server);
  smtp.Username = "user";
  smtp.Password = "pw";
  smtp.Connect();
  EXPECT_TRUE(smtp.Capabilities().empty());
  TIdMessage m = Message();
  smtp.Send(m);
  EXPECT_FALSE(smtp.DidAuthenticate());
  smtp.Disconnect(false);
  EXPECT_EQ(server.commands(), (Lines{"EHLO probe", "HELO probe", "RSET", "MAIL FROM: <ops@x.org>",
                                      "RCPT TO:<admin@y.org>", "DATA", "."}));
}

TEST_F(Session, AuthWithEqualsSignAndSecondSendAuthenticatesOnce) {
  ScriptedSmtpServer server(
      kGreeting,
      {Reply({"250-mail", "250 AUTH=LOGIN"}), Reply("334 a"), Reply("334 b"), Reply("235 ok"),
       Reply("250 ok"), Reply("250 ok"), Reply("250 ok"), Reply("354 go"), Reply("250 ok"),
       Reply("250 ok"), Reply("250 ok"), Reply("250 ok"), Reply("354 go"), Reply("250 ok")});
  Client(server);
  smtp.Username = "u";
  smtp.Connect();
  TIdMessage m = Message();
  smtp.Send(m);
  smtp.Send(m);
  smtp.Disconnect(false);
  const Lines once{"RSET", "MAIL FROM: <ops@x.org>", "RCPT TO:<admin@y.org>", "DATA", "."};
  Lines expected{"EHLO probe", "AUTH LOGIN", "dQ==", ""};
  expected.insert(expected.end(), once.begin(), once.end());
  expected.insert(expected.end(), once.begin(), once.end());
  EXPECT_EQ(server.commands(), expected);
}

TEST_F(Session, NoLoginWithoutUserNameOrWithSatNone) {
  for (auto configure : {+[](TIdSMTP& s) { s.Username.clear(); },
                         +[](TIdSMTP& s) {
                           s.Username = "u";
                           s.AuthType = satNone;
                         }}) {
    ScriptedSmtpServer server(kGreeting, {kEhloWithLogin, Reply("250 ok"), Reply("250 ok"),
                                          Reply("354 go"), Reply("250 ok")});
    TIdSMTP client;
    client.Host = server.address();
    client.HeloName = "probe";
    configure(client);
    client.Connect();
    TIdMessage m = Message("");
    client.Send(m);
    client.Disconnect(false);
    EXPECT_EQ(server.commands(),
              (Lines{"EHLO probe", "RSET", "MAIL FROM: <ops@x.org>", "DATA", "."}));
  }
}

TEST_F(Session, RefusedRecipientSendsRsetThenRaises) {
  ScriptedSmtpServer server(kGreeting, {Reply("250 hi"), Reply("250 ok"), Reply("250 ok"),
                                        Reply("550 5.1.1 no such user"), Reply("250 reset")});
  Client(server);
  smtp.Connect();
  TIdMessage m = Message("nobody@y.org; other@y.org");
  try {
    smtp.Send(m);
    FAIL() << "sent";
  } catch (const EIdSMTPReplyError& e) {
    EXPECT_EQ(e.ErrorCode(), 550);
    EXPECT_STREQ(e.what(), "no such user");
    EXPECT_TRUE(e.EnhancedCode().Available);
    EXPECT_EQ(e.EnhancedCode().FormatReply(), "5.1.1");
  }
  smtp.Disconnect(false);
  EXPECT_EQ(server.commands(), (Lines{"EHLO probe", "RSET", "MAIL FROM: <ops@x.org>",
                                      "RCPT TO:<nobody@y.org>", "RSET"}));
}

TEST_F(Session, RefusalsOfEachStep) {
  struct Case {
    const char* name;
    std::vector<ScriptedReply> replies;
    int code;
    Lines commands;
  };
  const std::vector<Case> cases = {
      {"MailFromRefusedNoRset",
       {Reply("250 hi"), Reply("250 ok"), Reply("553 bad sender")},
       553,
       {"EHLO probe", "RSET", "MAIL FROM: <ops@x.org>"}},
      {"DataRefused",
       {Reply("250 hi"), Reply("250 ok"), Reply("250 ok"), Reply("250 ok"), Reply("451 later"),
        Reply("250 ok")},
       451,
       {"EHLO probe", "RSET", "MAIL FROM: <ops@x.org>", "RCPT TO:<admin@y.org>", "DATA", "RSET"}},
      {"DotRefused",
       {Reply("250 hi"), Reply("250 ok"), Reply("250 ok"), Reply("250 ok"), Reply("354 go"),
        Reply("554 spam"), Reply("250 ok")},
       554,
       {"EHLO probe", "RSET", "MAIL FROM: <ops@x.org>", "RCPT TO:<admin@y.org>", "DATA", ".",
        "RSET"}},
      {"WrongPassword",
       {kEhloWithLogin, Reply("334 a"), Reply("334 b"), Reply("535 5.7.8 bad credentials")},
       535,
       {"EHLO probe", "AUTH LOGIN", "dQ==", "cA=="}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSmtpServer server(kGreeting, c.replies);
    TIdSMTP client;
    client.Host = server.address();
    client.HeloName = "probe";
    client.Username = "u";
    client.Password = "p";
    client.Connect();
    TIdMessage m = Message();
    try {
      client.Send(m);
      ADD_FAILURE() << "sent";
    } catch (const EIdSMTPReplyError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
    }
    client.Disconnect(false);
    EXPECT_EQ(server.commands(), c.commands);
  }
}

TEST_F(Session, GreetingOrHeloRefusedClosesWithoutQuit) {
  {
    ScriptedSmtpServer server(Reply("554 go away"), {});
    Client(server);
    EXPECT_THROW(smtp.Connect(), EIdSMTPReplyError);
    EXPECT_FALSE(smtp.Connected());
    EXPECT_EQ(server.commands(), Lines{});
  }
  {
    ScriptedSmtpServer server(kGreeting, {Reply("500 what"), Reply("501 no")});
    Client(server);
    try {
      smtp.Connect();
      FAIL() << "connected";
    } catch (const EIdSMTPReplyError& e) {
      EXPECT_EQ(e.ErrorCode(), 501);
    }
    EXPECT_FALSE(smtp.Connected());
    EXPECT_EQ(server.commands(), (Lines{"EHLO probe", "HELO probe"}));
  }
}

TEST_F(Session, QuitAnsweredOtherThan221ClosesThenRaises) {
  ScriptedSmtpServer server(kGreeting, {Reply("250 hi"), Reply("500 no quitting")});
  Client(server);
  smtp.Connect();
  try {
    smtp.Disconnect();
    FAIL() << "no error";
  } catch (const EIdSMTPReplyError& e) {
    EXPECT_EQ(e.ErrorCode(), 500);
  }
  EXPECT_FALSE(smtp.Connected());
  EXPECT_EQ(server.commands(), (Lines{"EHLO probe", "QUIT"}));
}

TEST_F(Session, ServerClosingMidReply) {
  ScriptedSmtpServer server(kGreeting, {Raw("250-mail\r\n250-SIZE", true)});
  Client(server);
  EXPECT_THROW(smtp.Connect(), EIdConnClosedGracefully);
  EXPECT_FALSE(smtp.Connected());
}

TEST_F(Session, OverlongReplyLine) {
  ScriptedSmtpServer server(kGreeting, {Reply("250 " + std::string(20000, 'x'))});
  Client(server);
  try {
    smtp.Connect();
    FAIL() << "connected";
  } catch (const EIdReadLnMaxLineLengthExceeded& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
  EXPECT_FALSE(smtp.Connected());
}

TEST_F(Session, ReplyThatNeverEndsIsCapped) {
  ScriptedSmtpServer server(kGreeting, {Flood("250-more")});
  Client(server);
  EXPECT_THROW(smtp.Connect(), EIdReplyTooLarge);
  EXPECT_FALSE(smtp.Connected());
}

TEST_F(Session, SilentServerEndsWithReadTimeoutOrStop) {
  {
    ScriptedSmtpServer server(kGreeting, {Silent()});
    Client(server);
    smtp.ReadTimeout = 100ms;
    EXPECT_THROW(smtp.Connect(), EIdReadTimeout);
    EXPECT_FALSE(smtp.Connected());
  }
  {
    ScriptedSmtpServer server(kGreeting, {Silent()});
    TIdSMTP client;
    client.Host = server.address();
    StopSource stop;
    client.SetStopSource(&stop);
    std::thread worker([&] { EXPECT_THROW(client.Connect(), EIdOperationCancelled); });
    // The EHLO reaching the server means the client is about to wait for its reply.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server.commandCount() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    const auto start = std::chrono::steady_clock::now();
    stop.requestStop();
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  }
}

TEST_F(Session, ServerTextCarriesPortAndBadPortsAreRefused) {
  struct Case {
    const char* text;
    const char* host;
    std::uint16_t port;
  };
  for (const Case& c : {Case{"mail.example.org", "mail.example.org", 25},
                        Case{" 10.0.0.5:2525 ", "10.0.0.5", 2525},
                        Case{"[::1]:2525", "::1", 2525},
                        Case{"[2001:db8::25]", "2001:db8::25", 25},
                        Case{"2001:db8::25", "2001:db8::25", 25}}) {
    const SmtpServerAddress server = SplitServerText(c.text, 25);
    EXPECT_EQ(server.host, c.host) << c.text;
    EXPECT_EQ(server.port, c.port) << c.text;
  }
  for (const char* bad : {"h:", "h:0", "h:65536", "h:25x", "h:999999", "[::1]2525", "[::1]:"}) {
    EXPECT_THROW(SplitServerText(bad, 25), EIdInvalidPort) << bad;
  }
}

TEST_F(Session, LineBreaksInUserDataAreRefusedBeforeTheyReachTheServer) {
  ScriptedSmtpServer server(kGreeting, {Reply("250 hi"), Reply("250 ok"), Reply("250 ok")});
  Client(server);
  smtp.HeloName = "probe\r\nMAIL FROM:<x>";
  EXPECT_THROW(smtp.Connect(), EIdLineBreakInText);
  smtp.HeloName = "probe";
  smtp.Connect();
  TIdMessage m = Message();
  m.Recipients.SetEmailAddresses("a@b\r\nRCPT TO:<c@d>");
  EXPECT_THROW(smtp.Send(m), EIdLineBreakInText);
  m = Message();
  m.From.Address = "ops@x.org>\nRSET";
  EXPECT_THROW(smtp.Send(m), EIdLineBreakInText);
  EXPECT_THROW(smtp.SendCommand("NOOP\r\nQUIT"), EIdLineBreakInText);
  smtp.Disconnect(false);
  EXPECT_EQ(server.commands(), (Lines{"EHLO probe"}));
}

TEST(SmtpCommands, NotConnected) {
  TIdSMTP smtp;
  EXPECT_THROW(smtp.SendCommand("NOOP"), EIdNotConnected);
  TIdMessage m;
  EXPECT_THROW(smtp.Send(m), EIdNotConnected);
  EXPECT_NO_THROW(smtp.Disconnect());
}

TEST(Base64, LowBytesOfEachCharacter) {
  EXPECT_EQ(EncodeBase64LowBytes(""), "");
  EXPECT_EQ(EncodeBase64LowBytes("f"), "Zg==");
  EXPECT_EQ(EncodeBase64LowBytes("fo"), "Zm8=");
  EXPECT_EQ(EncodeBase64LowBytes("foo"), "Zm9v");
  EXPECT_EQ(EncodeBase64LowBytes("foobar"), "Zm9vYmFy");
  EXPECT_EQ(EncodeBase64LowBytes("\xE2\x82\xAC"), "rA==");  // euro sign U+20AC -> 0xAC
}

// Reply parsing over raw input.
struct ReplyCase {
  const char* name;
  const char* input;
  std::string code;
  Lines text;
  std::string enhanced;  // "" when none
};

class ReplyTable : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTable, Parses) {
  testing::MemoryIOHandler io;
  io.AddChunk(GetParam().input);
  TIdReplySMTP reply;
  ReadSmtpReply(io, reply);
  EXPECT_EQ(reply.Code, GetParam().code);
  EXPECT_EQ(reply.Text, GetParam().text);
  EXPECT_EQ(reply.EnhancedCode.Available ? reply.EnhancedCode.FormatReply() : "",
            GetParam().enhanced);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTable,
    ::testing::Values(
        ReplyCase{"BareCode", "250\r\n", "250", {""}, ""},
        ReplyCase{"SkipsEmptyLines", "\r\n\r\n220 hi\r\n", "220", {"hi"}, ""},
        ReplyCase{"Continuation", "250-a\r\n250-b\r\n250 c\r\nnext", "250", {"a", "b", "c"}, ""},
        ReplyCase{"Enhanced", "550 5.1.1 unknown user\r\n", "550", {"unknown user"}, "5.1.1"},
        ReplyCase{"EnhancedCutToThreeDigits", "250 2.1234.0 ok\r\n", "250", {"ok"}, "2.123.0"},
        ReplyCase{"NotEnhancedWithClass3", "354 3.0.0 go\r\n", "354", {"3.0.0 go"}, ""},
        ReplyCase{"EnhancedWordAlone", "250 2.0.0\r\n", "250", {"2.0.0"}, ""},
        ReplyCase{"BlankCode", "    text\r\n", "", {"text"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReplyCodes, InvalidCodesRaise) {
  for (const char* input : {"abc hi\r\n", "099 low\r\n", "25\r\n", "25x hi\r\n"}) {
    testing::MemoryIOHandler io;
    io.AddChunk(input);
    TIdReplySMTP reply;
    try {
      ReadSmtpReply(io, reply);
      ADD_FAILURE() << input;
    } catch (const EIdReplyRFCError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Reply Code is not valid: ", 0), 0u) << input;
    }
  }
  TIdSMTPEnhancedCode code;
  EXPECT_THROW(code.SetReplyString("3.1.1"), EIdSMTPReplyInvalidReplyString);
  EXPECT_THROW(code.SetReplyString("5.x.1"), EIdSMTPReplyInvalidReplyString);
}

TEST(ReplyCodes, FloodOfEmptyLinesIsCapped) {
  testing::MemoryIOHandler io;
  io.AddChunk(std::string(TIdReplySMTP::kMaxBytes, '\n'));
  TIdReplySMTP reply;
  EXPECT_THROW(ReadSmtpReply(io, reply), EIdReplyTooLarge);
}

}  // namespace
}  // namespace varnley
