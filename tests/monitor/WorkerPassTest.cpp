// One pass at a time, driven by hand with a scripted probe: the walk order and the state
// changes of the port-check worker.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <utility>

#include "monitor/TPortThread.h"
#include "support/RecordingDiagnostics.h"

namespace varnley {
namespace {

struct Probed {
  std::string host;
  int port;
  bool operator==(const Probed&) const = default;
};

class WorkerPass : public ::testing::Test {
 protected:
  // Every probe is recorded; a port answers unless the test marked it closed.
  Monitor::ProbeFn probe = [this](const std::string& host, int port, const StopSource&) {
    probed.push_back({host, port});
    if (duringProbe) duringProbe();
    return !closed[host + ":" + std::to_string(port)];
  };

  HostTable hosts;
  AlertSettings settings;
  AlertQueues queues;
  std::vector<Probed> probed;
  std::map<std::string, bool> closed;
  std::function<void()> duringProbe;
};

TEST_F(WorkerPass, ProbesOnePortPerPassInTableOrderAndWraps) {
  hosts.append({"127.0.0.1", "80,443,", ""});
  hosts.append({"127.0.0.2", "22,", ""});
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});
  for (int i = 0; i < 4; ++i) worker.runPass();
  const std::vector<Probed> expected = {
      {"127.0.0.1", 80}, {"127.0.0.1", 443}, {"127.0.0.2", 22}, {"127.0.0.1", 80}};
  EXPECT_EQ(probed, expected);
}

TEST_F(WorkerPass, EntriesThatAreNoPortCostAPassWithoutAProbe) {
  hosts.append({"127.0.0.1", "0,abc,70000,,80,", ""});
  hosts.append({"127.0.0.2", "", ""});  // no ports: one pass to step over it
  hosts.append({"127.0.0.3", "22,", ""});
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});
  for (int i = 0; i < 5; ++i) worker.runPass();
  EXPECT_EQ(probed, (std::vector<Probed>{{"127.0.0.1", 80}}));
  worker.runPass();  // the empty row
  EXPECT_EQ(probed.size(), 1u);
  worker.runPass();
  EXPECT_EQ(probed.back(), (Probed{"127.0.0.3", 22}));
}

TEST_F(WorkerPass, EmptyTableProbesNothing) {
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});
  for (int i = 0; i < 3; ++i) worker.runPass();
  EXPECT_TRUE(probed.empty());
  hosts.append({"127.0.0.1", "80,", ""});  // the walk picks up a row added later
  worker.runPass();
  EXPECT_EQ(probed.size(), 1u);
}

TEST_F(WorkerPass, DownOnceWhileDownNothingThenUpOnce) {
  hosts.append({"127.0.0.1", "80,443,", ""});
  int changes = 0;
  hosts.setChangeCallback([&](std::size_t row) {
    EXPECT_EQ(row, 0u);
    ++changes;
  });
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});

  closed["127.0.0.1:443"] = true;
  for (int i = 0; i < 6; ++i) worker.runPass();  // three rounds over both ports
  EXPECT_EQ(hosts.row(0)->deactivated, "443,");
  EXPECT_EQ(queues.downEntries(), (std::vector<std::string>{"127.0.0.1:443"}));
  EXPECT_EQ(changes, 1);

  // A drained DOWN queue stays empty while the port stays down.
  queues.ClearDownQueue();
  for (int i = 0; i < 4; ++i) worker.runPass();
  EXPECT_TRUE(queues.downEntries().empty());

  closed["127.0.0.1:80"] = true;
  closed["127.0.0.1:443"] = false;
  for (int i = 0; i < 4; ++i) worker.runPass();
  EXPECT_EQ(hosts.row(0)->deactivated, "80,");
  EXPECT_EQ(queues.downEntries(), (std::vector<std::string>{"127.0.0.1:80"}));
  EXPECT_EQ(queues.upEntries(), (std::vector<std::string>{"127.0.0.1:443"}));
  EXPECT_EQ(changes, 3);

  closed["127.0.0.1:80"] = false;
  worker.runPass();
  EXPECT_EQ(hosts.row(0)->deactivated, "");
  EXPECT_EQ(queues.upEntries(), (std::vector<std::string>{"127.0.0.1:443", "127.0.0.1:80"}));
}

