// The alert mail: its fields, the session it runs, and the sender thread's passes, against a
// scripted loopback server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "alert/AlertMail.h"
#include "alert/MailStatus.h"
#include "alert/TEmailThread.h"
#include "platform/TcpSocket.h"
#include "platform/Text.h"
#include "smtp/IdException.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"
#include "support/HostileDnsServer.h"
#include "support/ScriptedSmtpServer.h"
#include "support/StartTlsSmtpServer.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

using testing::Reply;
using testing::ScriptedReply;
using testing::ScriptedSmtpServer;
using namespace std::chrono_literals;

TEST(AlertMail, FromAddressFollowsTheUserNameRule) {
  struct Case {
    const char* user;
    const char* server;
    const char* from;
  };
  for (const Case& c :
       {Case{"ops", "mail.example.org", "\"Varnley\" <ops@mail.example.org>"},
        Case{"ops@example.org", "mail.example.org", "\"Varnley\" <ops@example.org>"},
        Case{"ops", "127.0.0.1:2525", "\"Varnley\" <ops@127.0.0.1>"},
        Case{"ops", " mx ", "\"Varnley\" <ops@mx>"},
        Case{"ops", "[::1]:2525", "\"Varnley\" <ops@[IPv6:::1]>"},
        Case{"ops", "2001:db8::25", "\"Varnley\" <ops@[IPv6:2001:db8::25]>"}}) {
    EXPECT_EQ(FromText(c.user, c.server), c.from) << c.user << " " << c.server;
  }
}

TEST(AlertMail, SubjectIsTheFirstSixtyCharactersAndTheBodyKeepsTheWhole) {
  const std::string longText =
      "\"10.0.0.5:80,10.0.0.5:443,10.0.0.6:22,10.0.0.7:25,10.0.0.8:110\" is DOWN.";
  ASSERT_GT(longText.size(), 60u);
  MailAccount account{"mx", "ops", "pw", "a@x.org; \"Doe, Jo\" <jo@y.org>", true};
  TIdMessage message;
  message.Subject = "stale";
  message.Body = {"stale", "lines"};
  ComposeAlertMessage(message, account, longText);
  EXPECT_EQ(message.Subject, longText.substr(0, 60));
  EXPECT_EQ(message.Body, std::vector<std::string>{"Varnley:" + longText});
  EXPECT_EQ(message.From.Name, "Varnley");
  EXPECT_EQ(message.From.Address, "ops@mx");
  ASSERT_EQ(message.Recipients.Count(), 2u);
  EXPECT_EQ(message.Recipients[1].Address, "jo@y.org");

  // Sixty characters, not sixty bytes; a surrogate pair is never cut in half.
  const std::string accented = std::string(59, 'a') + "\xC3\xA9\xC3\xA9";
  EXPECT_EQ(AlertSubject(accented), std::string(59, 'a') + "\xC3\xA9");
  const std::string emoji = std::string(59, 'a') + "\xF0\x9F\x98\x80";
  EXPECT_EQ(AlertSubject(emoji), std::string(59, 'a'));

  ComposeTestMessage(message, account);
  EXPECT_EQ(message.Subject, "Varnley Test Message");
  EXPECT_EQ(message.Body, std::vector<std::string>{"Varnley: Test Message"});
}

const ScriptedReply kGreeting = Reply("220 ready");

std::vector<ScriptedReply> HappySession() {
  return {Reply({"250-mx", "250 AUTH LOGIN"}),
          Reply("334 VXNlcm5hbWU6"),
          Reply("334 UGFzc3dvcmQ6"),
          Reply("235 ok"),
          Reply("250 reset"),
          Reply("250 sender"),
          Reply("250 rcpt"),
          Reply("354 go"),
          Reply("250 queued"),
          Reply("221 bye")};
}

