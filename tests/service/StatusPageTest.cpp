// The status page and /status.json: their facts over real loopback probes, with a fake history
// and without one; the escaping of every text that comes from the file or the network; the
// routes, methods and headers; the page turned off.
#include <gtest/gtest.h>

#include "alert/MailStatus.h"
#include "monitor/Session.h"
#include "platform/Paths.h"
#include "service/MetricsEndpoint.h"
#include "service/StatusPage.h"
#include "support/ServiceProcess.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

StatusTime At(int day, int hour, int minute) {
  using namespace std::chrono;
  return sys_days(year{2026} / December / day) + hours(hour) + minutes(minute);
}

// A history that answers from what the test put in, and remembers what it was asked.
class FakeHistory : public StatusHistory {
 public:
  std::vector<PortHistory> Ports(const std::vector<StatusPortKey>& ports,
                                 StatusTime) const override {
    if (fail) throw std::runtime_error("database is locked");
    asked = ports;
    std::vector<PortHistory> answer;
    for (const StatusPortKey& key : ports) {
      PortHistory h = each;
      if (key.port == downPort) h.reason = reason;
      answer.push_back(h);
    }
    return answer;
  }
  std::vector<StatusOutage> Outages(std::size_t) const override { return outages; }

  PortHistory each;
  int downPort = 0;
  std::string reason;
  std::vector<StatusOutage> outages;
  bool fail = false;
  mutable std::vector<StatusPortKey> asked;
};

class StatusPage : public ::testing::Test {
 protected:
  void SetUp() override {
    open.listen();
    session.settings().interval = 1;
    session.settings().parallel = 4;
    session.hosts().append(
        {"127.0.0.1", std::to_string(open.port()) + "," + std::to_string(closed.port()), ""});
  }
  void probeOnce() {
    session.monitor().Start();
    ASSERT_TRUE(test::WaitFor(
        [&] { return endpoint.StatusJson().find("\"state\":\"down\"") != std::string::npos; }));
  }
  std::string portJson(int port, const std::string& state) const {
    return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) + ",\"state\":\"" + state +
           "\",\"since\":\"";
  }

  test::LoopbackPort open, closed;
  Session session{"", false};
  MailStatus mail;
  MetricsEndpoint endpoint{session.monitor(), session.hosts(), mail};
};

TEST_F(StatusPage, JsonGivesEachProbedPortsStateWithoutAHistory) {
  std::string json = endpoint.StatusJson();
  // Before the first pass: not monitoring, both ports without data.
  EXPECT_NE(json.find(",\"monitoring\":false,"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(open.port()) +
                      ",\"state\":\"unknown\",\"since\":null,\"reason\":\"\",\"uptime24h\":null,"
                      "\"uptime30d\":null,\"strip\":[]}"),
            std::string::npos)
      << json;

  endpoint.SetHistory(nullptr, "history is off");
  probeOnce();
  json = endpoint.StatusJson();
  std::string source;
  AppendJsonText(source, ComputerName());
  EXPECT_EQ(json.rfind("{\"source\":\"" + source + "\",\"time\":\"20", 0), 0u) << json;
  EXPECT_NE(json.find(",\"monitoring\":true,\"ports\":[{"), std::string::npos) << json;
  const auto up = json.find(portJson(open.port(), "up"));
  const auto down = json.find(portJson(closed.port(), "down"));
  ASSERT_NE(up, std::string::npos) << json;
  ASSERT_NE(down, std::string::npos) << json;
  EXPECT_LT(up, down) << "table order";
  EXPECT_NE(
      json.find("Z\",\"reason\":\"\",\"uptime24h\":null,\"uptime30d\":null,\"strip\":[]}", down),
      std::string::npos)
      << json;
  EXPECT_NE(json.find("],\"outages\":[]}"), std::string::npos) << json;

  const std::string page = endpoint.StatusPage();
  EXPECT_NE(page.find("history is off"), std::string::npos);
  EXPECT_NE(page.find("1 of 2 ports down"), std::string::npos);
  EXPECT_EQ(page.find("<th>30 days</th>"), std::string::npos);
  // Down ones first.
  EXPECT_LT(page.find("127.0.0.1:" + std::to_string(closed.port())),
            page.find("127.0.0.1:" + std::to_string(open.port())));
  EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"15\">"), std::string::npos);
}