TEST_F(WorkerPass, QueueTextKeepsTheEntryAsStored) {
  hosts.append({"127.0.0.1", "0080,", ""});
  closed["127.0.0.1:80"] = true;
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});
  worker.runPass();
  EXPECT_EQ(probed, (std::vector<Probed>{{"127.0.0.1", 80}}));
  EXPECT_EQ(queues.downEntries(), (std::vector<std::string>{"127.0.0.1:0080"}));
  EXPECT_EQ(hosts.row(0)->deactivated, "0080,");
}

TEST_F(WorkerPass, ResultForARowEditedDuringTheProbeIsDropped) {
  hosts.append({"127.0.0.1", "80,", ""});
  closed["127.0.0.1:80"] = true;
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});
  const std::pair<std::string, std::string> edits[] = {{"127.0.0.9", "80,"},
                                                       {"127.0.0.1", "80,22,"}};
  for (const auto& edit : edits) {
    duringProbe = [&] {
      hosts.update(0, [&](MonitoredHost& row) {
        row.host = edit.first;
        row.ports = edit.second;
      });
    };
    worker.runPass();
    EXPECT_EQ(hosts.row(0)->deactivated, "") << edit.first << ' ' << edit.second;
    EXPECT_TRUE(queues.downEntries().empty()) << edit.first << ' ' << edit.second;
    hosts.update(0, [](MonitoredHost& row) { row = {"127.0.0.1", "80,", ""}; });
  }
}

TEST_F(WorkerPass, ProbeCutShortByStopChangesNothing) {
  hosts.append({"127.0.0.1", "80,", ""});
  closed["127.0.0.1:80"] = true;
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});
  duringProbe = [&] { worker.requestStop(); };
  worker.runPass();
  EXPECT_EQ(probed.size(), 1u);
  EXPECT_EQ(hosts.row(0)->deactivated, "");
  EXPECT_TRUE(queues.downEntries().empty());
  // Nothing that counts was probed, so the port is still ahead in the round.
  EXPECT_EQ(worker.place().entry, "80");
  EXPECT_EQ(worker.currentRow(), 0u);
}

TEST_F(WorkerPass, ANewWorkerGoesOnWhereTheLastLeftTheRoundByHostAndPort) {
  struct Case {
    const char* what;
    std::vector<MonitoredHost> after;  // the table the next worker finds
    Probed next;
  };
  const std::vector<MonitoredHost> before = {{"127.0.0.1", "80,443,8080,", ""},
                                             {"127.0.0.2", "22,", ""}};
  const Case cases[] = {
      {"unchanged", before, {"127.0.0.1", 8080}},
      {"a row added in front",
       {{"127.0.0.7", "1,", ""}, before[0], before[1]},
       {"127.0.0.1", 8080}},
      {"ports reordered", {{"127.0.0.1", "8080,80,443,", ""}, before[1]}, {"127.0.0.1", 8080}},
      {"the port removed: the same spot of the row",
       {{"127.0.0.1", "80,443,8443,", ""}, before[1]},
       {"127.0.0.1", 8443}},
      {"the host removed: the same row",
       {{"127.0.0.3", "1,2,3,", ""}, before[1]},
       {"127.0.0.3", 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    hosts.replaceAll(before);
    probed.clear();
    TPortThread first(hosts, settings, queues, probe, TPortThread::NoThread{});
    first.runPass();
    first.runPass();
    const RoundPlace place = first.place();
    EXPECT_EQ(place.host, "127.0.0.1");
    EXPECT_EQ(place.entry, "8080");
    hosts.replaceAll(c.after);
    TPortThread next(hosts, settings, queues, probe, TPortThread::NoThread{});
    next.resumeAt(place);
    next.runPass();
    ASSERT_EQ(probed.size(), 3u);
    EXPECT_EQ(probed.back(), c.next);
  }
}

TEST_F(WorkerPass, AThrowingProbeEndsOnlyThatPass) {
  hosts.append({"127.0.0.1", "80,443,", ""});
  bool fail = true;
  duringProbe = [&] {
    if (std::exchange(fail, false)) throw std::runtime_error("probe failed");
  };
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});
  test::RecordingDiagnostics diagnostics;
  worker.setDiagnostics(diagnostics);
  worker.runPass();
  worker.runPass();
  EXPECT_EQ(probed, (std::vector<Probed>{{"127.0.0.1", 80}, {"127.0.0.1", 443}}));
  ASSERT_EQ(diagnostics.reports().size(), 1u);
  EXPECT_EQ(diagnostics.reports()[0].first, Severity::Error);
  EXPECT_NE(diagnostics.reports()[0].second.find("probe failed"), std::string::npos);
}

