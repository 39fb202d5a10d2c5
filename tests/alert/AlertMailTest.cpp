// The alert mail: its fields, the session it runs, and the sender thread's passes, against a
// scripted loopback server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "alert/AlertMail.h"
#include "alert/TEmailThread.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"
#include "support/ScriptedSmtpServer.h"
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
        Case{"ops", " mx ", "\"Varnley\" <ops@mx>"}}) {
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

}  // namespace
}  // namespace varnley