TEST_F(StatusPage, JsonAndPageCarryTheHistorysFacts) {
  auto history = std::make_shared<FakeHistory>();
  history->each.since = At(1, 8, 0);
  history->each.uptime24h = 0.9993;
  history->each.uptime30d = 0.5;
  history->each.strip.fill(1.0);
  history->each.strip[46] = 0.5;
  history->each.strip[47] = 0.0;
  history->each.strip[0] = kStripNoData;
  history->downPort = closed.port();
  history->reason = "Connection refused.";
  for (int i = 0; i < 60; ++i)
    history->outages.push_back({At(2, 10, i % 60), std::nullopt, "127.0.0.1", closed.port(),
                                "refused " + std::to_string(i), i});
  history->outages[1].end = At(2, 11, 30);
  endpoint.SetHistory(history, "");
  probeOnce();

  const std::string json = endpoint.StatusJson();
  const auto down = json.find(portJson(closed.port(), "down"));
  ASSERT_NE(down, std::string::npos) << json;
  EXPECT_NE(json.find("\"since\":\"2026-12-01T08:00:00Z\",\"reason\":\"Connection refused.\","
                      "\"uptime24h\":0.9993,\"uptime30d\":0.5,\"strip\":[null,1,1,",
                      down),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(",1,0.5,0]}", down), std::string::npos) << json;
  // The reason of a port that is up is not shown, whatever the history says.
  EXPECT_NE(json.find(portJson(open.port(), "up") + "2026-12-01T08:00:00Z\",\"reason\":\"\","),
            std::string::npos);
  EXPECT_NE(json.find("\"outages\":[{\"start\":\"2026-12-02T10:00:00Z\",\"end\":null,\"host\":"
                      "\"127.0.0.1\",\"port\":" +
                      std::to_string(closed.port()) +
                      ",\"reason\":\"refused 0\",\"alertsSent\":0},{\"start\":\"2026-12-02T10:01:"
                      "00Z\",\"end\":\"2026-12-02T11:30:00Z\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"reason\":\"refused 49\""), std::string::npos);
  EXPECT_EQ(json.find("\"reason\":\"refused 50\""), std::string::npos) << "at most 50 outages";
  ASSERT_EQ(history->asked.size(), 2u);
  EXPECT_EQ(history->asked[1].port, closed.port());

  const std::string page = endpoint.StatusPage();
  EXPECT_NE(page.find("</small></td><td>Connection refused.</td><td>99.93%</td><td>50.00%</td>"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("<td>2026-12-02 10:01 UTC</td><td>1 h 29 min</td>"), std::string::npos);
  EXPECT_NE(page.find("<i class=\"n\" style=\"flex:1\"></i><i class=\"u\" style=\"flex:45\"></i>"
                      "<i class=\"p\" style=\"flex:1\"></i><i class=\"d\" style=\"flex:1\"></i>"),
            std::string::npos);
  EXPECT_EQ(page.find("only the present state"), std::string::npos);

  // A history that fails costs only its own facts.
  history->fail = true;
  const std::string without = endpoint.StatusPage();
  EXPECT_NE(without.find("the history could not be read (database is locked)"), std::string::npos);
  EXPECT_NE(without.find("DOWN"), std::string::npos);
}

struct EscapeCase {
  std::string_view text;
  std::string_view html;
  std::string_view json;
};

TEST(StatusPageText, EscapesMarkupQuotesControlsAndBrokenUtf8) {
  const EscapeCase cases[] = {
      {"plain host", "plain host", "plain host"},
      {"<script>x</script>", "&lt;script&gt;x&lt;/script&gt;",
       "\\u003cscript\\u003ex\\u003c/script\\u003e"},
      {"a\"b'c&d", "a&quot;b&#39;c&amp;d", "a\\\"b\\u0027c\\u0026d"},
      {"back\\slash", "back\\slash", "back\\\\slash"},
      {"line\nbreak\ttab", "line break tab", "line\\nbreak\\u0009tab"},
      {std::string_view("nul\0bell\x07", 9),
       "nul\xEF\xBF\xBD"
       "bell\xEF\xBF\xBD",
       "nul\\u0000bell\\u0007"},
      {"caf\xC3\xA9 \xE2\x9C\x93", "caf\xC3\xA9 \xE2\x9C\x93", "caf\xC3\xA9 \xE2\x9C\x93"},
      {"cut \xC3", "cut \xEF\xBF\xBD", "cut \xEF\xBF\xBD"},
      {"overlong \xC0\xBC", "overlong \xEF\xBF\xBD\xEF\xBF\xBD",
       "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
       "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"sep \xE2\x80\xA8", "sep \xE2\x80\xA8", "sep \\u2028"},
  };
  for (const EscapeCase& c : cases) {
    std::string html, json;
    AppendHtmlText(html, c.text);
    AppendJsonText(json, c.text);
    EXPECT_EQ(html, c.html) << c.text;
    EXPECT_EQ(json, c.json) << c.text;
  }
}

TEST_F(StatusPage, HostileHostsAndReasonsNeverReachThePageAsMarkup) {
  const std::string hostile = "<img src=x onerror=alert(1)>\"'&";
  session.hosts().append({"</td><script>alert(1)</script>", "80", ""});
  auto history = std::make_shared<FakeHistory>();
  history->downPort = closed.port();
  history->reason = hostile;
  history->outages.push_back({At(1, 0, 0), At(1, 0, 5), hostile, 80, hostile, 1});
  endpoint.SetHistory(history, "");
  probeOnce();
  const std::string page = endpoint.StatusPage();
  for (const char* raw : {"<img", "<script", "onerror=alert(1)>", "</td><script"})
    EXPECT_EQ(page.find(raw), std::string::npos) << raw;
  EXPECT_NE(page.find("&lt;/td&gt;&lt;script&gt;alert(1)&lt;/script&gt;:80"), std::string::npos);
  EXPECT_NE(page.find("&lt;img src=x onerror=alert(1)&gt;&quot;&#39;&amp;"), std::string::npos);
  const std::string json = endpoint.StatusJson();
  for (const char* raw : {"<img", "<script", "\"'&"}) EXPECT_EQ(json.find(raw), std::string::npos);
}

struct RouteCase {
  const char* method;
  const char* target;
  int status;
  const char* type;  // the Content-Type's start, "" for any
};

TEST_F(StatusPage, RoutesMethodsAndHeadersOverHttp) {
  if (!MetricsEndpoint::Available()) GTEST_SKIP() << "built without prometheus-cpp";
  ASSERT_TRUE(endpoint.Listen("127.0.0.1:0", nullptr));
  const RouteCase cases[] = {
      {"GET", "/", 200, "text/html; charset=utf-8"},
      {"GET", "/?refresh=1", 200, "text/html; charset=utf-8"},
      {"GET", "/status.json", 200, "application/json"},
      {"HEAD", "/", 200, "text/html; charset=utf-8"},
      {"HEAD", "/status.json", 200, "application/json"},
      {"POST", "/", 405, ""},
      {"DELETE", "/status.json", 405, ""},
      {"GET", "/index.html", 404, ""},
      {"GET", "/status.json/", 404, ""},
      {"GET", "/status", 404, ""},
  };
  for (const RouteCase& c : cases) {
    const test::HttpReply reply = test::HttpRequest(endpoint.port(), c.method, c.target);
    const std::string what = std::string(c.method) + " " + c.target;
    EXPECT_EQ(reply.status, c.status) << what;
    EXPECT_NE(reply.head.find(std::string("\r\nContent-Type: ") + c.type), std::string::npos)
        << what << reply.head;
    if (c.status == 200) {
      EXPECT_NE(reply.head.find("\r\nContent-Security-Policy: default-src 'none'; style-src "
                                "'unsafe-inline'\r\n"),
                std::string::npos)
          << what;
      EXPECT_NE(reply.head.find("\r\nX-Content-Type-Options: nosniff"), std::string::npos);
      EXPECT_EQ(reply.body.empty(), std::string(c.method) == "HEAD") << what;
    }
  }
  // A HEAD tells the size a GET would send.
  const std::string length = "Content-Length: ";
  const test::HttpReply head = test::HttpRequest(endpoint.port(), "HEAD", "/status.json");
  const test::HttpReply get = test::HttpRequest(endpoint.port(), "GET", "/status.json");
  EXPECT_EQ(std::stoul(head.head.substr(head.head.find(length) + length.size())), get.body.size());

  endpoint.SetStatusPage(false);
  EXPECT_EQ(test::HttpRequest(endpoint.port(), "GET", "/").status, 404);
  EXPECT_EQ(test::HttpRequest(endpoint.port(), "GET", "/status.json").status, 404);
  EXPECT_EQ(test::HttpRequest(endpoint.port(), "POST", "/").status, 404);
  EXPECT_EQ(test::HttpRequest(endpoint.port(), "GET", "/metrics").status, 200);
}

}  // namespace
}  // namespace varnley