TEST_F(WorkerPass, AFailureThatRepeatsEveryPassIsSaidOncePerKind) {
  hosts.append({"127.0.0.1", "80,443,", ""});
  std::string failure = "table locked";
  duringProbe = [&] { throw std::runtime_error(failure); };
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});
  test::RecordingDiagnostics diagnostics;
  worker.setDiagnostics(diagnostics);
  for (int i = 0; i < 5; ++i) worker.runPass();
  failure = "out of sockets";
  for (int i = 0; i < 5; ++i) worker.runPass();
  duringProbe = [] { throw 42; };  // not even an exception class
  for (int i = 0; i < 5; ++i) worker.runPass();
  const auto reports = diagnostics.reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_NE(reports[0].second.find("table locked"), std::string::npos) << reports[0].second;
  EXPECT_NE(reports[1].second.find("out of sockets"), std::string::npos) << reports[1].second;
  EXPECT_NE(reports[2].second.find("unknown failure"), std::string::npos) << reports[2].second;
  EXPECT_EQ(probed.size(), 15u);  // every pass still probed
}

TEST_F(WorkerPass, ATableThatShrankWrapsToTheFirstRow) {
  hosts.append({"127.0.0.1", "80,", ""});
  hosts.append({"127.0.0.2", "80,", ""});
  hosts.append({"127.0.0.3", "80,", ""});
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});
  worker.runPass();
  worker.runPass();
  hosts.remove(2);
  hosts.remove(1);
  worker.runPass();
  EXPECT_EQ(probed.back(), (Probed{"127.0.0.1", 80}));
}

// Parallel passes get a batch probe over the same scripted ports; each call's targets are
// recorded as one batch.
class ParallelPass : public WorkerPass {
 protected:
  Monitor::BatchProbeFn batch = [this](const std::vector<PortTarget>& targets,
                                       const StopSource& stop) {
    batches.emplace_back();
    std::vector<PortAnswer> answers;
    for (const PortTarget& t : targets) {
      batches.back().push_back({t.host, t.port});
      answers.push_back({probe(t.host, t.port, stop), {}});
    }
    return answers;
  };
  std::vector<std::vector<Probed>> batches;
};

TEST_F(ParallelPass, TakesTheNextPortsInTableOrderOnce) {
  hosts.append({"127.0.0.1", "80,443,", ""});
  hosts.append({"127.0.0.2", "", ""});  // a step without a probe, as in a single-port pass
  hosts.append({"127.0.0.3", "22,abc,25,", ""});
  settings.parallel = 3;
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{}, batch);
  worker.runPass();
  worker.runPass();
  worker.runPass();
  const std::vector<std::vector<Probed>> expected = {
      {{"127.0.0.1", 80}, {"127.0.0.1", 443}},
      {{"127.0.0.3", 22}, {"127.0.0.3", 25}},  // "abc" costs its step
      {{"127.0.0.1", 80}, {"127.0.0.1", 443}},
  };
  EXPECT_EQ(batches, expected);

  // More ports per pass than the table holds: each port once, from where the walk stands.
  settings.parallel = 100;
  batches.clear();
  worker.runPass();
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0],
            (std::vector<Probed>{
                {"127.0.0.3", 22}, {"127.0.0.3", 25}, {"127.0.0.1", 80}, {"127.0.0.1", 443}}));
}

TEST_F(ParallelPass, ReportsChangesInTableOrderAndRetriesOnlyTheRefused) {
  hosts.append({"127.0.0.1", "80,443,22,", ""});
  hosts.append({"127.0.0.2", "80,", ""});
  for (const char* down : {"127.0.0.1:443", "127.0.0.1:22", "127.0.0.2:80"}) closed[down] = true;
  settings.parallel = 4;
  settings.retries = 1;
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{}, batch);
  worker.runPass();
  // The retry probes only the refused ports, together.
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[1],
            (std::vector<Probed>{{"127.0.0.1", 443}, {"127.0.0.1", 22}, {"127.0.0.2", 80}}));
  EXPECT_EQ(queues.downEntries(),
            (std::vector<std::string>{"127.0.0.1:443", "127.0.0.1:22", "127.0.0.2:80"}));
  EXPECT_EQ(hosts.row(0)->deactivated, "443,22,");
  EXPECT_EQ(hosts.row(1)->deactivated, "80,");

  // Ports already down are not retried; those that answer come back UP in table order.
  closed.clear();
  batches.clear();
  worker.runPass();
  EXPECT_EQ(batches.size(), 1u);
  EXPECT_EQ(queues.upEntries(),
            (std::vector<std::string>{"127.0.0.1:443", "127.0.0.1:22", "127.0.0.2:80"}));
}

