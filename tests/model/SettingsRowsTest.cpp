// The key table against files: this wave's keys in and out of a file, an older file that must
// stay as it was, what a load drops and says, and the saves that must not lose what the file
// holds (a cut port list, a deleted file).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "model/Settings.h"
#include "model/SettingsKeys.h"
#include "model/TempDir.h"

namespace varnley {
namespace {

using test::ReadText;
using test::WriteText;

class Recorder : public Diagnostics {
 public:
  void Report(Severity, std::string_view text) override { lines.emplace_back(text); }
  std::vector<std::string> lines;
};

struct Loaded {
  AlertSettings settings;
  std::vector<MonitoredHost> hosts;
  LoadReport report;
  std::vector<std::string> said;
};

template <class Fn>
Loaded Run(Fn&& load) {
  Loaded l;
  Recorder recorder;
  l.report = load(l, recorder);
  l.said = recorder.lines;
  return l;
}

Loaded Load(const std::string& path) {
  return Run([&](Loaded& l, Diagnostics& d) { return LoadSettings(path, l.settings, l.hosts, d); });
}

Loaded LoadText(const std::string& text) {
  return Run([&](Loaded& l, Diagnostics& d) {
    return LoadSettingsFromText(text, l.settings, l.hosts, d);
  });
}

TEST(SettingsRows, ThisWavesKeysRoundTripAndStayOutOfAnOlderFile) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  const std::string old =
      "[config]\nmessage=1\nemail=0\nrun=0\ninterval=5\nhostcount=0\n"
      "[email]\nsmtpserver=mx\nusername=\npassword=\nmail=\nauth=0\n";
  WriteText(path, old);
  Loaded loaded = Load(path);
  EXPECT_EQ(loaded.settings.dns, "");
  EXPECT_FALSE(loaded.settings.notify);
  EXPECT_EQ(loaded.settings.remind, 0);
  EXPECT_TRUE(loaded.settings.statusPage);
  EXPECT_EQ(loaded.settings.history, "");
  EXPECT_EQ(loaded.settings.historyDays, 400);
  for (const WebhookSettings& hook : loaded.settings.webhooks) EXPECT_EQ(hook, WebhookSettings{});
  ASSERT_TRUE(SaveAlertSettings(path, loaded.settings).ok);
  EXPECT_EQ(ReadText(path), old);

