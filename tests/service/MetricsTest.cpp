// The metrics endpoint over real probes of loopback ports, its HTTP answers, the address it
// accepts; the state a reload carries over; the log's line rules.
#include <gtest/gtest.h>

#include <sstream>

#include "alert/MailStatus.h"
#include "monitor/Session.h"
#include "service/HeadlessRunner.h"
#include "service/MetricsEndpoint.h"
#include "service/ServiceLog.h"
#include "support/Dnsmasq.h"
#include "support/ServiceProcess.h"

namespace varnley {
namespace {

using test::LoopbackPort;

std::string Sample(const char* name, int port) {
  std::string text = name;
  return text.append("{host=\"127.0.0.1\",port=\"").append(std::to_string(port)).append("\"} ");
}

// The value of the first line of the body that starts with `series`; nullopt without one.
std::optional<double> Value(const std::string& body, const std::string& series) {
  std::istringstream lines(body);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(series, 0) == 0) return std::stod(line.substr(series.size()));
  return std::nullopt;
}

class Metrics : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!MetricsEndpoint::Available()) GTEST_SKIP() << "built without prometheus-cpp";
    open.listen();
    session.settings().interval = 1;
    session.settings().parallel = 4;  // every port in the first pass
    session.hosts().append(
        {"127.0.0.1", std::to_string(open.port()) + "," + std::to_string(closed.port()), ""});
  }
  // Scrapes until the closed port's result is there.
  std::string scrapeAfterFirstPass() {
    std::string body;
    test::WaitFor([&] {
      body = test::HttpRequest(endpoint.port(), "GET", "/metrics").body;
      return Value(body, Sample("varnley_probe_success", closed.port())).has_value();
    });
    return body;
  }

  LoopbackPort open, closed;
  Session session{"", false};
  MailStatus mail;
  MetricsEndpoint endpoint{session.monitor(), session.hosts(), mail};
};

TEST_F(Metrics, ServeEachPortsLastProbeAndTheCounts) {
  std::string reason;
  ASSERT_TRUE(endpoint.Listen("127.0.0.1:0", &reason)) << reason;
  ASSERT_NE(endpoint.port(), 0);
  // Before any probe: the program is up, nothing is monitored, no port has a result.
  std::string body = test::HttpRequest(endpoint.port(), "GET", "/metrics").body;
  EXPECT_EQ(Value(body, "varnley_up "), 1);
  EXPECT_EQ(Value(body, "varnley_monitoring "), 0);
  EXPECT_EQ(Value(body, Sample("varnley_probe_success", open.port())), std::nullopt);

  session.monitor().Start();
  body = scrapeAfterFirstPass();
  EXPECT_EQ(Value(body, "varnley_monitoring "), 1);
  EXPECT_EQ(Value(body, Sample("varnley_probe_success", open.port())), 1) << body;
  EXPECT_EQ(Value(body, Sample("varnley_probe_success", closed.port())), 0) << body;
  const auto duration = Value(body, Sample("varnley_probe_duration_seconds", open.port()));
  ASSERT_TRUE(duration);
  EXPECT_GT(*duration, 0);
  EXPECT_LT(*duration, 5);
  EXPECT_GE(Value(body, "varnley_probes_total{result=\"open\"} "), 1);
  EXPECT_GE(Value(body, "varnley_probes_total{result=\"closed\"} "), 1);

  mail.Report({true, "", std::chrono::system_clock::now()});
  mail.Report({false, "refused", std::chrono::system_clock::now()});
  mail.Report({false, "refused", std::chrono::system_clock::now()});
  session.monitor().Stop();
  // A port taken out of the table leaves the page; the other stays with its last result.
  session.hosts().update(0, [&](MonitoredHost& row) { row.ports = std::to_string(open.port()); });
  body = test::HttpRequest(endpoint.port(), "GET", "/metrics").body;
  EXPECT_EQ(Value(body, "varnley_monitoring "), 0);
  EXPECT_EQ(Value(body, "varnley_alert_mails_total{result=\"sent\"} "), 1);
  EXPECT_EQ(Value(body, "varnley_alert_mails_total{result=\"failed\"} "), 2);
  EXPECT_EQ(Value(body, Sample("varnley_probe_success", closed.port())), std::nullopt) << body;
  EXPECT_EQ(Value(body, Sample("varnley_probe_success", open.port())), 1) << body;
}

