#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <tuple>
#include <fstream>
#include <iostream>
#include <sstream>

#include "model/PasswordCoding.h"
#include "model/Settings.h"
#include "model/TempDir.h"

namespace varnley {
namespace {

using test::ReadText;
using test::WriteText;

struct Loaded {
  AlertSettings settings;
  std::vector<MonitoredHost> hosts;
};

Loaded Load(const std::string& path) {
  Loaded l;
  LoadSettings(path, l.settings, l.hosts);
  return l;
}

TEST(Settings, MissingFileKeepsSettingsAndEmptiesHosts) {
  test::TempDir dir;
  AlertSettings settings;
  settings.showMessage = true;
  settings.interval = 30;
  std::vector<MonitoredHost> hosts{{"10.0.0.5", "80,", ""}};
  LoadSettings(dir.file("none.ini"), settings, hosts);
  EXPECT_TRUE(settings.showMessage);
  EXPECT_EQ(settings.interval, 30);
  EXPECT_TRUE(hosts.empty());
}

TEST(Settings, HostCountBoundsTheRowsAndLaterSectionsSurviveASave) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  WriteText(path,
            "[config]\nhostcount=2\n"
            "[host1]\nhost=10.0.0.5\nport=80,\n"
            "[host2]\nhost=10.0.0.6\nport=443,\n"
            "[host3]\nhost=10.0.0.7\nport=22,\n");
  const auto loaded = Load(path);
  ASSERT_EQ(loaded.hosts.size(), 2u);
  EXPECT_EQ(loaded.hosts[1], (MonitoredHost{"10.0.0.6", "443,", ""}));

  ASSERT_TRUE(SaveHosts(path, {{"10.0.0.9", "21,", "21,"}}).ok);
  EXPECT_EQ(ReadText(path),
            "[config]\nhostcount=1\n"
            "[host1]\nhost=10.0.0.9\nport=21,\n"  // deactivated ports are never stored
            "[host2]\nhost=10.0.0.6\nport=443,\n"
            "[host3]\nhost=10.0.0.7\nport=22,\n");
  EXPECT_EQ(Load(path).hosts, (std::vector<MonitoredHost>{{"10.0.0.9", "21,", ""}}));
}

TEST(Settings, HostRowsSkipInvalidAndMissingSectionsInOrder) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  WriteText(path,
            "[HOST3]\nHOST=10.0.0.3\n"
            "[host01]\nhost=10.0.0.99\n"  // not "host"+1: never read
            "[host1]\nhost=10.0.0.1\n"
            "[host2]\nhost=not an address\nport=80,\n"
            "[host9]\nhost=10.0.0.9\n"
            "[config]\nhostcount=2147483647\n");
  const auto loaded = Load(path);
  ASSERT_EQ(loaded.hosts.size(), 3u);
  EXPECT_EQ(loaded.hosts[0].host, "10.0.0.1");
  EXPECT_EQ(loaded.hosts[1].host, "10.0.0.3");
  EXPECT_EQ(loaded.hosts[2].host, "10.0.0.9");
}

struct PortsCase {
  const char* stored;
  const char* loaded;
};

TEST(Settings, PortsAreNormalisedOnLoad) {
  const PortsCase cases[] = {
      {"80,abc,0,443", "80,443,"},
      {"21,80,443,", "21,80,443,"},
      {"", ""},
      {",,,", ""},
      {"80,80", "80,80,"},              // duplicates stay
      {"65535,65536,70000", "65535,"},  // beyond a port number: dropped like 0
      {"-5,0x50, 22 ,$16", "80,22,22,"},
  };
  for (const auto& c : cases) EXPECT_EQ(NormalisePorts(c.stored), c.loaded) << c.stored;
}