TEST(AlertMail, OneSessionPerAlertEndsWithQuit) {
  ScriptedSmtpServer server(kGreeting, HappySession());
  TIdSMTP client;
  TIdMessage message;
  MailAccount account{server.address(), "ops", "secret", "admin@example.org", true};
  EXPECT_TRUE(SendAlertMail(client, message, account, "\"127.0.0.1:80\" is DOWN.").sent);
  const auto commands = server.commands();
  ASSERT_EQ(commands.size(), 10u);
  EXPECT_EQ(commands[0].substr(0, 5), "EHLO ");
  EXPECT_EQ(commands[1], "AUTH LOGIN");
  EXPECT_EQ(commands[2], "b3Bz");
  EXPECT_EQ(commands[4], "RSET");
  EXPECT_EQ(commands[5], "MAIL FROM: <ops@127.0.0.1>");
  EXPECT_EQ(commands[6], "RCPT TO:<admin@example.org>");
  EXPECT_EQ(commands[7], "DATA");
  EXPECT_EQ(commands[8], ".");
  EXPECT_EQ(commands[9], "QUIT");
  EXPECT_FALSE(client.Connected());
}

TEST(AlertMail, AuthenticationOffSendsNoAuth) {
  ScriptedSmtpServer server(
      kGreeting, {Reply({"250-mx", "250 AUTH LOGIN"}), Reply("250 reset"), Reply("250 sender"),
                  Reply("250 rcpt"), Reply("354 go"), Reply("250 queued"), Reply("221 bye")});
  TIdSMTP client;
  TIdMessage message;
  MailAccount account{server.address(), "ops", "secret", "admin@example.org", false};
  EXPECT_TRUE(SendAlertMail(client, message, account, "x").sent);
  EXPECT_EQ(server.commands().at(1), "RSET");
}

TEST(AlertMail, RefusedRecipientDropsTheAlertAfterRsetAndQuit) {
  ScriptedSmtpServer server(kGreeting,
                            {Reply("250 mx"), Reply("250 reset"), Reply("250 sender"),
                             Reply("550 no such user"), Reply("250 reset"), Reply("221 bye")});
  TIdSMTP client;
  TIdMessage message;
  MailAccount account{server.address(), "ops", "", "nobody@example.org", false};
  EXPECT_FALSE(SendAlertMail(client, message, account, "x").sent);
  const auto commands = server.commands();
  ASSERT_GE(commands.size(), 6u);
  EXPECT_EQ(commands[4], "RSET");
  EXPECT_EQ(commands[5], "QUIT");
  EXPECT_FALSE(client.Connected());
}

TEST(AlertMail, ALineBreakInTheSettingsFailsTheSendBeforeAnythingIsWritten) {
  ScriptedSmtpServer server(kGreeting, HappySession());
  TIdSMTP client;
  TIdMessage message;
  MailAccount account{server.address(), "ops\r\nRCPT TO:<x@evil>", "pw", "a@x.org", false};
  EXPECT_FALSE(SendAlertMail(client, message, account, "x").sent);
  for (const auto& line : server.commands()) {
    EXPECT_EQ(line.find("evil"), std::string::npos) << line;
    EXPECT_NE(line.substr(0, 4), "MAIL") << line;
  }
}

TEST(AlertMail, TestMailWrapsOnlyTheSendInTheBusyCursor) {
  ScriptedSmtpServer server(
      kGreeting, {Reply("250 mx"), Reply("250 reset"), Reply("250 sender"), Reply("250 rcpt"),
                  Reply("354 go"), Reply("250 queued"), Reply("500 no quit for you")});
  TIdSMTP client;
  TIdMessage message;
  std::vector<bool> cursor;
  MailAccount account{server.address(), "ops", "pw", "a@x.org", false};
  // A refused QUIT after the message was taken still counts as sent.
  EXPECT_TRUE(SendTestMail(client, message, account, [&](bool busy) { cursor.push_back(busy); }));
  EXPECT_EQ(cursor, (std::vector<bool>{true, false}));
  EXPECT_FALSE(client.Connected());
}

TEST(AlertMail, TestMailToARefusedPortFailsWithoutTouchingTheCursor) {
  TcpListener closed;
  ASSERT_EQ(closed.listenLoopback(1), 0);
  const std::string address = "127.0.0.1:" + std::to_string(closed.port());
  closed.close();  // nothing listens there any more: the connect is refused
  TIdSMTP client;
  TIdMessage message;
  int cursorCalls = 0;
  EXPECT_FALSE(SendTestMail(client, message, {address, "ops", "pw", "a@x.org", false},
                            [&](bool) { ++cursorCalls; }));
  EXPECT_EQ(cursorCalls, 0);
}

