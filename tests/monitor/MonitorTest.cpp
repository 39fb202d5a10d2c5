// Start, stop and the dispatch tick, with the real probe on loopback and with the seam.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "monitor/Monitor.h"
#include "monitor/Probe.h"
#include "monitor/TPortThread.h"
#include "platform/StopSource.h"
#include "support/HangingListener.h"
#include "support/LoopbackPeers.h"
#include "support/RecordingDiagnostics.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Entries = std::vector<std::string>;

struct Engine {
  HostTable hosts;
  AlertSettings settings;
  AlertQueues queues;
  Monitor monitor{hosts, settings, queues};
};

TEST(MonitorTick, BuildsTheTextsAndRoutesThemBySettings) {
  struct Case {
    bool show, email;
    Entries down, up;
    DispatchTexts shown;
    Entries mailed;
  };
  const std::string twoDown = "\"10.0.0.5:80,10.0.0.5:443\" is DOWN.";
  const std::string oneUp = "\"10.0.0.5:22\" is UP.";
  const Case cases[] = {
      {true, false, {"10.0.0.5:80", "10.0.0.5:443"}, {"10.0.0.5:22"}, {twoDown, oneUp}, {}},
      {false, true, {"10.0.0.5:80", "10.0.0.5:443"}, {"10.0.0.5:22"}, {}, {twoDown, oneUp}},
      {true, true, {"10.0.0.5:80", "10.0.0.5:443"}, {}, {twoDown, ""}, {twoDown}},
      {true, true, {}, {"10.0.0.5:22"}, {"", oneUp}, {oneUp}},
      {false, false, {"10.0.0.5:80"}, {"10.0.0.5:22"}, {}, {}},
      {true, true, {}, {}, {}, {}},
  };
  for (const auto& c : cases) {
    Engine e;
    e.settings.showMessage = c.show;
    e.settings.sendEmail = c.email;
    for (const auto& t : c.down) e.queues.AddDownEntry(t);
    for (const auto& t : c.up) e.queues.AddUpEntry(t);
    Entries heard;
    e.monitor.SetAlertHook([&](std::string_view channel, const std::string& text) {
      heard.push_back(std::string(channel) + ' ' + text);
    });
    const DispatchTexts shown = e.monitor.Tick();
    SCOPED_TRACE(::testing::Message() << "show " << c.show << " email " << c.email);
    EXPECT_EQ(shown.down, c.shown.down);
    EXPECT_EQ(shown.up, c.shown.up);
    EXPECT_EQ(e.queues.emailEntries(), c.mailed);
    // The hook hears what went to the mail queue, and a box only when the window says so.
    Entries mailed;
    for (const auto& text : c.mailed) mailed.push_back("mail " + text);
    EXPECT_EQ(heard, mailed);
    if (!shown.down.empty()) e.monitor.BoxShown(shown.down);
    if (!shown.down.empty()) mailed.push_back("box " + shown.down);
    EXPECT_EQ(heard, mailed);
    // Whatever the settings, a tick takes what it found.
    EXPECT_TRUE(e.queues.downEntries().empty());
    EXPECT_TRUE(e.queues.upEntries().empty());
  }
}

// The worker's side of a change: add, and once more after a pause if the queue was busy.
bool addLikeTheWorker(AlertQueues& q, const std::string& text) {
  if (q.AddDownEntry(text)) return true;
  std::this_thread::sleep_for(1ms);
  return q.AddDownEntry(text);
}