TEST(Settings, APortsValueCutAtTheReadLimitLosesOnlyItsCutEntry) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  std::string full;  // 341 entries: 2046 characters
  for (int port = 10000; port < 10341; ++port) full += std::to_string(port) + ",";
  std::string atComma = "1,";  // 2047 characters end with a whole entry
  for (int port = 10000; port < 10340; ++port) atComma += std::to_string(port) + ",";
  atComma += "12345";
  const std::pair<std::string, std::string> cases[] = {
      {full + "60341,22,", full},         // "6" of 60341 is no port anyone entered
      {"\"" + full + "60341,\"", full},   // the same inside quotes
      {atComma + ",22,", atComma + ","},  // the cut falls on the comma: all whole
      {full + "6", full + "6,"},          // not cut at all: 2047 characters
      {std::string(3000, '7'), ""},       // one entry, cut: nothing of it is kept
  };
  for (const auto& [stored, loaded] : cases) {
    WriteText(path, "[config]\nhostcount=1\n[host1]\nhost=10.0.0.5\nport=" + stored + "\n");
    const auto hosts = Load(path).hosts;
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].ports, loaded) << stored.substr(stored.size() - 12);
  }
}

TEST(Settings, AlertSettingsRoundTripAndKeepForeignLines) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  const std::string foreign =
      "; kept\r\n[Config]\r\nHostCount = 1\r\ntheme=dark\r\n"
      "[Host1]\r\nHost = \"127.0.0.1\"\r\nPort=80,\r\n[plugins]\r\nx=1\r\n";
  WriteText(path, foreign);
  AlertSettings s;
  s.showMessage = true;
  s.sendEmail = true;
  s.interval = 60;
  s.smtpServer = "mail.example.org:2525";
  s.userName = "bob";
  s.password = "s\xC3\xA9kret";
  s.receiveEmail = "ops@example.org";
  s.authentication = true;
  ASSERT_TRUE(SaveAlertSettings(path, s).ok);
  const auto loaded = Load(path);
  EXPECT_EQ(loaded.settings, s);
  EXPECT_EQ(loaded.hosts, (std::vector<MonitoredHost>{{"127.0.0.1", "80,", ""}}));
  const std::string text = ReadText(path);
  EXPECT_NE(text.find("password=" + EncodePassword(s.password) + "\r\n"), std::string::npos);
  EXPECT_EQ(text.rfind("; kept\r\n[Config]\r\nHostCount = 1\r\ntheme=dark\r\n", 0), 0u);

  // Saving the same hosts leaves another program's spelling of them alone.
  ASSERT_TRUE(SaveHosts(path, loaded.hosts).ok);
  EXPECT_EQ(ReadText(path), text);
}

TEST(Settings, HostsLoadInTheirStoredFormAndIPv4FilesSaveByteForByte) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  // Leading zeros, CRLF, spacing and quotes: an IPv4-only file from before names were known.
  const std::string old =
      "[Config]\r\nHostCount=3\r\ndns=\r\n[Host1]\r\nHost = \"010.0.0.1\"\r\nPort=22,80,\r\n"
      "[host2]\r\nhost=127.0.0.1\r\nport=8080,\r\n[host3]\r\nhost=192.168.001.002\r\nport=\r\n";
  WriteText(path, old);
  auto loaded = Load(path);
  EXPECT_EQ(loaded.hosts, (std::vector<MonitoredHost>{{"010.0.0.1", "22,80,", ""},
                                                      {"127.0.0.1", "8080,", ""},
                                                      {"192.168.001.002", "", ""}}));
  ASSERT_TRUE(SaveHosts(path, loaded.hosts).ok);
  EXPECT_EQ(ReadText(path), old);

  WriteText(path,
            "[config]\nhostcount=3\ndns= 127.0.0.1:5353 , [::1]:53 \n[host1]\nhost=[::0001]\n"
            "[host2]\nhost=DB.Example.COM.\n[host3]\nhost=2001:DB8:0:0::10\n");
  loaded = Load(path);
  std::vector<std::string> hosts;
  for (const MonitoredHost& h : loaded.hosts) hosts.push_back(h.host);
  EXPECT_EQ(hosts, (std::vector<std::string>{"::1", "db.example.com", "2001:db8::10"}));
  EXPECT_EQ(loaded.settings.dns, "127.0.0.1:5353 , [::1]:53");
}