TEST(EmailThread, OnePassTakesOneEntryAndABusyQueueWaits) {
  ScriptedSmtpServer server(
      kGreeting, {Reply("250 mx"), Reply("250 reset"), Reply("250 sender"), Reply("250 rcpt"),
                  Reply("354 go"), Reply("250 queued"), Reply("221 bye")});
  AlertQueues queues;
  AlertSettings settings;
  settings.smtpServer = server.address();
  settings.userName = "ops";
  settings.receiveEmail = "a@x.org";
  queues.AddEmailEntry("first");
  queues.AddEmailEntry("second");
  TEmailThread sender(queues, settings, TEmailThread::NoThread{});
  EXPECT_TRUE(sender.runPass());
  EXPECT_EQ(queues.emailEntries(), std::vector<std::string>{"second"});
  const auto data = server.data();
  EXPECT_NE(std::find(data.begin(), data.end(), "Subject: first"), data.end());
}

TEST(EmailThread, StopDuringASilentServerReturnsWithinASecond) {
  ScriptedSmtpServer server(kGreeting, {testing::Silent()});
  AlertQueues queues;
  AlertSettings settings;
  settings.smtpServer = server.address();
  settings.userName = "ops";
  settings.receiveEmail = "a@x.org";
  settings.interval = 3600;
  queues.AddEmailEntry("\"127.0.0.1:9\" is DOWN.");
  auto sender = std::make_unique<TEmailThread>(queues, settings);
  ASSERT_TRUE(test::WaitFor([&] { return queues.emailEntries().empty(); }));
  const auto start = std::chrono::steady_clock::now();
  sender->requestStop();
  sender->join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// "127.0.0.1:1,127.0.0.1:2,..." for n entries, as the dispatch joins them.
std::string Entries(int n) {
  std::string text = "\"";
  for (int i = 1; i <= n; ++i) {
    if (i > 1) text += ',';
    text += "127.0.0." + std::to_string(i % 250);
    text += ':';
    text += std::to_string(1000 + i);
  }
  text += "\" is DOWN.";
  return text;
}

std::size_t Units(const std::string& s) { return Utf8ToUtf16(s).size(); }

std::string Joined(const std::vector<std::string>& pieces) {
  std::string all;
  for (const auto& p : pieces) all += p;
  return all;
}

TEST(BodyFolding, LongLinesFoldAtCommasAndLoseNothing) {
  EXPECT_EQ(FoldBodyLine("short,line"), std::vector<std::string>{"short,line"});
  const std::string exact(998, 'x');
  EXPECT_EQ(FoldBodyLine(exact), std::vector<std::string>{exact});

  const std::string alert = "Varnley:" + Entries(200);
  const auto pieces = FoldBodyLine(alert);
  ASSERT_GT(pieces.size(), 1u);
  EXPECT_EQ(Joined(pieces), alert);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_LE(Units(pieces[i]), 998u);
    if (i + 1 < pieces.size()) {
      EXPECT_EQ(pieces[i].back(), ',') << "piece " << i;
    }
  }

  struct Case {
    const char* name;
    std::string line;
    std::size_t limit;
  };
  const std::string emoji = "\xF0\x9F\x98\x80";  // one character, two code units
  for (const Case& c :
       {Case{"no comma: cut hard", std::string(25, 'a'), 10},
        Case{"a surrogate pair stays whole", std::string(9, 'a') + emoji + "bbbbbbbb", 10},
        Case{"a piece starting with a dot leaves room for its second dot", "aaaaaaaaa,.bbbbbbbbb",
             10},
        Case{"accented letters count once", std::string(6, 'a') + "\xC3\xA9\xC3\xA9,ccccc", 10}}) {
    const auto folded = FoldBodyLine(c.line, c.limit);
    EXPECT_EQ(Joined(folded), c.line) << c.name;
    for (const auto& piece : folded) {
      const std::size_t wire = Units(piece) + (piece.front() == '.' ? 1 : 0);
      EXPECT_LE(wire, c.limit) << c.name << ": " << piece;
      EXPECT_NE(Utf8ToUtf16(piece).back(), 0xD83D) << c.name;
    }
  }
}