TEST(MonitorTick, ManyProducersAgainstTheTickLoseAndDoubleNothing) {
  Engine e;
  e.settings.showMessage = true;
  constexpr int kProducers = 4, kEach = 500;
  std::atomic<int> running{kProducers};
  std::atomic<int> dropped{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i)
        if (!addLikeTheWorker(e.queues,
                              "127.0.0." + std::to_string(p + 1) + ":" + std::to_string(i + 1)))
          ++dropped;
      --running;
    });
  }
  std::multiset<std::string> seen;
  const std::string suffix = "\" is DOWN.";
  auto collect = [&] {
    const std::string text = e.monitor.Tick().down;
    if (text.empty()) return;
    ASSERT_EQ(text.front(), '"');
    ASSERT_EQ(text.substr(text.size() - suffix.size()), suffix);
    const std::string list = text.substr(1, text.size() - 1 - suffix.size());
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = list.find(',', start);
      seen.insert(list.substr(start, comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  };
  while (running.load() > 0) collect();
  for (auto& t : producers) t.join();
  collect();
  EXPECT_EQ(seen.size() + dropped.load(), static_cast<std::size_t>(kProducers * kEach));
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), seen.size());
}

TEST(Monitor, StartClearsTheStateAndStopKeepsTheDeactivatedPorts) {
  Engine e;
  e.settings.interval = 3600;
  e.monitor.SetProbe([](const std::string&, int, const StopSource&) { return false; });
  e.hosts.append({"127.0.0.1", "80,", "443,"});
  e.queues.AddDownEntry("stale:1");
  e.queues.AddEmailEntry("stale mail");
  EXPECT_FALSE(e.monitor.Running());

  e.monitor.Start();
  EXPECT_TRUE(e.monitor.Running());
  EXPECT_TRUE(e.queues.emailEntries().empty());
  ASSERT_TRUE(test::WaitFor([&] { return !e.queues.downEntries().empty(); }));
  EXPECT_EQ(e.queues.downEntries(), (Entries{"127.0.0.1:80"}));  // the stale entry went first
  EXPECT_EQ(e.hosts.row(0)->deactivated, "80,");                 // and so did "443,"
  e.monitor.Start();  // already running: no second worker, no reset
  EXPECT_EQ(e.hosts.row(0)->deactivated, "80,");

  e.monitor.Stop();
  EXPECT_FALSE(e.monitor.Running());
  EXPECT_TRUE(e.queues.downEntries().empty());
  EXPECT_EQ(e.hosts.row(0)->deactivated, "80,");
  e.monitor.Stop();  // not running: nothing to do
}

TEST(Monitor, ReloadsHoweverFrequentLeaveNoPortOfTheRoundUnprobed) {
  // Twenty ports on two hosts; each suspend and resume stands for a reload of the settings.
  // With an hour's interval, a resumed worker probes once at its start and then waits, so
  // every probe here follows one reload.
  Engine e;
  e.settings.interval = 3600;
  std::mutex mutex;
  std::vector<std::string> probed;
  e.monitor.SetProbe([&](const std::string& host, int port, const StopSource&) {
    const std::lock_guard lock(mutex);
    probed.push_back(host + ":" + std::to_string(port));
    return false;
  });
  std::vector<MonitoredHost> rows = {{"127.0.0.1", "", ""}, {"127.0.0.2", "", ""}};
  Entries expected;
  for (int port = 1; port <= 20; ++port) {
    MonitoredHost& row = rows[port <= 10 ? 0 : 1];
    row.ports += std::to_string(port) + ",";
    expected.push_back(row.host + ":" + std::to_string(port));
  }
  e.hosts.replaceAll(rows);
  const auto probes = [&] {
    const std::lock_guard lock(mutex);
    return probed.size();
  };
  e.monitor.Start();
  ASSERT_TRUE(test::WaitFor([&] { return probes() == 1; }));
  for (std::size_t reload = 1; reload < 20; ++reload) {
    e.monitor.Suspend();
    // A reload that adds a host in front: the round goes on by host and port, not by row.
    if (reload == 5) rows.insert(rows.begin(), {"127.0.0.9", "99,", ""});
    e.hosts.replaceAll(rows);
    e.monitor.Resume();
    ASSERT_TRUE(test::WaitFor([&] { return probes() == reload + 1; })) << reload;
  }
  // Past the round's end, it wraps to the first row as the table now has it.
  e.monitor.Suspend();
  e.monitor.Resume();
  ASSERT_TRUE(test::WaitFor([&] { return probes() == 21; }));
  e.monitor.Stop();
  expected.push_back("127.0.0.9:99");
  const std::lock_guard lock(mutex);
  EXPECT_EQ(probed, expected);
}

