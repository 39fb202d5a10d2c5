// The status page as a user sees it: headless Chromium loads it from a windowless copy that
// watches an open and a closed loopback port, and the document it builds shows both rows with
// their states, the down one first.
#include <gtest/gtest.h>

#include <regex>

#include "support/ServiceProcess.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

constexpr const char* kChromium = "/usr/bin/chromium";

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// The browser's view of the page (its DOM once loaded), or the reason it gave none.
bool DumpDom(const std::string& url, const test::TempDir& dir, std::string& dom,
             std::string& failure) {
  // Every name the browser would look up fails, so nothing leaves the machine; the
  // background services it would start are off.
  const std::string command =
      std::string("timeout 90 ") + kChromium +
      " --headless --disable-gpu --no-sandbox --no-first-run --disable-sync"
      " --disable-background-networking --disable-component-update --disable-extensions"
      " '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1'"
      " --user-data-dir=" +
      Quoted(dir.file("profile")) + " --dump-dom " + Quoted(url) + " > " + Quoted(dir.file("dom")) +
      " 2> " + Quoted(dir.file("chromium.err"));
  const int status = std::system(command.c_str());
  dom = test::ReadText(dir.file("dom"));
  if (status == 0 && !dom.empty()) return true;
  const std::string err = test::ReadText(dir.file("chromium.err"));
  failure = "exit status " + std::to_string(status) + ", " +
            err.substr(err.size() > 600 ? err.size() - 600 : 0);
  return false;
}

TEST(StatusPageInChromium, ShowsTheOpenAndTheClosedPortWithTheirStates) {
  if (::access(kChromium, X_OK) != 0)
    GTEST_SKIP() << "no browser test: " << kChromium << " is not installed (Debian chromium)";
  test::TempDir dir;
  test::LoopbackPort open, closed;
  open.listen();
  const std::string settings = dir.file("hosts.ini");
  test::WriteText(settings,
                  "[config]\ninterval=1\nhostcount=1\nmetrics=127.0.0.1:0\n[host1]\n"
                  "host=127.0.0.1\nport=" +
                      std::to_string(open.port()) + "," + std::to_string(closed.port()) + "\n");
  test::ServiceProcess program(VARNLEY_EXE, {"--headless", "--config", settings}, dir.file("err"),
                               {"VARNLEY_INSTANCE_DIR=" + dir.file("run")},
                               {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"});
  ASSERT_TRUE(program.errHas("/metrics")) << program.err();
  std::smatch found;
  const std::string err = program.err();
  ASSERT_TRUE(std::regex_search(err, found, std::regex("http://127\\.0\\.0\\.1:([0-9]+)/metrics")))
      << err;
  const int port = std::stoi(found[1]);
  const std::string closedState =
      "\"port\":" + std::to_string(closed.port()) + ",\"state\":\"down\"";
  ASSERT_TRUE(test::WaitFor([&] {
    return test::HttpRequest(port, "GET", "/status.json").body.find(closedState) !=
           std::string::npos;
  }));

  std::string dom, failure;
  if (!DumpDom("http://127.0.0.1:" + std::to_string(port) + "/", dir, dom, failure))
    GTEST_SKIP() << "no browser test: Chromium could not start or load the page (" << failure
                 << ")";
  const auto row = [&](int watched, const char* state, const char* word) {
    return dom.find("<tr class=\"" + std::string(state) +
                    "\"><td>127.0.0.1:" + std::to_string(watched) +
                    "</td><td class=\"state\"><span class=\"mark\"></span>" + word + "</td>");
  };
  const auto up = row(open.port(), "up", "UP");
  const auto down = row(closed.port(), "down", "DOWN");
  EXPECT_NE(up, std::string::npos) << dom;
  EXPECT_NE(down, std::string::npos) << dom;
  EXPECT_LT(down, up) << "the down port comes first";
  EXPECT_NE(dom.find("1 of 2 ports down"), std::string::npos) << dom;

  program.signal(SIGTERM);
  EXPECT_TRUE(program.waitExit());
}

}  // namespace
}  // namespace varnley