TEST(BodyFolding, ATwoHundredEntryAlertArrivesWithEveryLineWithinTheLimit) {
  ScriptedSmtpServer server(
      kGreeting, {Reply("250 mx"), Reply("250 reset"), Reply("250 sender"), Reply("250 rcpt"),
                  Reply("354 go"), Reply("250 queued"), Reply("221 bye")});
  TIdSMTP client;
  TIdMessage message;
  const std::string alert = Entries(200);
  ASSERT_TRUE(
      SendAlertMail(client, message, {server.address(), "ops", "", "a@x.org", false}, alert).sent);
  const auto data = server.data();
  std::string body;
  bool inBody = false;
  for (const auto& line : data) {
    EXPECT_LE(line.size(), 998u);
    if (inBody) body += line;
    if (line.empty()) inBody = true;
    if (line.rfind("Subject: ", 0) == 0) {
      EXPECT_EQ(line, "Subject: " + alert.substr(0, 60));
    }
  }
  EXPECT_EQ(body, "Varnley:" + alert) << "the folded lines join to the whole text";
}

TEST(AlertMail, MergedAlertsGiveALineEachAndTheFirstMakesTheSubject) {
  TIdMessage message;
  ComposeAlertMessage(
      message, {"mx", "ops", "", "a@x.org", false},
      "\"127.0.0.1:80\" is DOWN.\n\"127.0.0.1:80\" is UP.\n\"127.0.0.1:80\" is DOWN.");
  EXPECT_EQ(message.Subject, "\"127.0.0.1:80\" is DOWN.");
  EXPECT_EQ(message.Body,
            (std::vector<std::string>{"Varnley:\"127.0.0.1:80\" is DOWN.",
                                      "\"127.0.0.1:80\" is UP.", "\"127.0.0.1:80\" is DOWN."}));
}

// The sender's limits, shortened so the stalls are seen quickly.
constexpr MailLimits kShortLimits{500, 400, 1500};

// Retries due at once, so that each pass by hand is the next try.
ChannelOptions AtOnce() {
  ChannelOptions options;
  options.schedule = {{0ms}, 0ms, 1h};
  return options;
}

std::vector<ScriptedReply> Then(std::vector<ScriptedReply> a, const std::vector<ScriptedReply>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

AlertSettings SettingsFor(const std::string& server) {
  AlertSettings settings;
  settings.smtpServer = server;
  settings.userName = "ops";
  settings.receiveEmail = "a@x.org";
  return settings;
}

std::vector<ScriptedReply> PlainSession() {
  return {Reply("250 mx"), Reply("250 reset"),  Reply("250 sender"), Reply("250 rcpt"),
          Reply("354 go"), Reply("250 queued"), Reply("221 bye")};
}

TEST(EmailThread, AStallingServerIsTriedAgainOnAFreshSessionWithWhatQueuedMeanwhile) {
  struct Stall {
    const char* name;
    ScriptedReply greeting;
    std::vector<ScriptedReply> replies;
    const char* reason;
  };
  const Stall stalls[] = {
      {"silent after accept", testing::Silent(), {}, "Read timed out."},
      {"trickled multi-line reply",
       testing::Trickle({"220-a", "220-b", "220-c", "220-d", "220-e", "220-f", "220-g", "220 h"},
                        100),
       {},
       "Read timed out."},
      {"reply that never ends",
       Reply("220 hi"),
       {testing::Trickle({"2500 odd"}, 50, true)},
       "Read timed out."},
      // Each reply in time, the session as a whole not.
      {"slow session",
       testing::Trickle({"220 hi"}, 300),
       {testing::Trickle({"250 mx"}, 300), testing::Trickle({"250 reset"}, 300),
        testing::Trickle({"250 sender"}, 300), testing::Trickle({"250 rcpt"}, 300),
        testing::Trickle({"354 go"}, 300)},
       "Session timed out."},
  };
  for (const Stall& stall : stalls) {
    ScriptedSmtpServer bad(stall.greeting, stall.replies);
    ScriptedSmtpServer good(kGreeting, PlainSession());
    AlertSettings settings = SettingsFor(bad.address());
    AlertQueues queues;
    std::ostringstream errors;
    MailStatus status(errors);
    TEmailThread sender(queues, settings, TEmailThread::NoThread{}, &status, kShortLimits,
                        AtOnce());
    queues.AddEmailEntry("\"127.0.0.1:1\" is DOWN.");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sender.runPass()) << stall.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms) << stall.name;
    ASSERT_TRUE(status.Last()) << stall.name;
    EXPECT_FALSE(status.Last()->sent);
    EXPECT_EQ(status.Last()->reason, stall.reason) << stall.name;
    EXPECT_EQ(errors.str().rfind(std::string("Varnley: an alert mail could not be sent: ") +
                                     stall.reason + ", retry at ",
                                 0),
              0u)
        << errors.str();
    ASSERT_TRUE(status.Last()->retryAt) << stall.name;

    settings.smtpServer = good.address();
    queues.AddEmailEntry("\"127.0.0.1:2\" is DOWN.");
    EXPECT_TRUE(sender.runPass()) << stall.name;
    EXPECT_TRUE(status.Last()->sent);
    const auto data = good.data();
    EXPECT_NE(std::find(data.begin(), data.end(), "Subject: \"127.0.0.1:1\" is DOWN."), data.end())
        << stall.name;
    EXPECT_NE(std::find(data.begin(), data.end(), "\"127.0.0.1:2\" is DOWN."), data.end())
        << stall.name << ": the text queued behind it goes out in the same mail";
  }
}

