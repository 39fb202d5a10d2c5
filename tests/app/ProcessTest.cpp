// The built program as a process: one instance, "-s", and an orderly end on signals. Each
// test runs a copy of the executable from a temporary folder, so its settings file sits
// beside it, with its runtime and config folders pointed into that folder too.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <sstream>
#include <thread>

#include "model/TempDir.h"
#include "support/OtherUser.h"
#include "support/WaitFor.h"

extern char** environ;

namespace varnley {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Starting the toolkit under the sanitizers takes a while on a shared machine.
constexpr auto kStartDeadline = 30s;

class Program {
 public:
  // With asOtherUser (root only), the program runs as test::kOtherUid, from dir/bin if there is
  // one, with its home in dir/home and no XDG_CONFIG_HOME: an installed copy started by a user.
  Program(const test::TempDir& dir, const std::vector<std::string>& args,
          const std::string& name = "out", bool asOtherUser = false) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (entry.rfind("VARNLEY_INSTANCE_DIR=", 0) == 0 || entry.rfind("XDG_RUNTIME_DIR=", 0) == 0 ||
          entry.rfind("XDG_CONFIG_HOME=", 0) == 0 || entry.rfind("HOME=", 0) == 0 ||
          entry.rfind("QT_QPA_PLATFORM=", 0) == 0)
        continue;
      env.push_back(entry);
    }
    env.push_back("VARNLEY_INSTANCE_DIR=" + dir.file("run"));
    env.push_back("XDG_RUNTIME_DIR=" + dir.file("run"));
    if (asOtherUser) {
      env.push_back("HOME=" + dir.file("home"));
    } else {
      env.push_back("XDG_CONFIG_HOME=" + dir.file("config"));
      env.push_back("HOME=" + dir.path().string());
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<std::string> argv = {
        dir.file(asOtherUser && fs::exists(dir.file("bin")) ? "bin/varnley" : "varnley")};
    argv.insert(argv.end(), args.begin(), args.end());
    outPath_ = dir.file(name + ".stdout");
    errPath_ = dir.file(name + ".stderr");

    std::vector<char*> cArgs, cEnv;
    for (auto& a : argv) cArgs.push_back(a.data());
    cArgs.push_back(nullptr);
    for (auto& e : env) cEnv.push_back(e.data());
    cEnv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(out, 1);
      ::dup2(err, 2);
      ::chdir(dir.path().c_str());
      if (asOtherUser && (::setgroups(0, nullptr) != 0 ||
                          ::setresgid(test::kOtherUid, test::kOtherUid, test::kOtherUid) != 0 ||
                          ::setresuid(test::kOtherUid, test::kOtherUid, test::kOtherUid) != 0))
        ::_exit(126);
      ::execve(cArgs[0], cArgs.data(), cEnv.data());
      ::_exit(127);
    }
  }
  ~Program() {
    if (!exited_ && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return pid_; }
  bool running() { return !poll(); }

  // The raw wait status once the process ended within the deadline.
  std::optional<int> waitExit(std::chrono::milliseconds deadline = kStartDeadline) {
    test::WaitFor([&] { return poll(); }, deadline);
    if (!exited_) return std::nullopt;
    return status_;
  }

  // The process holds the instance lock: it is past the point where a second copy would
  // leave, and its signal handlers are in place.
  bool holdsInstanceLock() const {
    std::istringstream locks(test::ReadText("/proc/locks"));
    std::string pid = " ";
    pid += std::to_string(pid_);
    pid += ' ';
    for (std::string line; std::getline(locks, line);)
      if (line.find("FLOCK") != std::string::npos && line.find(pid) != std::string::npos)
        return true;
    return false;
  }

  std::string err() const { return test::ReadText(errPath_); }
  std::string out() const { return test::ReadText(outPath_); }

 private:
  bool poll() {
    if (exited_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = status;
    }
    return exited_;
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  std::string outPath_, errPath_;
};

::testing::AssertionResult ExitedWithZero(std::optional<int> status) {
  if (!status) return ::testing::AssertionFailure() << "still running";
  if (WIFSIGNALED(*status))
    return ::testing::AssertionFailure() << "killed by signal " << WTERMSIG(*status);
  if (WEXITSTATUS(*status) != 0)
    return ::testing::AssertionFailure() << "exit status " << WEXITSTATUS(*status);
  return ::testing::AssertionSuccess();
}

// A loopback listener that tells whether anything connected to it.
class ConnectWatch {
 public:
  ConnectWatch() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("loopback listener");
    port_ = ntohs(a.sin_port);
  }
  ~ConnectWatch() { ::close(fd_); }
  std::uint16_t port() const { return port_; }
  bool connectedWithin(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) == 1;
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(VARNLEY_EXE, dir.file("varnley"));
    fs::permissions(dir.file("varnley"), fs::perms::owner_all);
    fs::create_directory(dir.file("run"));
    fs::permissions(dir.file("run"), fs::perms::owner_all);
  }
  void writeSettings(const std::string& ports) {
    test::WriteText(
        dir.file("varnley.ini"),
        "[config]\ninterval=1\nhostcount=1\n[host1]\nhost=127.0.0.1\nport=" + ports + "\n");
  }
  test::TempDir dir;
};