class FakeSender : public Worker {
 public:
  explicit FakeSender(std::vector<std::string>& log) : log_(log) { log_.push_back("made"); }
  void requestStop() override { log_.push_back("stop"); }
  void join() override { log_.push_back("join"); }

 private:
  std::vector<std::string>& log_;
};

TEST(Monitor, TheEmailSenderRunsOnlyWhenAFactoryIsSet) {
  Engine e;
  e.monitor.SetProbe([](const std::string&, int, const StopSource&) { return true; });
  e.monitor.Start();  // no factory: no sender, and nothing fails
  e.monitor.Stop();

  std::vector<std::string> log;
  const AlertSettings* seenSettings = nullptr;
  e.monitor.SetEmailWorkerFactory([&](AlertQueues& q, const AlertSettings& s) {
    EXPECT_EQ(&q, &e.queues);
    seenSettings = &s;
    return std::make_unique<FakeSender>(log);
  });
  e.monitor.Start();
  EXPECT_EQ(seenSettings, &e.settings);
  e.monitor.Stop();
  EXPECT_EQ(log, (Entries{"made", "stop", "join"}));

  // A sender that cannot be made leaves the port watch running, and stoppable, and is said:
  // mail that stops without a word is a failure nobody hears.
  test::RecordingDiagnostics diagnostics;
  e.monitor.SetDiagnostics(diagnostics);
  e.monitor.SetEmailWorkerFactory(
      [](AlertQueues&, const AlertSettings&) -> std::unique_ptr<Worker> {
        throw std::runtime_error("no sender");
      });
  e.monitor.Start();
  EXPECT_TRUE(e.monitor.Running());
  e.monitor.Stop();
  EXPECT_FALSE(e.monitor.Running());
  const auto reports = diagnostics.reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].first, Severity::Error);
  EXPECT_NE(reports[0].second.find("alert mail is off"), std::string::npos) << reports[0].second;
  EXPECT_NE(reports[0].second.find("no sender"), std::string::npos) << reports[0].second;
}

TEST(Monitor, RealProbeFindsTheClosedLoopbackPortAndNotTheOpenOne) {
  test::AcceptingListener open;
  test::RefusingPort closed;
  Engine e;
  e.settings.showMessage = true;
  e.hosts.append(
      {"127.0.0.1", std::to_string(open.port()) + "," + std::to_string(closed.port()) + ",", ""});
  e.monitor.Start();
  const std::string entry = "127.0.0.1:" + std::to_string(closed.port());
  std::string shown;
  ASSERT_TRUE(test::WaitFor([&] {
    shown += e.monitor.Tick().down;
    return !shown.empty();
  }));
  EXPECT_EQ(shown, "\"" + entry + "\" is DOWN.");
  EXPECT_EQ(e.hosts.row(0)->deactivated, std::to_string(closed.port()) + ",");
  e.monitor.Stop();
}

TEST(Monitor, StopDuringAHangingConnectReturnsWithinASecond) {
  test::HangingListener hanging;
  Engine e;
  std::atomic<int> probes{0};
  e.monitor.SetProbe([&](const std::string& host, int port, const StopSource& stop) {
    ++probes;
    return CheckPort(host, port, &stop);
  });
  e.hosts.append({"127.0.0.1", std::to_string(hanging.port()) + ",", ""});
  e.monitor.Start();
  ASSERT_TRUE(test::WaitFor([&] { return probes.load() == 1; }));
  const auto start = Clock::now();
  e.monitor.Stop();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(e.hosts.row(0)->deactivated, "");  // a cut-short probe says nothing
  EXPECT_EQ(e.monitor.Tick().down, "");
}

