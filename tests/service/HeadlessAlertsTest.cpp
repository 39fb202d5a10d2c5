// The windowless program's alerts reaching a webhook receiver of the tests' own: a flapping
// port's DOWN and UP as one incident, an alert that the receiver and the mail server first
// refused for a while delivered on the retry, and one still pending at SIGTERM delivered
// after the next start.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "support/HttpReceiver.h"
#include "support/ScriptedSmtpServer.h"
#include "support/ServiceProcess.h"

#ifdef VARNLEY_HAVE_HISTORY
#include "history/HistoryWriter.h"
#include "history/Sqlite.h"
#endif

namespace varnley {
namespace {

using namespace std::chrono_literals;
using test::LoopbackPort;
using test::ServiceProcess;
using testing::Answer;
using testing::HttpReceiver;

const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                                             "NOTIFY_SOCKET", "JOURNAL_STREAM"};

std::string Field(const std::string& body, const std::string& name) {
  std::smatch match;
  if (!std::regex_search(body, match, std::regex("\"" + name + "\":\"([^\"]*)\""))) return "";
  return match[1];
}

class HeadlessAlerts : public ::testing::Test {
 protected:
  // With a mail server, the alerts are mailed to it as well.
  ServiceProcess start(const HttpReceiver& receiver, const std::string& err = "err",
                       const std::string& smtpServer = {}) {
    const std::string mail = smtpServer.empty() ? std::string()
                                                : "[email]\nsmtpserver=" + smtpServer +
                                                      "\nusername=ops\nmail=a@x.org\n";
    test::WriteText(settings, "[config]\ninterval=1\nhostcount=1\nhistory=history.sqlite\n"
                              "email=" +
                                  std::string(smtpServer.empty() ? "0" : "1") + "\n" + mail +
                                  "[host1]\nhost=127.0.0.1\nport=" +
                                  std::to_string(port.port()) + "\n[webhook1]\nurl=" +
                                  receiver.url("/hook?token=hushhush") + "\nformat=json\n");
    return ServiceProcess(VARNLEY_EXE, {"--headless", "--config", settings}, dir.file(err),
                          {"VARNLEY_INSTANCE_DIR=" + dir.file("run"),
                           "XDG_CONFIG_HOME=" + dir.file("config")},
                          kNoDisplay);
  }