TEST_F(ProcessTest, OfTwoCopiesStartedTogetherExactlyOneStays) {
  writeSettings("");
  Program a(dir, {}, "a");
  Program b(dir, {}, "b");
  ASSERT_TRUE(test::WaitFor([&] { return !a.running() || !b.running(); }, kStartDeadline));
  Program& left = a.running() ? b : a;
  Program& stayed = a.running() ? a : b;
  EXPECT_TRUE(ExitedWithZero(left.waitExit()));
  EXPECT_EQ(left.err(), "");  // silently
  EXPECT_EQ(left.out(), "");
  EXPECT_TRUE(test::WaitFor([&] { return stayed.holdsInstanceLock(); }, kStartDeadline));
  EXPECT_TRUE(stayed.running());

  // Once the first has ended, a new copy may run.
  ::kill(stayed.pid(), SIGTERM);
  EXPECT_TRUE(ExitedWithZero(stayed.waitExit()));
  Program c(dir, {}, "c");
  EXPECT_TRUE(test::WaitFor([&] { return c.holdsInstanceLock(); }, kStartDeadline));
  ::kill(c.pid(), SIGTERM);
  EXPECT_TRUE(ExitedWithZero(c.waitExit()));
}

TEST_F(ProcessTest, DashSInFirstOrSecondPlaceStartsMonitoring) {
  const std::pair<std::vector<std::string>, bool> cases[] = {
      {{"-s"}, true},
      {{"other", "-s"}, true},
      {{"-S"}, false},
      {{"a", "b", "-s"}, false},
  };
  for (const auto& [args, monitors] : cases) {
    std::string shown;
    for (const auto& a : args) {
      shown += ' ';
      shown += a;
    }
    SCOPED_TRACE("args:" + shown);
    ConnectWatch watch;
    writeSettings(std::to_string(watch.port()) + ",");
    Program p(dir, args);
    ASSERT_TRUE(test::WaitFor([&] { return p.holdsInstanceLock(); }, kStartDeadline));
    if (monitors) {
      EXPECT_TRUE(watch.connectedWithin(kStartDeadline));
    } else {
      // Monitoring starts before the window is made; a probe that has not come well after
      // the lock was taken is not coming.
      EXPECT_FALSE(watch.connectedWithin(3s));
    }
    ::kill(p.pid(), SIGTERM);
    EXPECT_TRUE(ExitedWithZero(p.waitExit()));
  }
}

TEST_F(ProcessTest, TerminationSignalsSaveTheHostsAndExitZero) {
  for (const int signo : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(::testing::Message() << "signal " << signo);
    ConnectWatch watch;
    const std::string port = std::to_string(watch.port());
    // Loading normalises "abc" away; seeing that in the file proves it was written again.
    writeSettings(port + ",abc,");
    Program p(dir, {"-s"});
    ASSERT_TRUE(watch.connectedWithin(kStartDeadline));  // monitoring runs at the signal
    ::kill(p.pid(), signo);
    EXPECT_TRUE(ExitedWithZero(p.waitExit()));
    const std::string saved = test::ReadText(dir.file("varnley.ini"));
    EXPECT_NE(saved.find("port=" + port + ",\n"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("abc"), std::string::npos) << saved;
  }
}

TEST_F(ProcessTest, HelpVersionAndRefusalsAnswerWithoutAWindow) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // a part of each; "" for nothing at all
  };
  const Case cases[] = {
      {{"--help"}, 0, "--config FILE", ""},
      {{"-s", "--version"}, 0, "Varnley 1.", ""},
      {{"--config"}, 2, "", "--config needs a FILE"},
      {{"--bogus"}, 2, "", "unknown option --bogus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    Program p(dir, c.args);
    const auto status = p.waitExit();
    ASSERT_TRUE(status && WIFEXITED(*status)) << p.err();
    EXPECT_EQ(WEXITSTATUS(*status), c.status) << p.err();
    if (c.out.empty()) {
      EXPECT_EQ(p.out(), "");
    }
    if (c.err.empty()) {
      EXPECT_EQ(p.err(), "");
    }
    EXPECT_NE(p.out().find(c.out), std::string::npos) << p.out();
    EXPECT_NE(p.err().find(c.err), std::string::npos) << p.err();
  }
  EXPECT_FALSE(fs::exists(dir.file("varnley.ini")));  // nothing ran, nothing was saved
}

