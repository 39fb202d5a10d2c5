// The windowless program with metrics on ends as fast as without them, whatever clients hold
// connections to the metrics address.
#include <gtest/gtest.h>

#include <regex>

#include "support/RawClient.h"
#include "support/ServiceProcess.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(MetricsProcess, ExitsWithinASecondWhileClientsHoldTheMetricsAddress) {
  test::TempDir dir;
  test::LoopbackPort closed;
  const std::string settings = dir.file("hosts.ini");
  test::WriteText(settings,
                  "[config]\ninterval=1\nhostcount=1\nmetrics=127.0.0.1:0\n[host1]\n"
                  "host=127.0.0.1\nport=" +
                      std::to_string(closed.port()) + "\n");
  test::ServiceProcess program(VARNLEY_EXE, {"--headless", "--config", settings}, dir.file("err"),
                               {"VARNLEY_INSTANCE_DIR=" + dir.file("run")},
                               {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"});
  ASSERT_TRUE(program.errHas("/metrics")) << program.err();
  const std::string err = program.err();
  std::smatch found;
  ASSERT_TRUE(std::regex_search(err, found, std::regex("http://127\\.0\\.0\\.1:([0-9]+)/metrics")));
  const int port = std::stoi(found[1]);
  ASSERT_EQ(test::HttpRequest(port, "GET", "/metrics").status, 200);

  // Idle connections, one with half a request, one keep-alive after an answer.
  std::vector<std::unique_ptr<test::RawClient>> held;
  for (int i = 0; i < 8; ++i) held.push_back(std::make_unique<test::RawClient>(port));
  held[0]->send("GET /metrics HTTP/1.1\r\nHost:");
  held[1]->send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_EQ(held[1]->readAnswers(1).rfind("HTTP/1.1 200 ", 0), 0u);

  const auto start = Clock::now();
  program.signal(SIGTERM);
  const auto status = program.waitExit(5s);
  const auto took = Clock::now() - start;
  held.clear();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_LT(took, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                      << " ms";
}

}  // namespace
}  // namespace varnley