TEST(Monitor, HangingConnectIsDownWithinItsTimeout) {
  test::HangingListener hanging;
  Engine e;
  e.settings.timeout = 2;
  e.settings.showMessage = true;
  e.hosts.append({"127.0.0.1", std::to_string(hanging.port()) + ",", ""});
  const auto start = Clock::now();
  e.monitor.Start();
  std::string shown;
  ASSERT_TRUE(test::WaitFor(
      [&] {
        shown += e.monitor.Tick().down;
        return !shown.empty();
      },
      5s));
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 1900ms);
  EXPECT_LT(took, 3s + std::chrono::seconds(e.settings.interval));
  EXPECT_EQ(shown, "\"127.0.0.1:" + std::to_string(hanging.port()) + "\" is DOWN.");
  e.monitor.Stop();
}

TEST(Monitor, ParallelRoundFindsTheRightPortsAndReportsThemInTableOrder) {
  // 200 ports in 20 rows: half refuse, half accept, and three hang; 50 per pass.
  std::vector<std::unique_ptr<test::RefusingPort>> refusing;
  std::vector<std::unique_ptr<test::AcceptingListener>> accepting;
  std::vector<std::unique_ptr<test::HangingListener>> hanging;
  for (int i = 0; i < 5; ++i) accepting.push_back(std::make_unique<test::AcceptingListener>());
  Engine e;
  e.settings.parallel = 50;
  std::vector<MonitoredHost> rows;
  std::vector<std::string> expectedDown;
  std::vector<std::string> expectedDeactivated;
  for (int r = 0; r < 20; ++r) {
    MonitoredHost row{"127.0.0.1", "", ""};
    std::string deactivated;
    for (int k = 0; k < 10; ++k) {
      std::uint16_t port;
      bool down = true;
      if (k % 2 == 0) {
        refusing.push_back(std::make_unique<test::RefusingPort>());
        port = refusing.back()->port();
      } else if (r < 3 && k == 1) {  // in the first pass, so only it waits for the timeout
        hanging.push_back(std::make_unique<test::HangingListener>());
        port = hanging.back()->port();
      } else {
        port = accepting[static_cast<std::size_t>(k / 2)]->port();
        down = false;
      }
      row.ports += std::to_string(port) + ",";
      if (down) {
        deactivated += std::to_string(port) + ",";
        expectedDown.push_back("127.0.0.1:" + std::to_string(port));
      }
    }
    rows.push_back(row);
    expectedDeactivated.push_back(deactivated);
  }
  e.hosts.replaceAll(rows);
  std::vector<std::size_t> batchSizes;
  TPortThread worker(e.hosts, e.settings, e.queues, nullptr, TPortThread::NoThread{},
                     [&](const std::vector<PortTarget>& targets, const StopSource& stop) {
                       batchSizes.push_back(targets.size());
                       return CheckPorts(targets, &stop, 500ms);
                     });
  const auto start = Clock::now();
  for (int pass = 0; pass < 4; ++pass) worker.runPass();
  EXPECT_LT(Clock::now() - start, 2s);  // one timeout, not one per hanging port
  EXPECT_EQ(batchSizes, (std::vector<std::size_t>{50, 50, 50, 50}));
  for (std::size_t r = 0; r < rows.size(); ++r)
    EXPECT_EQ(e.hosts.row(r)->deactivated, expectedDeactivated[r]) << r;
  EXPECT_EQ(e.queues.downEntries(), expectedDown);
}

TEST(Monitor, StopDuringAnHourLongIntervalReturnsWithinASecond) {
  test::RefusingPort closed;
  Engine e;
  e.settings.interval = 3600;
  e.hosts.append({"127.0.0.1", std::to_string(closed.port()) + ",", ""});
  e.monitor.Start();
  ASSERT_TRUE(test::WaitFor([&] { return !e.hosts.row(0)->deactivated.empty(); }));
  const auto start = Clock::now();
  e.monitor.Stop();
  EXPECT_LT(Clock::now() - start, 1s);
}

}  // namespace
}  // namespace varnley
