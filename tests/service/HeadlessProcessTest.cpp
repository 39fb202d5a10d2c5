// The windowless program as a service manager runs it: no display, its log on stderr, state
// messages on a socket the test binds, signals for the end and for a reload; and the window
// program started where there is no display.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "support/Dnsmasq.h"
#include "support/ServiceProcess.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using test::LoopbackPort;
using test::ServiceProcess;

const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                                             "NOTIFY_SOCKET", "JOURNAL_STREAM"};

std::string HostsFile(const std::vector<int>& ports, const std::string& extra = "") {
  std::string list;
  for (int port : ports) {
    if (!list.empty()) list += ',';
    list += std::to_string(port);
  }
  return "[config]\ninterval=1\nhostcount=1\n" + extra + "[host1]\nhost=127.0.0.1\nport=" + list +
         "\n";
}

// A log line as the program writes it, with a priority prefix when given one.
std::string Line(int port, const char* state, const char* prefix = "") {
  std::string line = prefix;
  line.append("\"127.0.0.1:").append(std::to_string(port)).append("\" is ").append(state);
  return line.append(".\n");
}
std::string Down(int port, const char* prefix = "") { return Line(port, "DOWN", prefix); }
std::string Up(int port, const char* prefix = "") { return Line(port, "UP", prefix); }

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Headless : public ::testing::Test {
 protected:
  ServiceProcess start(const std::vector<std::string>& env = {}, const std::string& name = "err") {
    std::vector<std::string> all = {"VARNLEY_INSTANCE_DIR=" + dir.file("run"),
                                    "XDG_CONFIG_HOME=" + dir.file("config")};
    all.insert(all.end(), env.begin(), env.end());
    return ServiceProcess(VARNLEY_EXE, {"--headless", "--config", settings}, dir.file(name), all,
                          kNoDisplay);
  }

  test::TempDir dir;
  std::string settings = dir.file("hosts.ini");
};

::testing::AssertionResult ExitedWith(std::optional<int> status, int code) {
  if (!status) return ::testing::AssertionFailure() << "still running";
  if (WIFSIGNALED(*status)) return ::testing::AssertionFailure() << "signal " << WTERMSIG(*status);
  if (WEXITSTATUS(*status) != code)
    return ::testing::AssertionFailure() << "exit status " << WEXITSTATUS(*status);
  return ::testing::AssertionSuccess();
}

TEST_F(Headless, TellsReadyLogsDownAndUpAndSavesTheHostsOnSigterm) {
  LoopbackPort open, closed;
  open.listen();
  test::WriteText(settings, HostsFile({open.port(), closed.port()}));
  test::NotifyListener notify(dir.file("notify"));
  ServiceProcess program = start({"NOTIFY_SOCKET=" + dir.file("notify")});

  EXPECT_EQ(notify.next(), "READY=1");
  ASSERT_TRUE(program.errHas(Down(closed.port()))) << program.err();
  closed.listen();
  ASSERT_TRUE(program.errHas(Up(closed.port()))) << program.err();
  EXPECT_EQ(program.err().find(Down(open.port())), std::string::npos);

  // The file gone while it ran: the hosts in memory are what the final save writes back.
  std::filesystem::remove(settings);
  const auto asked = std::chrono::steady_clock::now();
  program.signal(SIGTERM);
  EXPECT_EQ(notify.next(), "STOPPING=1");
  EXPECT_TRUE(ExitedWith(program.waitExit(), 0)) << program.err();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1500ms);
  const std::string saved = test::ReadText(settings);
  EXPECT_NE(saved.find("host=127.0.0.1"), std::string::npos) << saved;
  EXPECT_NE(saved.find(std::to_string(closed.port())), std::string::npos) << saved;
}

TEST_F(Headless, SighupReloadsKeepingTheStateOfPortsThatStay) {
  LoopbackPort stays, added;
  test::WriteText(settings, HostsFile({stays.port()}));
  // Under a service manager stderr is the journal's stream: lines carry their priority.
  test::WriteText(dir.file("err"), "");
  ServiceProcess program = start({test::JournalStreamOf(dir.file("err"))});
  ASSERT_TRUE(program.errHas(Down(stays.port(), "<4>"))) << program.err();

  test::WriteText(settings, HostsFile({stays.port(), added.port()}));
  program.signal(SIGHUP);
  ASSERT_TRUE(program.errHas(Down(added.port(), "<4>"))) << program.err();
  // The port that stayed is still down: no second DOWN, and UP once it answers.
  EXPECT_EQ(Count(program.err(), Down(stays.port())), 1u) << program.err();
  stays.listen();
  ASSERT_TRUE(program.errHas(Up(stays.port(), "<5>"))) << program.err();

  program.signal(SIGINT);
  EXPECT_TRUE(ExitedWith(program.waitExit(), 0)) << program.err();
}