TEST(Settings, MailSecurityKeysAreOptionalAndWrittenOnlyOnceTheyMatter) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  WriteText(path, "[email]\r\nsmtpserver=mx\r\nauth=1\r\n");
  Loaded loaded = Load(path);
  EXPECT_EQ(loaded.settings.security, "");
  EXPECT_TRUE(loaded.settings.verifyCertificate);
  // A file from before TLS stays without the keys while they hold their defaults.
  loaded.settings.security = "none";
  ASSERT_TRUE(SaveAlertSettings(path, loaded.settings).ok);
  EXPECT_EQ(ReadText(path).find("security"), std::string::npos) << ReadText(path);
  EXPECT_EQ(ReadText(path).find("verify"), std::string::npos) << ReadText(path);

  loaded.settings.security = "starttls";
  loaded.settings.verifyCertificate = false;
  ASSERT_TRUE(SaveAlertSettings(path, loaded.settings).ok);
  EXPECT_NE(ReadText(path).find("security=starttls\r\n"), std::string::npos) << ReadText(path);
  EXPECT_NE(ReadText(path).find("verify=0\r\n"), std::string::npos) << ReadText(path);
  EXPECT_EQ(Load(path).settings, loaded.settings);

  // Back to the defaults: the keys say so, instead of keeping the old choice.
  loaded.settings.security = "none";
  loaded.settings.verifyCertificate = true;
  ASSERT_TRUE(SaveAlertSettings(path, loaded.settings).ok);
  EXPECT_EQ(Load(path).settings, loaded.settings);
  EXPECT_NE(ReadText(path).find("security=none\r\n"), std::string::npos) << ReadText(path);

  // A value this program does not know is kept as written, so the send can refuse it.
  WriteText(path, "[email]\nSecurity = SSLv3 \nverify=no\n");
  loaded = Load(path);
  EXPECT_EQ(loaded.settings.security, "SSLv3");
  EXPECT_TRUE(loaded.settings.verifyCertificate);  // not a number: the default
}

TEST(Settings, BrokenValuesCostOnlyThemselves) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  WriteText(path,
            "[config]\nmessage=yes\nemail=1\ninterval=0\nhostcount=1\n"
            "[email]\npassword=zz-not-hex\nmail=ops@example.org\nauth=1\n"
            "[host1]\nhost=10.0.0.5\nport=80,\n");
  AlertSettings s;
  s.showMessage = true;  // "yes" is no number: the current value stays
  std::vector<MonitoredHost> hosts;
  LoadSettings(path, s, hosts);
  EXPECT_TRUE(s.showMessage);
  EXPECT_TRUE(s.sendEmail);
  EXPECT_EQ(s.password, "");
  EXPECT_EQ(s.receiveEmail, "ops@example.org");
  EXPECT_TRUE(s.authentication);
  EXPECT_EQ(s.interval, kMinInterval);
  EXPECT_EQ(hosts.size(), 1u);
}

TEST(Settings, KeysBeforeAnySectionBelongToNone) {
  // Also when the file ends inside [config]: a reading that starts again must start outside.
  AlertSettings settings;
  std::vector<MonitoredHost> hosts;
  LoadSettingsFromText("email=1\nhostcount=1\n[host1]\nhost=10.0.0.5\n[config]\nmessage=1\n",
                       settings, hosts);
  EXPECT_FALSE(settings.sendEmail);
  EXPECT_TRUE(settings.showMessage);
  EXPECT_TRUE(hosts.empty());
}

TEST(Settings, IntervalIsKeptInRange) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  const std::pair<const char*, int> cases[] = {{"-5", 1},
                                               {"0", 1},
                                               {"1", 1},
                                               {"2147483", 2147483},
                                               {"2147484", 2147483},
                                               {"$7FFFFFFF", 2147483},
                                               {"junk", 1}};
  for (const auto& [stored, expected] : cases) {
    WriteText(path, std::string("[config]\ninterval=") + stored + "\n");
    EXPECT_EQ(Load(path).settings.interval, expected) << stored;
  }
}

