// A real Prometheus scrapes the windowless program: its query API sees the target up and each
// port's last result; promtool accepts the page. The fixture started Prometheus with a target
// port for the program (VARNLEY_PROMETHEUS_DIR/target-port) and its own (.../port).
#include <gtest/gtest.h>

#include <cstdio>

#include "support/ServiceProcess.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

std::string FixtureFile(const char* name) {
  const char* dir = std::getenv("VARNLEY_PROMETHEUS_DIR");
  return dir ? test::ReadText(std::string(dir) + "/" + name) : "";
}

// The query's result as Prometheus gives it (JSON), "" when it did not answer.
std::string Query(int port, const std::string& query) {
  std::string target = "/api/v1/query?query=";
  for (unsigned char c : query) {
    if (std::isalnum(c) || c == '_') {
      target += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      target += hex;
    }
  }
  return test::HttpRequest(port, "GET", target).body;
}

TEST(PrometheusScrape, SeesTheTargetUpAndEachPortsResult) {
  const std::string targetPort = FixtureFile("target-port");
  const std::string promPort = FixtureFile("port");
  ASSERT_FALSE(targetPort.empty() || promPort.empty()) << "no Prometheus fixture";
  const int prometheus = std::stoi(promPort);

  test::TempDir dir;
  test::LoopbackPort open, closed;
  open.listen();
  const std::string settings = dir.file("hosts.ini");
  test::WriteText(settings, "[config]\ninterval=1\nhostcount=1\nmetrics=127.0.0.1:" + targetPort +
                                "\n[host1]\nhost=127.0.0.1\nport=" + std::to_string(open.port()) +
                                "," + std::to_string(closed.port()) + "\n");
  test::ServiceProcess program(VARNLEY_EXE, {"--headless", "--config", settings}, dir.file("err"),
                               {"VARNLEY_INSTANCE_DIR=" + dir.file("run")},
                               {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"});
  ASSERT_TRUE(program.errHas("/metrics")) << program.err();

  const std::string openSeries =
      "varnley_probe_success{port=\"" + std::to_string(open.port()) + "\"}";
  const std::string closedSeries =
      "varnley_probe_success{port=\"" + std::to_string(closed.port()) + "\"}";
  // An instant vector's value reads "value":[<time>,"<value>"].
  const auto answers = [&](const std::string& query, const char* value) {
    const std::string result = Query(prometheus, query);
    return result.find("\"status\":\"success\"") != std::string::npos &&
           result.find(std::string(",\"") + value + "\"]") != std::string::npos;
  };
  EXPECT_TRUE(test::WaitFor([&] { return answers("up{job=\"varnley\"}", "1"); }, 60s))
      << Query(prometheus, "up");
  EXPECT_TRUE(test::WaitFor([&] { return answers(openSeries, "1"); }, 30s))
      << Query(prometheus, openSeries);
  EXPECT_TRUE(test::WaitFor([&] { return answers(closedSeries, "0"); }, 30s))
      << Query(prometheus, closedSeries);
  EXPECT_TRUE(answers("varnley_monitoring", "1"));

  // The page as Prometheus's own checker reads it.
  const std::string body = test::HttpRequest(std::stoi(targetPort), "GET", "/metrics").body;
  test::WriteText(dir.file("page"), body);
  const std::string check =
      "promtool check metrics < " + dir.file("page") + " > " + dir.file("check") + " 2>&1";
  EXPECT_EQ(std::system(check.c_str()), 0) << test::ReadText(dir.file("check")) << body;

  program.signal(SIGTERM);
  const auto status = program.waitExit();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << program.err();
}

}  // namespace
}  // namespace varnley