  AlertSettings s = loaded.settings;
  s.dns = "127.0.0.1:5353,127.0.0.2";
  s.notify = true;
  s.remind = 15;
  s.statusPage = false;
  s.history = "/var/lib/varnley/history.db";
  s.historyDays = 30;
  s.webhooks[0] = {"https://hooks.example.org/a", "slack", "Authorization: Bearer x", false};
  s.webhooks[3] = {"http://127.0.0.1:8080/n", "ntfy", "", true};
  ASSERT_TRUE(SaveAlertSettings(path, s).ok);
  EXPECT_EQ(Load(path).settings, s);
  const std::string text = ReadText(path);
  EXPECT_EQ(text.rfind(old.substr(0, old.find("hostcount")), 0), 0u) << text;
  EXPECT_NE(text.find("\n[webhook1]\nurl=https://hooks.example.org/a\nformat=slack\n"
                      "header=Authorization: Bearer x\nverify=0\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("[webhook2]"), std::string::npos) << text;

  // Back to the defaults: keys the file has now say so; sections it never had stay out.
  s.notify = false;
  s.webhooks[0] = {};
  ASSERT_TRUE(SaveAlertSettings(path, s).ok);
  EXPECT_EQ(Load(path).settings, s);
  EXPECT_NE(ReadText(path).find("notify=0\n"), std::string::npos);
}

TEST(SettingsRows, OutOfRangeValuesAreReadByTheirRowsRule) {
  struct Case {
    const char* keys;
    int remind, historyDays;
    bool statusPage;
  };
  const Case cases[] = {
      {"remind=-1\nhistorydays=0\nstatuspage=0", 0, 1, false},
      {"remind=10080\nhistorydays=3650\nstatuspage=7", 10080, 3650, true},
      {"remind=10081\nhistorydays=3651", 10080, 3650, true},
      {"remind=x\nhistorydays=\nstatuspage=no", 0, 400, true},
      {"Remind = $10\nHISTORYDAYS=0x20", 16, 32, true},
  };
  for (const Case& c : cases) {
    const AlertSettings s = LoadText(std::string("[config]\n") + c.keys + "\n").settings;
    EXPECT_EQ(s.remind, c.remind) << c.keys;
    EXPECT_EQ(s.historyDays, c.historyDays) << c.keys;
    EXPECT_EQ(s.statusPage, c.statusPage) << c.keys;
  }
  const AlertSettings s = LoadText("[Webhook2]\nformat= Slack \n[webhook3]\nformat=xml\n").settings;
  EXPECT_EQ(s.webhooks[1].format, "slack");
  EXPECT_EQ(s.webhooks[2].format, "json");
}

TEST(SettingsRows, TheDialogFindsItsRangesInTheTable) {
  const SettingsKey* interval = FindSettingsKey("config", "interval");
  ASSERT_NE(interval, nullptr);
  EXPECT_EQ(interval->min, kMinInterval);
  EXPECT_EQ(interval->max, kMaxInterval);
  const SettingsKey* remind = FindSettingsKey("CONFIG", "Remind");
  ASSERT_NE(remind, nullptr);
  EXPECT_EQ(remind->max, kMaxRemind);
  ASSERT_NE(FindSettingsKey("webhook4", "format"), nullptr);
  EXPECT_EQ(FindSettingsKey("webhook4", "format")->defaultText, "json");
  ASSERT_NE(FindSettingsKey("host12", "port"), nullptr);
  EXPECT_EQ(FindSettingsKey("host12", "port")->outOfRange, OutOfRange::Drop);
  EXPECT_EQ(FindSettingsKey("webhook5", "format"), nullptr);
  EXPECT_EQ(FindSettingsKey("host0", "port"), nullptr);
  EXPECT_EQ(FindSettingsKey("config", "theme"), nullptr);
}

TEST(SettingsRows, EachDroppedRowIsNamedOnceWithItsLine) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> said;
    std::size_t hosts;
  };
  const std::string head = "[config]\nhostcount=2\n";
  const Case cases[] = {
      {"a clean file", head + "[host1]\nhost=10.0.0.1\nport=80,\n", {}, 1},
      {"an invalid address",
       head + "[host1]\nhost=999.0.0.1\nport=80,\n[host2]\nhost=10.0.0.2\n",
       {"settings line 4: host \"999.0.0.1\" is not a valid address; row dropped"},
       1},
      {"a section without a host",
       head + "[host1]\nport=80,\n",
       {"settings line 3: [host1] has no host; row dropped"},
       0},
      {"ports that are none",
       head + "[host1]\nhost=10.0.0.1\nport=0,99999,abc,22\n",
       {"settings line 5: ports \"0\", \"99999\", \"abc\" are not port numbers from 1 to 65535; "
        "they are dropped"},
       1},
      {"one port that is none",
       head + "[host1]\nhost=10.0.0.1\nport=80,-1,\n",
       {"settings line 5: port \"-1\" is not a port number from 1 to 65535; it is dropped"},
       1},
      {"a header without its bracket",
       "[config\nhostcount=1\n[host1]\nhost=10.0.0.1\n",
       {"settings line 1: \"[config\" is not a section header (no \"]\"); line ignored",
        "settings line 3: [host1] is beyond hostcount 0; not loaded (the file keeps it)"},
       0},
      {"a section beyond hostcount",
       "[config]\nhostcount=1\n[host1]\nhost=10.0.0.1\n[host2]\nhost=10.0.0.2\n",
       {"settings line 5: [host2] is beyond hostcount 1; not loaded (the file keeps it)"},
       1},
      {"a section beyond a hostcount read after it",
       "[host2]\nhost=10.0.0.2\n[host1]\nhost=10.0.0.1\n[config]\nhostcount=1\n",
       {"settings line 1: [host2] is beyond hostcount 1; not loaded (the file keeps it)"},
       1},
      {"a host with its port typed in",
       head + "[host1]\nhost=db.example.com:5432\nport=80,\n[host2]\nhost=[::1]\n",
       {"settings line 4: host \"db.example.com:5432\" is not a valid address; row dropped"},
       1},
      {"name servers that are none",
       "[config]\ndns=127.0.0.1:99999\n",
       {"settings line 2: dns \"127.0.0.1:99999\" is not a list of name servers (ADDRESS or "
        "ADDRESS:PORT, an IPv6 address in brackets, separated by commas); the system's name "
        "servers are used"},
       0},
      {"a webhook format nobody knows",
       "[webhook2]\nurl=http://127.0.0.1/\nformat=xml\n",
       {"settings line 3: format \"xml\" is not one of json/slack/ntfy; json is used"},
       0},
  };
  for (const Case& c : cases) {
    const Loaded l = LoadText(c.text);
    EXPECT_EQ(l.report.lines, c.said) << c.name;
    EXPECT_EQ(l.said, c.said) << c.name;
    EXPECT_EQ(l.hosts.size(), c.hosts) << c.name;
    EXPECT_TRUE(l.report.status.ok) << c.name;
  }
}

TEST(SettingsRows, AHostileFileSaysTheFirstFewAndCountsTheRest) {
  std::string text = "[config]\nhostcount=200\n";
  for (int i = 1; i <= 200; ++i) text += "[host" + std::to_string(i) + "]\nhost=x_y\n";
  const Loaded l = LoadText(text);
  ASSERT_EQ(l.report.lines.size(), 51u);
  EXPECT_EQ(l.report.lines.front(),
            "settings line 4: host \"x_y\" is not a valid address; row dropped");
  EXPECT_EQ(l.report.lines.back(),
            "settings: 150 more lines dropped or changed at load are not listed");
}

TEST(SettingsRows, ACutPortListIsNeverWrittenBackCut) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  std::string ports;  // 1,000 five-digit ports: 6,000 characters, far past a read
  for (int port = 10000; port < 11000; ++port) ports += std::to_string(port) + ",";
  const std::string text = "[config]\nhostcount=2\n[host1]\nhost=10.0.0.1\nport=" + ports +
                           "\n[host2]\nhost=10.0.0.2\nport=22,\n";
  WriteText(path, text);
  Loaded loaded = Load(path);
  ASSERT_EQ(loaded.hosts.size(), 2u);
  EXPECT_EQ(std::count(loaded.hosts[0].ports.begin(), loaded.hosts[0].ports.end(), ','), 341);
  EXPECT_EQ(loaded.said,
            (std::vector<std::string>{
                "settings line 5: the port list is longer than 2047 characters; only its first "
                "341 ports are monitored, and the file keeps the whole list while the row is "
                "unchanged"}));