TEST(Settings, ProbeKeysAreOptionalAndKeptInRange) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  // A file from before the keys existed loads as the old behaviour and saves unchanged.
  const std::string old =
      "[config]\nmessage=1\nemail=0\nrun=0\ninterval=5\nhostcount=0\n"
      "[email]\nsmtpserver=\nusername=\npassword=\nmail=\nauth=0\n";
  WriteText(path, old);
  AlertSettings loaded = Load(path).settings;
  EXPECT_EQ(loaded.timeout, 0);
  EXPECT_EQ(loaded.retries, 0);
  EXPECT_EQ(loaded.parallel, 1);
  ASSERT_TRUE(SaveAlertSettings(path, loaded).ok);
  EXPECT_EQ(ReadText(path), old);

  // Set, they are written and read back; set back to the default, a key already there stays.
  loaded.timeout = 7;
  loaded.retries = 2;
  loaded.parallel = 500;
  ASSERT_TRUE(SaveAlertSettings(path, loaded).ok);
  EXPECT_EQ(Load(path).settings, loaded);
  loaded.timeout = 0;
  ASSERT_TRUE(SaveAlertSettings(path, loaded).ok);
  EXPECT_NE(ReadText(path).find("timeout=0\n"), std::string::npos);
  EXPECT_EQ(Load(path).settings, loaded);

  const std::tuple<const char*, int, int, int> cases[] = {
      {"timeout=-1\nretries=-1\nparallel=0", 0, 0, 1},
      {"timeout=3600\nretries=10\nparallel=4096", 3600, 10, 4096},
      {"timeout=3601\nretries=11\nparallel=4097", 3600, 10, 4096},
      {"timeout=x\nretries=\nparallel=y", 0, 0, 1},
      {"Timeout = 30\nRETRIES=3\nParallel=50", 30, 3, 50},
  };
  for (const auto& [keys, timeout, retries, parallel] : cases) {
    WriteText(path, std::string("[config]\n") + keys + "\n");
    const AlertSettings s = Load(path).settings;
    EXPECT_EQ(s.timeout, timeout) << keys;
    EXPECT_EQ(s.retries, retries) << keys;
    EXPECT_EQ(s.parallel, parallel) << keys;
  }
}

TEST(Settings, LargeFileReadInPiecesLosesNoRow) {
  // Far more than one read of the file, with CR LF ends that pieces may split.
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  constexpr int kHosts = 6000;
  std::string text = "[config]\r\nhostcount=" + std::to_string(kHosts) + "\r\n";
  for (int i = 1; i <= kHosts; ++i) {
    text += "[host" + std::to_string(i) + "]\r\nhost=10.0." + std::to_string(i / 256) + "." +
            std::to_string(i % 256) + "\r\nport=" + std::to_string(i) + ",\r\n";
  }
  WriteText(path, text);
  const auto hosts = Load(path).hosts;
  ASSERT_EQ(hosts.size(), static_cast<std::size_t>(kHosts));
  for (int i = 1; i <= kHosts; ++i) {
    ASSERT_EQ(hosts[i - 1].host, "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    ASSERT_EQ(hosts[i - 1].ports, std::to_string(i) + ",");
  }
}

TEST(Settings, PathThatIsNoFileIsNeitherReadNorReplaced) {
  test::TempDir dir;
  const auto fifo = dir.file("fifo.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  AlertSettings settings;
  settings.interval = 7;
  std::vector<MonitoredHost> hosts{{"10.0.0.5", "80,", ""}};
  LoadSettings(fifo, settings, hosts);  // would wait forever for a writer if opened blocking
  EXPECT_EQ(settings.interval, 7);
  EXPECT_TRUE(hosts.empty());
  EXPECT_FALSE(SaveHosts(fifo, {}).ok);
  EXPECT_FALSE(SaveAlertSettings(dir.path().string(), {}).ok);
}

TEST(Settings, NewFileIsPrivateAndExistingModeIsKept) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  ASSERT_TRUE(SaveHosts(path, {}).ok);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(SaveAlertSettings(path, {}).ok);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // Nothing but the settings file is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Settings, SaveThroughALinkReplacesItsTarget) {
  test::TempDir dir;
  const auto real = dir.file("real.ini");
  const auto link = dir.file("link.ini");
  WriteText(real, "[config]\nhostcount=0\n");
  std::filesystem::create_symlink(real, link);
  ASSERT_TRUE(SaveHosts(link, {{"10.0.0.5", "80,", ""}}).ok);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Load(real).hosts.size(), 1u);
}

