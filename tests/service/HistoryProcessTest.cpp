// The windowless program with its history on: a loopback port that is closed and then opens
// is kept as an outage, the status page reads it while the program runs, and --report finds
// it afterwards, also while another copy is monitoring with the same file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "support/RawClient.h"
#include "support/ServiceProcess.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

// stdout and the exit status of a short run of the program.
struct Ran {
  std::string out;
  int status = -1;
};

Ran RunProgram(const std::string& args) {
  Ran ran;
  FILE* pipe = ::popen((std::string(VARNLEY_EXE) + ' ' + args + " 2>/dev/null").c_str(), "r");
  if (!pipe) return ran;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) ran.out.append(buffer, n);
  const int status = ::pclose(pipe);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

// The windowless program watching one loopback port, metrics on a port of its choosing.
std::unique_ptr<test::ServiceProcess> Watch(const test::TempDir& dir, const std::string& settings,
                                            int port, const std::string& config = "") {
  test::WriteText(settings, "[config]\ninterval=1\nhostcount=1\nmetrics=127.0.0.1:0\n" + config +
                                "[host1]\nhost=127.0.0.1\nport=" + std::to_string(port) + "\n");
  return std::make_unique<test::ServiceProcess>(
      VARNLEY_EXE, std::vector<std::string>{"--headless", "--config", settings}, dir.file("err"),
      std::vector<std::string>{"VARNLEY_INSTANCE_DIR=" + dir.file("run")},
      std::vector<std::string>{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"});
}

int MetricsPort(const test::ServiceProcess& program) {
  const std::string err = program.err();
  std::smatch found;
  if (!std::regex_search(err, found, std::regex("http://127\\.0\\.0\\.1:([0-9]+)/metrics")))
    return 0;
  return std::stoi(found[1]);
}

TEST(HistoryProcess, AnOutageOfALoopbackPortReachesTheStatusPageAndTheReport) {
  test::TempDir dir;
  test::LoopbackPort flapping;  // bound, not listening: refused until listen()
  const std::string settings = dir.file("hosts.ini");
  const std::string entry = "127.0.0.1:" + std::to_string(flapping.port());
  const auto running = Watch(dir, settings, flapping.port());
  test::ServiceProcess& program = *running;
  ASSERT_TRUE(program.errHas("/metrics")) << program.err();
  const int port = MetricsPort(program);
  ASSERT_NE(port, 0) << program.err();
  ASSERT_TRUE(program.errHas("is DOWN")) << program.err();
  std::this_thread::sleep_for(1500ms);
  flapping.listen();
  ASSERT_TRUE(program.errHas("is UP")) << program.err();

  // The writer commits about once a second; the page reads what is committed.
  std::string json;
  const bool shown = test::WaitFor(
      [&] {
        json = test::HttpRequest(port, "GET", "/status.json").body;
        return json.find("\"state\":\"up\"") != std::string::npos &&
               // part of the day up, part down: neither null nor 0 nor 1
               json.find("\"uptime24h\":0.") != std::string::npos &&
               std::regex_search(json, std::regex("\"strip\":\\[[^\\]]*[0-9]")) &&
               // the outage is over once the history has the UP that ended it
               std::regex_search(json, std::regex("\"outages\":\\[\\{[^}]*\"end\":\"2"));
      },
      10s);
  EXPECT_TRUE(shown) << json;

  // Beside the running copy, which holds the settings' lock and writes the file.
  const Ran beside = RunProgram("--report --config " + settings);
  EXPECT_EQ(beside.status, 0) << beside.out;
  EXPECT_NE(beside.out.find(entry), std::string::npos) << beside.out;

  program.signal(SIGTERM);
  const auto status = program.waitExit(5s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << program.err();

  const Ran csv = RunProgram("--report --csv --days 1 --config " + settings);
  EXPECT_EQ(csv.status, 0) << csv.out;
  EXPECT_NE(csv.out.find(entry), std::string::npos) << csv.out;
  EXPECT_EQ(RunProgram("--report --days 0 --config " + settings).status, 2);
}

TEST(HistoryProcess, HistoryOffLeavesNoFileAndTheReportSaysSo) {
  test::TempDir dir;
  test::LoopbackPort closed;
  const std::string settings = dir.file("hosts.ini");
  const auto running = Watch(dir, settings, closed.port(), "history=off\n");
  test::ServiceProcess& program = *running;
  ASSERT_TRUE(program.errHas("/metrics")) << program.err();
  const int port = MetricsPort(program);
  ASSERT_TRUE(program.errHas("is DOWN")) << program.err();
  const std::string json = test::HttpRequest(port, "GET", "/status.json").body;
  EXPECT_NE(json.find("\"state\":\"down\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"uptime24h\":null"), std::string::npos) << json;
  EXPECT_NE(test::HttpRequest(port, "GET", "/").body.find("history is off"), std::string::npos);
  program.signal(SIGTERM);
  ASSERT_TRUE(program.waitExit(5s));
  EXPECT_FALSE(std::filesystem::exists(dir.file("hosts.history.sqlite")));
  EXPECT_EQ(RunProgram("--report --config " + settings).status, 1);
}

}  // namespace
}  // namespace varnley