TEST_F(Headless, SighupsHoweverFrequentLeaveNoPortOfTheRoundUnprobed) {
  // One port a pass and a pass a second; the reloads come faster than that.
  std::vector<std::unique_ptr<LoopbackPort>> closed;
  std::vector<int> ports;
  for (int i = 0; i < 20; ++i) {
    closed.push_back(std::make_unique<LoopbackPort>());
    ports.push_back(closed.back()->port());
  }
  test::WriteText(settings, HostsFile(ports, "parallel=1\n"));
  ServiceProcess program = start();
  ASSERT_TRUE(program.errHas("monitoring 20 ports")) << program.err();
  const auto allDown = [&] {
    const std::string err = program.err();
    for (int port : ports)
      if (err.find(Down(port)) == std::string::npos) return false;
    return true;
  };
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!allDown() && std::chrono::steady_clock::now() < deadline) {
    program.signal(SIGHUP);
    std::this_thread::sleep_for(400ms);  // the pace of the reloads, not a wait for a state
  }
  EXPECT_TRUE(allDown()) << program.err();
  EXPECT_GE(Count(program.err(), "reloaded; monitoring 20 ports"), 5u) << program.err();
  program.signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(program.waitExit(), 0)) << program.err();
}

TEST_F(Headless, AReloadOfAHugeFileKeepsTheSettingsAndTheExitPrompt) {
  LoopbackPort port;
  const std::string file = HostsFile({port.port()});
  test::WriteText(settings, file);
  ServiceProcess program = start();
  ASSERT_TRUE(program.errHas(Down(port.port()))) << program.err();
  std::filesystem::resize_file(settings, std::uintmax_t{2} << 30);  // sparse: costs no disk
  const auto asked = std::chrono::steady_clock::now();
  program.signal(SIGHUP);
  ASSERT_TRUE(
      program.errHas("more than a settings file may hold (1073741824); the settings "
                     "stay as they were"))
      << program.err();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
  // Still watching the port it had.
  port.listen();
  ASSERT_TRUE(program.errHas(Up(port.port()))) << program.err();
  const auto stopAsked = std::chrono::steady_clock::now();
  program.signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(program.waitExit(), 0)) << program.err();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, 1500ms);
  EXPECT_EQ(std::filesystem::file_size(settings), std::uintmax_t{2} << 30);  // left as it is
  EXPECT_EQ(program.err().find("monitoring 0 ports"), std::string::npos) << program.err();
}

TEST_F(Headless, ASecondCopyOnTheSameFileIsRefused) {
  LoopbackPort closed;
  test::WriteText(settings, HostsFile({closed.port()}));
  // An abstract socket name, as a service manager may hand out.
  const std::string name = "@varnley-test-" + std::to_string(::getpid());
  test::NotifyListener notify(name);
  ServiceProcess first = start({"NOTIFY_SOCKET=" + name});
  ASSERT_EQ(notify.next(), "READY=1");

  ServiceProcess second = start({}, "second");
  EXPECT_TRUE(ExitedWith(second.waitExit(), 1));
  EXPECT_NE(second.err().find("another headless copy already runs on " + settings),
            std::string::npos)
      << second.err();

  first.signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(first.waitExit(), 0)) << first.err();
}

TEST_F(Headless, AFileEditedWhileRunningIsNotOverwrittenAtTheEnd) {
  LoopbackPort closed;
  test::WriteText(settings, HostsFile({closed.port()}));
  ServiceProcess program = start();
  ASSERT_TRUE(program.errHas(Down(closed.port()))) << program.err();
  const std::string edited = HostsFile({closed.port(), 22});
  test::WriteText(settings, edited);
  program.signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(program.waitExit(), 0)) << program.err();
  EXPECT_EQ(test::ReadText(settings), edited);
  EXPECT_NE(program.err().find("changed since it was read"), std::string::npos) << program.err();
}

