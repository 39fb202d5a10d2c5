// Email alerts end to end on loopback: the monitor probes a real listener and a closed port,
// the dispatch queues the texts, the sender mails them to aiosmtpd.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "alert/AlertMail.h"
#include "alert/TEmailThread.h"
#include "model/HostTable.h"
#include "monitor/AlertQueues.h"
#include "monitor/Monitor.h"
#include "platform/TcpSocket.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"
#include "support/Dnsmasq.h"
#include "support/RealSmtpServer.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::RealSmtpServer;

AlertSettings MailSettings(const RealSmtpServer& server) {
  AlertSettings s;
  s.sendEmail = true;
  s.interval = 1;
  s.smtpServer = server.address();
  s.userName = RealSmtpServer::kUser;
  s.password = RealSmtpServer::kPassword;
  s.receiveEmail = "admin@example.org";
  s.authentication = true;
  return s;
}

// The first message not in `before` whose body holds `needle`, waiting for it to arrive.
std::string WaitForMail(const RealSmtpServer& server, const std::set<fs::path>& before,
                        const std::string& needle, Monitor* monitor = nullptr) {
  std::string found;
  test::WaitFor(
      [&] {
        if (monitor) monitor->Tick();  // the window's 2-second timer, run faster here
        for (const auto& p : server.messages()) {
          if (before.count(p)) continue;
          const std::string mail = RealSmtpServer::Read(p);
          if (mail.find(needle) != std::string::npos) {
            found = mail;
            return true;
          }
        }
        return false;
      },
      20s);
  return found;
}

TEST(EmailEndToEnd, APortGoingDownAndComingBackMailsBothChanges) {
  RealSmtpServer server;
  TcpListener open;
  ASSERT_EQ(open.listenLoopback(128), 0);
  // A port nothing listens on, until the test opens it again.
  TcpListener closed;
  ASSERT_EQ(closed.listenLoopback(16), 0);
  const std::uint16_t downPort = closed.port();
  closed.close();

  HostTable hosts;
  hosts.append(
      {"127.0.0.1", std::to_string(open.port()) + "," + std::to_string(downPort) + ",", ""});
  AlertSettings settings = MailSettings(server);
  AlertQueues queues;
  Monitor monitor(hosts, settings, queues);
  monitor.SetEmailWorkerFactory(TEmailThread::Factory());
  const auto before = server.messages();
  monitor.Start();

  const std::string entry = "127.0.0.1:" + std::to_string(downPort);
  const std::string down = WaitForMail(server, before, "is DOWN.", &monitor);
  ASSERT_FALSE(down.empty()) << "no DOWN mail";
  const std::string text = "\"" + entry + "\" is DOWN.";
  EXPECT_EQ(RealSmtpServer::Header(down, "Subject"), text);
  EXPECT_EQ(RealSmtpServer::Body(down), "Varnley:" + text + "\r\n\r\n");
  EXPECT_EQ(RealSmtpServer::Header(down, "From"), "Varnley <varnley@127.0.0.1>");
  EXPECT_EQ(RealSmtpServer::Header(down, "To"), "admin@example.org");
  EXPECT_FALSE(RealSmtpServer::Header(down, "Date").empty());
  EXPECT_EQ(hosts.row(0)->deactivated, std::to_string(downPort) + ",");

  ASSERT_EQ(closed.listenLoopback(16, downPort), 0);
  const auto beforeUp = server.messages();
  const std::string up = WaitForMail(server, beforeUp, "is UP.", &monitor);
  ASSERT_FALSE(up.empty()) << "no UP mail";
  EXPECT_EQ(RealSmtpServer::Header(up, "Subject"), "\"" + entry + "\" is UP.");
  monitor.Stop();
  EXPECT_EQ(hosts.row(0)->deactivated, "");
}

TEST(EmailEndToEnd, QueuedAlertsLeaveOnePerInterval) {
  RealSmtpServer server;
  AlertSettings settings = MailSettings(server);
  AlertQueues queues;
  const auto before = server.messages();
  for (const char* text :
       {"\"127.0.0.1:1\" is DOWN.", "\"127.0.0.1:2\" is DOWN.", "\"127.0.0.1:3\" is DOWN."})
    queues.AddEmailEntry(text);
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  {
    TEmailThread sender(queues, settings);
    ASSERT_TRUE(test::WaitFor(
        [&] {
          const std::size_t n = server.messages().size() - before.size();
          while (arrivals.size() < n) arrivals.push_back(std::chrono::steady_clock::now());
          return n >= 3;
        },
        20s));
  }
  ASSERT_EQ(arrivals.size(), 3u);
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    const auto gap = arrivals[i] - arrivals[i - 1];
    EXPECT_GT(gap, 700ms) << "mail " << i;
    EXPECT_LT(gap, 2500ms) << "mail " << i;
  }
}

TEST(EmailEndToEnd, AnAlertFailedWhileTheServerIsDownGoesOutWithTheNextOnceItIsBack) {
  RealSmtpServer server;
  AlertSettings settings = MailSettings(server);
  TcpListener gone;
  ASSERT_EQ(gone.listenLoopback(1), 0);
  settings.smtpServer = "127.0.0.1:" + std::to_string(gone.port());
  gone.close();

  AlertQueues queues;
  ChannelOptions atOnce;
  atOnce.schedule = {{0ms}, 0ms, 1h};
  TEmailThread sender(queues, settings, TEmailThread::NoThread{}, nullptr, kSenderLimits, atOnce);
  queues.AddEmailEntry("\"127.0.0.1:1\" is DOWN.");
  EXPECT_FALSE(sender.runPass());
  EXPECT_EQ(sender.Pending(), 1u) << "a failure that may pass is kept for the next try";

  settings.smtpServer = server.address();
  const auto before = server.messages();
  queues.AddEmailEntry("\"127.0.0.1:2\" is DOWN.");
  EXPECT_TRUE(sender.runPass());
  const std::string mail = WaitForMail(server, before, "127.0.0.1:2");
  EXPECT_NE(mail.find("127.0.0.1:1"), std::string::npos) << mail;
}

// The server named by its IPv6 address, and by a name whose only address is IPv6 (asked of a
// name server of the test's own): each mail reaches the server's ::1 listener.
TEST(EmailEndToEnd, MailGoesToAnIPv6ServerByAddressAndByName) {
  RealSmtpServer server;
  const std::string port6 = server.listenerPort("plain6");
  ASSERT_FALSE(port6.empty()) << "the server could not listen on ::1";
  test::Dnsmasq dns({"--host-record=mail6.test,::1"});
  for (const std::string& smtpServer : {"[::1]:" + port6, "Mail6.Test:" + port6}) {
    SCOPED_TRACE(smtpServer);
    AlertSettings settings = MailSettings(server);
    settings.smtpServer = smtpServer;
    settings.dns = dns.dns();
    TIdSMTP client;
    TIdMessage message;
    const auto before = server.messages();
    const MailResult result =
        SendAlertMail(client, message, MailAccount::From(settings), "\"[::1]:8080\" is DOWN.");
    ASSERT_TRUE(result.sent) << result.error;
    const std::string mail = WaitForMail(server, before, "[::1]:8080");
    ASSERT_FALSE(mail.empty());
    EXPECT_EQ(RealSmtpServer::Header(mail, "From"), "Varnley <varnley@" +
                  std::string(smtpServer[0] == '[' ? "[IPv6:::1]" : "Mail6.Test") + ">");
  }
}

}  // namespace
}  // namespace varnley