TEST(Settings, FailedWriteIsReportedAndLeavesTheOldFileWhole) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  std::vector<MonitoredHost> hosts(2, {"10.0.0.5", "80,", ""});
  ASSERT_TRUE(SaveHosts(path, hosts).ok);
  const std::string before = ReadText(path);

  // A file size limit makes the write fail part way, even for root.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = before.size() + 10;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const SaveResult result = SaveHosts(path, std::vector<MonitoredHost>(1000, hosts[0]));
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "Unable to write to " + path);
  EXPECT_EQ(ReadText(path), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

std::size_t StatusKiB(const char* field) {
  std::istringstream status(ReadText("/proc/self/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::stoul(line.substr(std::strlen(field)));
  return 0;
}

// Runs prepare and then fn in a child process and returns the most memory fn needed on top of
// what the child had before it, in bytes (0 when that could not be measured).
template <class Prepare, class Fn>
std::size_t PeakMemoryOf(Prepare&& prepare, Fn&& fn) {
  int pipe[2];
  if (::pipe(pipe) != 0) return 0;
  const pid_t pid = ::fork();
  if (pid == 0) {
    prepare();
    // Start the high-water mark afresh from here.
    std::ofstream("/proc/self/clear_refs") << "5";
    const std::size_t before = StatusKiB("VmRSS:");
    fn();
    const std::size_t peak = (StatusKiB("VmHWM:") - before) * 1024;
    ::write(pipe[1], &peak, sizeof peak);
    ::_exit(0);
  }
  std::size_t peak = 0;
  ::close(pipe[1]);
  if (::read(pipe[0], &peak, sizeof peak) != sizeof peak) peak = 0;
  ::close(pipe[0]);
  ::waitpid(pid, nullptr, 0);
  return peak;
}

// Files of 16 MiB whose every line costs the loader or a save the most: memory must stay
// within about four times the file plus a few MiB.
TEST(Settings, HostileFilesNeedMemoryInProportion) {
  constexpr std::size_t kSize = std::size_t{16} << 20;
  constexpr std::size_t kSlack = std::size_t{8} << 20;
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  const auto repeat = [&](auto line) {
    std::string text = "[config]\nhostcount=99999999\n";
    for (std::size_t i = 1; text.size() < kSize; ++i) text += line(i);
    return text;
  };
  const std::pair<const char*, std::string> shapes[] = {
      {"one section header again and again", repeat([](std::size_t) { return "[host1]\n"; })},
      {"a new section header each line",
       repeat([](std::size_t i) { return "[host" + std::to_string(i) + "]\n"; })},
      {"a valid host in each section",
       repeat([](std::size_t i) { return "[host" + std::to_string(i) + "]\nhost=0.0.0.0\n"; })},
      {"blank lines", repeat([](std::size_t) { return "\n"; })},
      {"one huge line", "[config]\nx=" + std::string(kSize, 'a') + "\n"},
  };
  for (const auto& [name, text] : shapes) {
    WriteText(path, text);
    const std::size_t size = text.size();
    Loaded loaded;
    const auto nothing = [] {};
    const std::size_t load = PeakMemoryOf(nothing, [&] { Load(path); });
    const std::size_t hosts =
        PeakMemoryOf([&] { loaded = Load(path); }, [&] { SaveHosts(path, loaded.hosts); });
    const std::size_t alert =
        PeakMemoryOf(nothing, [&] { SaveAlertSettings(path, AlertSettings{}); });
    std::cerr << name << ": load " << load / 1024 << " KiB, save hosts " << hosts / 1024
              << " KiB, save alert settings " << alert / 1024 << " KiB for " << size / 1024
              << " KiB\n";
    for (const std::size_t peak : {load, hosts, alert}) {
      EXPECT_GT(peak, 0u) << name;
      EXPECT_LE(peak, 4 * size + kSlack) << name;
    }
  }
}

// Running out of memory in the alert-settings save is a failed save like any other.
TEST(Settings, RunningOutOfMemoryIsAFailedSave) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  const std::string text = "[config]\n; " + std::string(std::size_t{96} << 20, 'x') + "\n";
  WriteText(path, text);
  const pid_t pid = ::fork();
  if (pid == 0) {
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = StatusKiB("VmSize:") * 1024 + (std::size_t{48} << 20);
    ::setrlimit(RLIMIT_AS, &limit);
    const SaveResult result = SaveAlertSettings(path, AlertSettings{});
    ::_exit(!result.ok && result.error == "Unable to write to " + path ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(ReadText(path).size(), text.size());
}

#endif

TEST(Settings, MissingFolderIsReported) {
  test::TempDir dir;
  const auto path = dir.file("no/such/folder/s.ini");
  const auto result = SaveAlertSettings(path, {});
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "Unable to write to " + path);
}

}  // namespace
}  // namespace varnley