// An installed copy: the executable in a folder only root may change, started by a user. The
// settings go to the user's own folder, made on the first save, and are there at the next start.
class InstalledCopyTest : public ProcessTest {
 protected:
  void SetUp() override {
    if (!test::CanActAsOtherUser()) GTEST_SKIP() << "needs root to install and act as a user";
    ProcessTest::SetUp();
    fs::create_directories(dir.file("bin"));
    fs::copy_file(dir.file("varnley"), dir.file("bin/varnley"));
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(dir.file("bin").c_str(), 0755);
    ::chmod(dir.file("bin/varnley").c_str(), 0755);
    fs::create_directories(dir.file("home"));
    ::chown(dir.file("home").c_str(), test::kOtherUid, test::kOtherUid);
    ::chown(dir.file("run").c_str(), test::kOtherUid, test::kOtherUid);
  }
  const std::string settings = "home/.config/varnley/varnley.ini";
};

TEST_F(InstalledCopyTest, KeepsItsHostsAcrossRuns) {
  // The first run makes the file; hosts then written into it (as a user might have added them)
  // are read by the second, which probes them, and saved again at its end.
  Program first(dir, {}, "first", true);
  ASSERT_TRUE(test::WaitFor([&] { return first.holdsInstanceLock(); }, kStartDeadline));
  ::kill(first.pid(), SIGTERM);
  ASSERT_TRUE(ExitedWithZero(first.waitExit())) << first.err();
  struct stat st {};
  ASSERT_EQ(::stat(dir.file(settings).c_str(), &st), 0) << first.err();
  EXPECT_EQ(st.st_uid, test::kOtherUid);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir.file("home/.config/varnley").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(fs::exists(dir.file("bin/varnley.ini")));

  ConnectWatch watch;
  const std::string port = std::to_string(watch.port());
  test::WriteText(dir.file(settings),
                  "[config]\nhostcount=1\n[host1]\nhost=127.0.0.1\nport=" + port + ",abc,\n");
  Program second(dir, {"-s"}, "second", true);
  EXPECT_TRUE(watch.connectedWithin(kStartDeadline));
  ::kill(second.pid(), SIGTERM);
  EXPECT_TRUE(ExitedWithZero(second.waitExit())) << second.err();
  const std::string saved = test::ReadText(dir.file(settings));
  EXPECT_NE(saved.find("port=" + port + ",\n"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("abc"), std::string::npos) << saved;
}

TEST_F(InstalledCopyTest, AFinalSaveThatFailsEndsWithStatusOneAndTheReason) {
  // The user's file was made read-only: the save is refused, not forced.
  fs::create_directories(dir.file("home/.config/varnley"));
  test::WriteText(dir.file(settings), "[config]\nhostcount=0\n");
  ::chown(dir.file(settings).c_str(), test::kOtherUid, test::kOtherUid);
  ::chmod(dir.file(settings).c_str(), 0444);
  Program p(dir, {}, "readonly", true);
  ASSERT_TRUE(test::WaitFor([&] { return p.holdsInstanceLock(); }, kStartDeadline));
  ::kill(p.pid(), SIGTERM);
  const auto status = p.waitExit();
  ASSERT_TRUE(status && WIFEXITED(*status)) << p.err();
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  EXPECT_NE(p.err().find("Unable to write to " + dir.file(settings)), std::string::npos) << p.err();
  EXPECT_NE(p.err().find("no write permission"), std::string::npos) << p.err();
  EXPECT_EQ(test::ReadText(dir.file(settings)), "[config]\nhostcount=0\n");
}

}  // namespace
}  // namespace varnley