  // The exit save of unchanged hosts keeps the file as it was, whole list and all.
  ASSERT_TRUE(SaveHosts(path, loaded.hosts, &loaded.settings).ok);
  EXPECT_EQ(ReadText(path), text);
  // Another row changed: the cut row still keeps its line.
  loaded.hosts[1].ports = "23,";
  ASSERT_TRUE(SaveHosts(path, loaded.hosts).ok);
  EXPECT_NE(ReadText(path).find("port=" + ports + "\n"), std::string::npos);
  // The cut row itself changed: what the user now holds is written.
  loaded.hosts[0].ports = "80,";
  ASSERT_TRUE(SaveHosts(path, loaded.hosts).ok);
  EXPECT_EQ(ReadText(path),
            "[config]\nhostcount=2\n[host1]\nhost=10.0.0.1\nport=80,\n[host2]\nhost=10.0.0.2\n"
            "port=23,\n");
}

TEST(SettingsRows, AHostsSaveThatFindsNoFileWritesEverySetting) {
  test::TempDir dir;
  const auto path = dir.file("s.ini");
  WriteText(path,
            "[config]\nmessage=1\ninterval=30\nparallel=8\nmetrics=127.0.0.1:9101\nremind=5\n"
            "hostcount=1\n[email]\nsmtpserver=mx\nsecurity=tls\n[webhook2]\nurl=http://a/\n"
            "[host1]\nhost=10.0.0.1\nport=80,\n");
  const Loaded before = Load(path);
  std::filesystem::remove(path);
  ASSERT_TRUE(SaveHosts(path, before.hosts, &before.settings).ok);
  const Loaded after = Load(path);
  EXPECT_EQ(after.settings, before.settings) << ReadText(path);
  EXPECT_EQ(after.hosts, before.hosts);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(SettingsRows, APathThatIsNoFileIsRefusedWithTheReason) {
  test::TempDir dir;
  const auto fifo = dir.file("fifo.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {fifo, "it is a named pipe (FIFO), not a regular file"},
      {dir.path().string(), "it is a folder, not a regular file"},
      {"/dev/null", "it is a device, not a regular file"},
  };
  for (const auto& [path, reason] : cases) {
    AlertSettings settings;
    settings.interval = 7;
    std::vector<MonitoredHost> hosts{{"10.0.0.5", "80,", ""}};
    Recorder recorder;
    const LoadReport report = LoadSettings(path, settings, hosts, recorder);
    EXPECT_FALSE(report.status.ok) << path;
    EXPECT_EQ(report.status.reason, "settings file " + path + ": " + reason);
    EXPECT_EQ(recorder.lines, std::vector<std::string>{report.status.reason});
    EXPECT_EQ(settings.interval, 7);
    EXPECT_TRUE(hosts.empty());
  }
  const Loaded missing = Load(dir.file("none.ini"));
  EXPECT_TRUE(missing.report.status.ok);
  EXPECT_TRUE(missing.report.missing);
  EXPECT_TRUE(missing.said.empty());
}

}  // namespace
}  // namespace varnley