TEST_F(Metrics, CountEachWebhooksOutcomesBesideTheMails) {
  std::ostringstream quiet;
  MailStatus second(quiet, "webhook2"), fourth(quiet, "webhook4");
  second.Report({true, "", {}});
  for (int i = 0; i < 3; ++i) second.Report({false, "HTTP 503", {}});
  fourth.Report({true, "", {}});
  fourth.Report({true, "", {}});
  endpoint.SetWebhookCounts([&] {
    std::array<MailStatus::Totals, kWebhookCount> counts{};
    counts[1] = second.Count();
    counts[3] = fourth.Count();
    return counts;
  });
  const auto series = [](int n, const char* result) {
    return "varnley_alert_webhooks_total{webhook=\"" + std::to_string(n) + "\",result=\"" +
           result + "\"} ";
  };
  struct Row {
    int webhook;
    double sent, failed;
  };
  std::string body = endpoint.Scrape();
  for (const Row& row : {Row{1, 0, 0}, Row{2, 1, 3}, Row{3, 0, 0}, Row{4, 2, 0}}) {
    EXPECT_EQ(Value(body, series(row.webhook, "sent")), row.sent) << body;
    EXPECT_EQ(Value(body, series(row.webhook, "failed")), row.failed) << body;
  }
  // A later outcome shows at the next scrape, and no webhook label beyond the four.
  second.Report({true, "", {}});
  body = endpoint.Scrape();
  EXPECT_EQ(Value(body, series(2, "sent")), 2);
  EXPECT_EQ(Value(body, series(5, "sent")), std::nullopt);
}

TEST_F(Metrics, CountANameWithoutAddressApartAndKeepTheHostAsStored) {
  test::Dnsmasq dns({"--address=/up.test/127.0.0.1"});
  session.settings().dns = dns.dns();
  session.hosts().append({"nosuch.test", std::to_string(open.port()), ""});
  session.hosts().append({"up.test", std::to_string(closed.port()), ""});
  ASSERT_TRUE(endpoint.Listen("127.0.0.1:0", nullptr));
  session.monitor().Start();
  const auto named = [&](const char* host, int port) {
    return std::string("varnley_probe_success{host=\"") + host + "\",port=\"" +
           std::to_string(port) + "\"} ";
  };
  std::string body;
  test::WaitFor([&] {
    body = test::HttpRequest(endpoint.port(), "GET", "/metrics").body;
    return Value(body, named("nosuch.test", open.port())).has_value() &&
           Value(body, named("up.test", closed.port())).has_value();
  });
  session.monitor().Stop();
  EXPECT_EQ(Value(body, named("nosuch.test", open.port())), 0) << body;
  EXPECT_EQ(Value(body, named("up.test", closed.port())), 0) << body;
  EXPECT_GE(Value(body, "varnley_probes_total{result=\"unresolved\"} "), 1) << body;
  // The closed IPv4 port and the closed port of up.test count as closed, not unresolved.
  EXPECT_GE(Value(body, "varnley_probes_total{result=\"closed\"} "), 2) << body;
}

TEST_F(Metrics, ShowAPortListedTwiceOnce) {
  session.hosts().append({"127.0.0.1", std::to_string(open.port()), ""});
  session.monitor().Start();
  ASSERT_TRUE(endpoint.Listen("127.0.0.1:0", nullptr));
  const std::string body = scrapeAfterFirstPass();
  const std::string series = Sample("varnley_probe_success", open.port());
  EXPECT_EQ(body.find(series), body.rfind(series)) << body;
}

