// The worker on its own thread: the interval sleep and a probe that never returns by itself
// both end promptly on a stop request.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "monitor/Probe.h"
#include "monitor/TPortThread.h"
#include "platform/TcpProbe.h"
#include "support/HangingListener.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits, like a connect to a silent host, until the stop request arrives.
bool waitForStop(const StopSource& stop) {
  pollfd fd{stop.wakeDescriptor(), POLLIN, 0};
  while (!stop.stopRequested()) ::poll(&fd, 1, 1000);
  return false;
}

struct Fixture {
  HostTable hosts;
  AlertSettings settings;
  AlertQueues queues;
  std::atomic<int> probes{0};
};

// A stop request ends the worker within a second, and the wait it cut short changed nothing.
void StopPromptlyLeavingNoChange(TPortThread& worker, Fixture& f) {
  const auto start = Clock::now();
  worker.requestStop();
  worker.join();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(f.hosts.row(0)->deactivated, "");
  EXPECT_TRUE(f.queues.downEntries().empty());
}

TEST(WorkerThread, StopDuringALongIntervalReturnsWithinASecond) {
  Fixture f;
  f.settings.interval = 3600;
  f.hosts.append({"127.0.0.1", "80,", ""});
  TPortThread worker(f.hosts, f.settings, f.queues,
                     [&](const std::string&, int, const StopSource&) {
                       ++f.probes;
                       return false;
                     });
  ASSERT_TRUE(test::WaitFor([&] { return f.hosts.row(0)->deactivated == "80,"; }));
  const auto start = Clock::now();
  worker.requestStop();
  worker.join();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(f.probes.load(), 1);  // one pass, then the hour-long sleep
  EXPECT_EQ(f.queues.downEntries(), (std::vector<std::string>{"127.0.0.1:80"}));
}

TEST(WorkerThread, StopDuringAHangingProbeReturnsWithinASecondAndQueuesNothing) {
  Fixture f;
  f.hosts.append({"127.0.0.1", "80,", ""});
  TPortThread worker(f.hosts, f.settings, f.queues,
                     [&](const std::string&, int, const StopSource& stop) {
                       ++f.probes;
                       return waitForStop(stop);
                     });
  ASSERT_TRUE(test::WaitFor([&] { return f.probes.load() == 1; }));
  StopPromptlyLeavingNoChange(worker, f);
}

TEST(WorkerThread, StopDuringARetryPauseReturnsWithinASecondAndQueuesNothing) {
  Fixture f;
  f.settings.retries = 10;
  f.hosts.append({"127.0.0.1", "80,", ""});
  TPortThread worker(f.hosts, f.settings, f.queues,
                     [&](const std::string&, int, const StopSource&) {
                       ++f.probes;
                       return false;
                     });
  // The first probe and the first retry come at once; the pause follows.
  ASSERT_TRUE(test::WaitFor([&] { return f.probes.load() == 2; }));
  // A confirmation cut short says nothing about the port.
  StopPromptlyLeavingNoChange(worker, f);
  EXPECT_LE(f.probes.load(), 3);
}

TEST(WorkerThread, StopWithAThousandConnectsPendingReturnsWithinASecond) {
  constexpr int kPending = 1000;
  if (ProbeDescriptorBudget() < kPending + 16) GTEST_SKIP() << "open-file limit too low";
  test::HangingListener hanging;
  Fixture f;
  f.settings.parallel = kPending;
  std::vector<MonitoredHost> rows;
  for (int i = 0; i < kPending; ++i)
    rows.push_back({"127.0.0.1", std::to_string(hanging.port()) + ",", ""});
  f.hosts.replaceAll(rows);
  std::atomic<std::size_t> pending{0};
  TPortThread worker(f.hosts, f.settings, f.queues, nullptr,
                     [&](const std::vector<PortTarget>& targets, const StopSource& stop) {
                       pending = targets.size();
                       return CheckPorts(targets, &stop, std::chrono::hours(1));
                     });
  ASSERT_TRUE(test::WaitFor([&] { return pending.load() == kPending; }));
  StopPromptlyLeavingNoChange(worker, f);
}

TEST(WorkerThread, NoChangeIsLostToABusyQueue) {
  // A dispatcher that drains the DOWN queue without pause holds its flag much of the time;
  // every change of a large pass must still arrive, once and in table order.
  constexpr std::size_t kPorts = 2000;
  Fixture f;
  f.settings.parallel = static_cast<int>(kPorts);
  f.settings.interval = 3600;
  std::vector<MonitoredHost> rows;
  for (std::size_t i = 0; i < kPorts; ++i)
    rows.push_back({"10.0.0.5", std::to_string(i + 1) + ",", ""});
  f.hosts.replaceAll(rows);
  std::atomic<bool> draining{true};
  std::atomic<std::size_t> count{0};
  std::vector<std::string> drained;  // the dispatcher's until it is joined
  std::thread dispatcher([&] {
    std::vector<std::string> batch;
    while (draining.load()) {
      if (!f.queues.DrainDown(batch)) continue;
      drained.insert(drained.end(), batch.begin(), batch.end());
      count += batch.size();
    }
  });
  TPortThread worker(f.hosts, f.settings, f.queues,
                     [](const std::string&, int, const StopSource&) { return false; });
  const bool all = test::WaitFor([&] { return count.load() >= kPorts; });
  worker.requestStop();
  worker.join();
  draining = false;
  dispatcher.join();
  ASSERT_TRUE(all) << count.load() << " of " << kPorts;
  ASSERT_EQ(drained.size(), kPorts);
  for (std::size_t i = 0; i < kPorts; ++i)
    ASSERT_EQ(drained[i], "10.0.0.5:" + std::to_string(i + 1));
}

}  // namespace
}  // namespace varnley