  test::TempDir dir;
  std::string settings = dir.file("hosts.ini");
  std::string history = dir.file("history.sqlite");
  LoopbackPort port;  // refuses until it listens
};

TEST_F(HeadlessAlerts, DeliverAFlappingPortsDownAndUpAsOneIncident) {
  HttpReceiver receiver;
  ServiceProcess program = start(receiver);
  ASSERT_TRUE(receiver.waitFor(1)) << program.err();
  port.listen();
  ASSERT_TRUE(receiver.waitFor(2)) << program.err();
  ASSERT_TRUE(program.errHas("webhook1 sent: \"127.0.0.1:" + std::to_string(port.port()) +
                             "\" is UP."))
      << program.err();
  program.signal(SIGTERM);
  ASSERT_TRUE(program.waitExit(5s));

  const std::vector<testing::HttpRequest> got = receiver.requests();
  ASSERT_EQ(got.size(), 2u);
  const char* events[] = {"down", "up"};
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(got[i].body);
    EXPECT_EQ(got[i].method, "POST");
    EXPECT_EQ(got[i].path, "/hook?token=hushhush");
    EXPECT_EQ(got[i].headers.at("content-type"), "application/json");
    EXPECT_EQ(Field(got[i].body, "event"), events[i]);
    EXPECT_NE(got[i].body.find("{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port.port())),
              std::string::npos);
  }
  EXPECT_NE(got[0].body.find(",\"reason\":\"refused\"}"), std::string::npos) << got[0].body;
  EXPECT_FALSE(Field(got[0].body, "incident").empty());
  EXPECT_EQ(Field(got[0].body, "incident"), Field(got[1].body, "incident"));
  EXPECT_EQ(Field(got[0].body, "since"), Field(got[1].body, "since"));
  // The URL's query is the receiver's secret: the log names scheme, host and port at most.
  EXPECT_EQ(program.err().find("hushhush"), std::string::npos) << program.err();
}

// The receiver answers 503 and the mail server greylists the first try with 451: both get
// the DOWN on the retry 30 s later, and a line says so for each.
TEST_F(HeadlessAlerts, DeliverOnTheRetryAfterA503AndAGreylisting451) {
  HttpReceiver receiver({Answer(503), Answer(200)});
  using testing::Reply;
  testing::ScriptedSmtpServer smtp(
      Reply("220 ready"),
      {Reply("250 mx"), Reply("250 reset"), Reply("451 4.7.1 greylisted, try later"),
       Reply("221 bye"), Reply("250 mx"), Reply("250 reset"), Reply("250 sender"),
       Reply("250 rcpt"), Reply("354 go"), Reply("250 queued"), Reply("221 bye")});
  ServiceProcess program = start(receiver, "err", smtp.address());
  ASSERT_TRUE(program.errHas("webhook1 failed: ")) << program.err();
  EXPECT_TRUE(program.errHas(", retry at ", 1s)) << program.err();
  ASSERT_TRUE(program.errHas("mail failed: greylisted, try later, retry at ")) << program.err();
  EXPECT_EQ(receiver.count(), 1u);
  // The first retry waits 30 s.
  ASSERT_TRUE(test::WaitFor([&] { return receiver.count() >= 2; }, 45s)) << program.err();
  const std::string down = "\"127.0.0.1:" + std::to_string(port.port()) + "\" is DOWN.";
  ASSERT_TRUE(program.errHas("webhook1 sent: " + down)) << program.err();
  ASSERT_TRUE(program.errHas("mail sent: " + down, 10s)) << program.err();
  const std::vector<testing::HttpRequest> got = receiver.requests();
  EXPECT_EQ(got[0].body, got[1].body);
  const auto data = smtp.data();
  EXPECT_NE(std::find(data.begin(), data.end(), "Subject: " + down), data.end());
  program.signal(SIGTERM);
  EXPECT_TRUE(program.waitExit(5s));
  EXPECT_EQ(program.err().find("hushhush"), std::string::npos) << program.err();
}

#ifdef VARNLEY_HAVE_HISTORY
TEST_F(HeadlessAlerts, AnAlertPendingAtTheEndGoesOutAfterTheNextStartWithItsOwnTime) {
  std::string raised;
  {
    HttpReceiver refusing({Answer(503)});
    ServiceProcess program = start(refusing, "err1");
    ASSERT_TRUE(program.errHas(", retry at ")) << program.err();
    raised = Field(refusing.requests().at(0).body, "time");
    program.signal(SIGTERM);
    ASSERT_TRUE(program.waitExit(5s));
  }
  ASSERT_FALSE(raised.empty());
  HttpReceiver accepting;
  ServiceProcess program = start(accepting, "err2");
  ASSERT_TRUE(accepting.waitFor(1)) << program.err();
  const testing::HttpRequest first = accepting.requests().at(0);
  SCOPED_TRACE(first.body);
  EXPECT_EQ(Field(first.body, "event"), "down");
  EXPECT_EQ(Field(first.body, "time"), raised);
  EXPECT_TRUE(Field(first.body, "text").starts_with("[raised ")) << "marked as late";
  EXPECT_TRUE(program.errHas("webhook1 sent: [raised ")) << program.err();
  program.signal(SIGTERM);
  EXPECT_TRUE(program.waitExit(5s));
}

TEST_F(HeadlessAlerts, AnAlertKeptOverAnHourIsNamedAsExpiredNotSent) {
  {
    HistoryOptions options;
    options.path = history;
    Status status;
    auto writer = HistoryWriter::Open(options, status);
    ASSERT_TRUE(writer) << status.reason;
    OutboxRow row;
    row.event = "down";
    row.text = "\"127.0.0.1:9\" is DOWN.";
    row.entries = {{"127.0.0.1", 9, "refused"}};
    row.time = SystemHistoryTime() - 2 * kHourMs;
    row.firstTry = row.time;
    writer->KeepOutbox("webhook1", {row});
  }
  HttpReceiver receiver;
  ServiceProcess program = start(receiver);
  ASSERT_TRUE(program.errHas("webhook1 failed: expired, not delivered within an hour (raised at "))
      << program.err();
  EXPECT_TRUE(program.errHas("127.0.0.1:9\" is DOWN.", 1s)) << program.err();
  ASSERT_TRUE(receiver.waitFor(1)) << program.err();  // the port's own DOWN of this run
  // Taken as delivered once the answer is read; a stop before that keeps it for the next run.
  ASSERT_TRUE(program.errHas("webhook1 sent: ")) << program.err();
  program.signal(SIGTERM);
  ASSERT_TRUE(program.waitExit(5s));
  for (const testing::HttpRequest& request : receiver.requests())
    EXPECT_EQ(request.body.find("127.0.0.1:9\\\""), std::string::npos) << request.body;
  SqliteDb db;
  ASSERT_TRUE(db.open(history, true));
  EXPECT_EQ(db.scalar("SELECT count(*) FROM deliveries WHERE channel = 'webhook1' AND "
                      "outcome = 'expired' AND text LIKE '%127.0.0.1:9\"%'"),
            1);
  EXPECT_EQ(db.scalar("SELECT count(*) FROM outbox"), 0);
}
#endif

}  // namespace
}  // namespace varnley