TEST(EmailThread, ATemporaryRefusalIsTriedAgainAndALastingOneIsNot) {
  struct Case {
    const char* name;
    std::vector<ScriptedReply> replies;
    int passes;
    bool delivered;
    std::size_t failures;
    const char* reason;
  };
  const std::vector<ScriptedReply> greylisted = {Reply("250 mx"), Reply("250 reset"),
                                                 Reply("451 4.7.1 greylisted, try later"),
                                                 Reply("221 bye")};
  const Case cases[] = {
      {"451 then 250", Then(greylisted, PlainSession()), 2, true, 1, "greylisted, try later"},
      {"550",
       {Reply("250 mx"), Reply("250 reset"), Reply("550 5.7.1 relaying denied"), Reply("221 bye")},
       2,
       false,
       1,
       "relaying denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSmtpServer server(kGreeting, c.replies);
    AlertSettings settings = SettingsFor(server.address());
    AlertQueues queues;
    std::ostringstream errors;
    MailStatus status(errors);
    TEmailThread sender(queues, settings, TEmailThread::NoThread{}, &status, kShortLimits,
                        AtOnce());
    queues.AddEmailEntry("\"127.0.0.1:81\" is DOWN.");
    bool delivered = false;
    for (int i = 0; i < c.passes; ++i) delivered = sender.runPass() || delivered;
    EXPECT_EQ(delivered, c.delivered);
    EXPECT_EQ(status.Count().failed, c.failures);
    EXPECT_EQ(sender.Pending(), 0u);
    if (!c.delivered) {
      EXPECT_FALSE(status.Last()->retryAt);
      EXPECT_NE(errors.str().find(c.reason), std::string::npos) << errors.str();
    }
  }
}

TEST(EmailThread, EachFailureNamesItsCause) {
  TcpListener gone;
  ASSERT_EQ(gone.listenLoopback(1), 0);
  const std::string closed = "127.0.0.1:" + std::to_string(gone.port());
  gone.close();
  ScriptedSmtpServer login(kGreeting,
                           {Reply({"250-mx", "250 AUTH LOGIN"}), Reply("334 VXNlcm5hbWU6"),
                            Reply("334 UGFzc3dvcmQ6"), Reply("535 5.7.8 bad credentials")});
  struct Case {
    std::string server;
    bool authentication;
    std::string reason;
    bool temporary;
  };
  for (const Case& c :
       {Case{"", false, "no SMTP server is set", false},
        Case{"  ", false, "no SMTP server is set", false},
        Case{closed, false,
             "cannot connect to " + closed + ": Socket Error # 10061 Connection refused.", true},
        Case{login.address(), true, "the server refused the login: bad credentials", false}}) {
    SCOPED_TRACE(c.server);
    TIdSMTP client;
    TIdMessage message;
    MailAccount account{c.server, "ops", "pw", "a@x.org", c.authentication};
    const MailResult result = SendAlertMail(client, message, account, "x");
    EXPECT_FALSE(result.sent);
    EXPECT_EQ(result.error, c.reason);
    EXPECT_EQ(result.temporary, c.temporary);
  }
}

TEST(EmailThread, StopDuringALookupThatNeverAnswersReturnsWithinASecond) {
  test::HostileDnsServer silent(test::HostileDnsServer::Mode::silent);
  AlertQueues queues;
  AlertSettings settings = SettingsFor("mail.test");
  settings.dns = silent.dns();
  settings.interval = 3600;
  std::ostringstream errors;
  MailStatus status(errors);
  queues.AddEmailEntry("\"127.0.0.1:9\" is DOWN.");
  auto sender = std::make_unique<TEmailThread>(queues, settings, &status);
  ASSERT_TRUE(test::WaitFor([&] { return silent.queries() > 0; }, 5s));
  const auto start = std::chrono::steady_clock::now();
  sender->requestStop();
  sender->join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(status.Last()) << "a mail cut short by Stop is no failure of the server";
  EXPECT_EQ(errors.str(), "");
}

TEST(MailStatus, OnlyFailuresReachStderrEachOnOneLine) {
  std::ostringstream errors;
  MailStatus status(errors);
  int heard = 0;
  status.SetListener([&] { ++heard; });
  status.Report({true, "", std::chrono::system_clock::now()});
  status.Report(
      {false, "Socket Error # 10061\r\nConnection refused.", std::chrono::system_clock::now()});
  EXPECT_EQ(errors.str(),
            "Varnley: an alert mail could not be sent: Socket Error # 10061 Connection refused.\n");
  EXPECT_EQ(heard, 2);
  status.SetListener({});
  status.Report({true, "", std::chrono::system_clock::now()});
  EXPECT_EQ(heard, 2);
  EXPECT_TRUE(status.Last()->sent);
}

}  // namespace
}  // namespace varnley