TEST_F(Headless, AFinalSaveThatFailsEndsWithStatusOne) {
  LoopbackPort closed;
  test::WriteText(settings, HostsFile({closed.port()}));
  ServiceProcess program = start();
  ASSERT_TRUE(program.errHas(Down(closed.port()))) << program.err();
  // The file gone and its place taken by a folder: the save has nowhere to go.
  std::filesystem::remove(settings);
  std::filesystem::create_directory(settings);
  program.signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(program.waitExit(), 1)) << program.err();
  EXPECT_NE(program.err().find("Unable to write to " + settings), std::string::npos)
      << program.err();
}

TEST_F(Headless, ASettingsFileThatIsNotThereIsSaidAtStart) {
  struct Case {
    std::string file;
    std::string said;
    int status;  // at SIGTERM, once the first save was tried
  };
  const Case cases[] = {
      {dir.file("new.ini"),
       "new.ini does not exist yet: starting with no hosts; the file is created at the first save",
       0},
      {dir.file("no/such/dir/v.ini"), "v.ini cannot be there: its folder does not exist", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    settings = c.file;
    ServiceProcess program = start({}, "err-" + std::filesystem::path(c.file).stem().string());
    ASSERT_TRUE(program.errHas(c.said)) << program.err();
    ASSERT_TRUE(program.errHas("monitoring 0 ports")) << program.err();
    program.signal(SIGTERM);
    EXPECT_TRUE(ExitedWith(program.waitExit(), c.status)) << program.err();
    EXPECT_EQ(std::filesystem::exists(c.file), c.status == 0);
  }
}

TEST_F(Headless, TheWindowWithoutADisplayPointsToHeadless) {
  if (!VARNLEY_WINDOWS) GTEST_SKIP() << "a build without windows";
  ServiceProcess program(VARNLEY_EXE, {"--config", settings}, dir.file("err"),
                         {"VARNLEY_INSTANCE_DIR=" + dir.file("run")}, kNoDisplay);
  EXPECT_TRUE(ExitedWith(program.waitExit(), 1));
  const std::string err = program.err();
  EXPECT_EQ(Count(err, "\n"), 1u) << err;
  EXPECT_NE(err.find("--headless"), std::string::npos) << err;
}

// Names through a name server of the test's own and an IPv6 literal: each port DOWN with the
// reason on the line after it, a name that answers on an open port never DOWN.
TEST_F(Headless, WatchesNamesAndIPv6AndSaysWhyEachPortIsDown) {
  LoopbackPort open, closed;
  open.listen();
  test::Dnsmasq dns({"--address=/up.test/127.0.0.1", "--address=/shut.test/127.0.0.1"});
  const std::string o = std::to_string(open.port()), c = std::to_string(closed.port());
  test::WriteText(settings, "[config]\ninterval=1\nhostcount=4\ndns=" + dns.dns() +
                                "\n[host1]\nhost=[::1]\nport=" + c +
                                "\n[host2]\nhost=up.test\nport=" + o +
                                "\n[host3]\nhost=shut.test\nport=" + c +
                                "\n[host4]\nhost=nosuch.test\nport=" + o + "\n");
  ServiceProcess program = start();
  struct Case {
    std::string entry, reason;
  };
  const Case cases[] = {{"[::1]:" + c, "refused"},
                        {"shut.test:" + c, "refused"},
                        {"nosuch.test:" + o, "no such name"}};
  for (const Case& k : cases)
    EXPECT_TRUE(program.errHas("  " + k.entry + ": " + k.reason + "\n")) << k.entry << "\n"
                                                                         << program.err();
  for (const Case& k : cases) {
    // Each entry is in some DOWN line, whatever the fold put beside it.
    const std::string err = program.err();
    const auto at = err.find(k.entry);
    ASSERT_NE(at, std::string::npos) << k.entry;
    EXPECT_NE(err.substr(at, err.find('\n', at) - at).find("DOWN"), std::string::npos)
        << k.entry << "\n" << err;
  }
  EXPECT_EQ(program.err().find("up.test:" + o), std::string::npos) << program.err();
}

}  // namespace
}  // namespace varnley