TEST_F(Metrics, AnswerOnlyGetOfTheMetricsPath) {
  ASSERT_TRUE(endpoint.Listen("127.0.0.1:0", nullptr));
  const test::HttpReply page = test::HttpRequest(endpoint.port(), "GET", "/metrics");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.head.find("Content-Type: text/plain"), std::string::npos) << page.head;
  EXPECT_EQ(test::HttpRequest(endpoint.port(), "GET", "/other").status, 404);
  EXPECT_EQ(test::HttpRequest(endpoint.port(), "GET", "/metrics/x").status, 404);
  for (const char* method : {"POST", "PUT", "DELETE"})
    EXPECT_EQ(test::HttpRequest(endpoint.port(), method, "/metrics").status, 405) << method;
  const test::HttpReply head = test::HttpRequest(endpoint.port(), "HEAD", "/metrics");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
}

TEST_F(Metrics, ListenOnlyWhereTheAddressIsAnIPv4LiteralThatIsFree) {
  std::string reason;
  for (const char* bad : {"localhost:9101", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536",
                          "127.0.0.1:-1", "127.0.0.1:80x", "256.0.0.1:80", ":9101"}) {
    reason.clear();
    EXPECT_FALSE(endpoint.Listen(bad, &reason)) << bad;
    EXPECT_FALSE(reason.empty()) << bad;
    EXPECT_EQ(endpoint.port(), 0) << bad;
  }
  // Octets are decimal whatever their leading zeros.
  const auto parsed = ParseMetricsAddress("127.000.000.001:9101");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->host, "127.0.0.1");
  EXPECT_EQ(parsed->port, 9101);

  ASSERT_TRUE(endpoint.Listen("127.0.0.1:0", &reason));
  MetricsEndpoint other(session.monitor(), session.hosts(), mail);
  const std::string taken = "127.0.0.1:" + std::to_string(endpoint.port());
  EXPECT_NE(ListenWhereSettingsSay(other, taken), "");
  // "" stops listening.
  const int port = endpoint.port();
  EXPECT_TRUE(endpoint.Listen("", nullptr));
  EXPECT_EQ(test::HttpRequest(port, "GET", "/metrics").status, 0);
}

TEST(CarryPortState, KeepsTheDownPortsThatAHostStillLists) {
  const std::vector<MonitoredHost> before = {
      {"10.0.0.5", "80,443,8080", "443,8080"}, {"10.0.0.6", "22", "22"}, {"10.0.0.7", "25", "25"}};
  std::vector<MonitoredHost> after = {{"10.0.0.5", "80,443", "stale"},
                                      {"10.0.0.6", "2222", ""},
                                      {"10.0.0.8", "25", ""},
                                      {"10.0.0.5", "8080", ""}};
  CarryPortState(before, after);
  EXPECT_EQ(after[0].deactivated, "443,");   // 8080 left this row
  EXPECT_EQ(after[1].deactivated, "");       // another port number is another port
  EXPECT_EQ(after[2].deactivated, "");       // another host
  EXPECT_EQ(after[3].deactivated, "8080,");  // moved to a row of its own
}

TEST(ServiceLogLines, CarryThePriorityOnlyForTheJournalAndNeverBreak) {
  std::ostringstream plain, journal;
  ServiceLog(plain, false).Line(ServiceLog::Priority::Warning, "\"10.0.0.5:80\" is DOWN.");
  ServiceLog(journal, true).Line(ServiceLog::Priority::Error, "mail failed: a\r\nb");
  EXPECT_EQ(plain.str(), "\"10.0.0.5:80\" is DOWN.\n");
  EXPECT_EQ(journal.str(), "<3>mail failed: a b\n");
}

}  // namespace
}  // namespace varnley