namespace varnley {
namespace {

TEST(AlertMailSecurity, SettingsChooseTheTlsModeAndThePortAServerTextLacks) {
  struct Case {
    const char* security;
    TIdUseTLS useTLS;
    std::uint16_t port;
  };
  for (const Case& c : {Case{"", utNoTLSSupport, 25}, Case{"none", utNoTLSSupport, 25},
                        Case{" STARTTLS ", utUseRequireTLS, 587},
                        Case{"tls", utUseImplicitTLS, 465}, Case{"Tls", utUseImplicitTLS, 465}}) {
    SCOPED_TRACE(c.security);
    TIdSMTP client;
    ConfigureClient(client, {"mx", "ops", "pw", "a@x.org", true, c.security, false});
    EXPECT_EQ(client.UseTLS, c.useTLS);
    EXPECT_EQ(client.Port, c.port);
    EXPECT_FALSE(client.VerifyCertificate);
  }
}

TEST(AlertMailSecurity, AnUnknownSecurityNeverFallsBackToPlainText) {
  ScriptedSmtpServer server(Reply("220 mx"), {Reply("250 mx")});
  TIdSMTP client;
  TIdMessage message;
  const MailAccount account{server.address(), "ops", "pw", "a@x.org", true, "ssl", true};
  try {
    ConfigureClient(client, account);
    ADD_FAILURE() << "an unknown security was taken";
  } catch (const EIdTLSError& e) {
    EXPECT_NE(std::string(e.what()).find("Unknown mail security \"ssl\""), std::string::npos);
  }
  const MailResult result = SendAlertMail(client, message, account, "x");
  EXPECT_FALSE(result.sent);
  EXPECT_NE(result.error.find("Unknown mail security"), std::string::npos) << result.error;
  EXPECT_FALSE(SendTestMail(client, message, account, {}));
  EXPECT_TRUE(server.commands().empty());
}

TEST(AlertMailSecurity, AlertGoesOutThroughStartTlsWithTheLoginInsideIt) {
  ::setenv("SSL_CERT_FILE", testing::ThrowAwayPki().caFile.c_str(), 1);
  testing::StartTlsSmtpServer server;
  TIdSMTP client;
  TIdMessage message;
  const MailAccount account{server.address(), "ops", "pw", "a@x.org", true, "starttls", true};
  EXPECT_TRUE(SendAlertMail(client, message, account, "\"127.0.0.1:80\" is DOWN.").sent);
  const auto commands = server.commands();
  ASSERT_GT(commands.size(), 3u);
  EXPECT_EQ(commands[1].line, "STARTTLS");
  for (std::size_t i = 2; i < commands.size(); ++i) EXPECT_TRUE(commands[i].encrypted);
  EXPECT_NE(std::find_if(commands.begin(), commands.end(),
                         [](const auto& c) { return c.line == "AUTH LOGIN"; }),
            commands.end());
}

}  // namespace
}  // namespace varnley