TEST_F(WorkerPass, RetriesConfirmOnlyTheWayIntoDown) {
  using Clock = std::chrono::steady_clock;
  hosts.append({"127.0.0.1", "80,", ""});
  settings.retries = 3;
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{});

  // Refused once, then accepted at the first retry: the port never went down.
  closed["127.0.0.1:80"] = true;
  duringProbe = [&] { closed["127.0.0.1:80"] = probed.size() < 2; };
  worker.runPass();
  EXPECT_EQ(probed.size(), 2u);
  EXPECT_EQ(hosts.row(0)->deactivated, "");
  EXPECT_TRUE(queues.downEntries().empty());

  // Refused every time: DOWN after the first probe and three more, the first at once and the
  // others a second apart.
  probed.clear();
  std::vector<Clock::time_point> times;
  duringProbe = [&] {
    closed["127.0.0.1:80"] = true;
    times.push_back(Clock::now());
  };
  worker.runPass();
  ASSERT_EQ(probed.size(), 4u);
  EXPECT_LT(times[1] - times[0], std::chrono::milliseconds(500));
  for (std::size_t i = 2; i < times.size(); ++i)
    EXPECT_GE(times[i] - times[i - 1], TPortThread::kRetryPause) << i;
  EXPECT_EQ(hosts.row(0)->deactivated, "80,");
  EXPECT_EQ(queues.downEntries(), (std::vector<std::string>{"127.0.0.1:80"}));

  // A port already down is probed once a pass, and one success brings it back.
  probed.clear();
  duringProbe = nullptr;
  worker.runPass();
  EXPECT_EQ(probed.size(), 1u);
  closed["127.0.0.1:80"] = false;
  worker.runPass();
  EXPECT_EQ(probed.size(), 2u);
  EXPECT_EQ(hosts.row(0)->deactivated, "");
  EXPECT_EQ(queues.upEntries(), (std::vector<std::string>{"127.0.0.1:80"}));
}

// What the batch says of a port (why it is down, the address it tried) reaches the table's
// port states and the published results; an IPv6 host is bracketed in the alert text.
TEST_F(WorkerPass, ABatchAnswerKeepsItsReasonAndAddressAndBracketsIPv6) {
  hosts.append({"::1", "8080,", ""});
  hosts.append({"db.test", "5432,80,", ""});
  Monitor::BatchProbeFn batch = [](const std::vector<PortTarget>& targets, const StopSource&) {
    std::vector<PortAnswer> answers;
    for (const PortTarget& t : targets) {
      if (t.host == "::1")
        answers.push_back({false, std::chrono::milliseconds(1), "refused", "::1", false});
      else if (t.port == 80)
        answers.push_back({true, std::chrono::milliseconds(1), "", "127.0.0.5", false});
      else
        answers.push_back({false, {}, "no such name", "", true});
    }
    return answers;
  };
  ProbeResults results;
  std::vector<PortResult> seen;
  results.Subscribe([&](const std::vector<PortResult>& r) { seen = r; });
  settings.parallel = 3;
  TPortThread worker(hosts, settings, queues, probe, TPortThread::NoThread{}, batch,
                     kMaxParallel, &results);
  worker.runPass();
  EXPECT_EQ(queues.downEntries(),
            (std::vector<std::string>{"[::1]:8080", "db.test:5432"}));
  EXPECT_EQ(hosts.portStates(0), (std::vector<PortState>{{"8080", "refused", "::1"}}));
  EXPECT_EQ(hosts.portStates(1), (std::vector<PortState>{{"5432", "no such name", ""},
                                                         {"80", "", "127.0.0.5"}}));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].reason, "no such name");
  EXPECT_TRUE(seen[1].unresolved);
  EXPECT_EQ(seen[2].address, "127.0.0.5");
  EXPECT_FALSE(seen[2].unresolved);
}

}  // namespace
}  // namespace varnley
