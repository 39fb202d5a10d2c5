// The worker on its own thread: the interval sleep and a probe that never returns by itself
// both end promptly on a stop request.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>

#include "monitor/TPortThread.h"
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
  const auto start = Clock::now();
  worker.requestStop();
  worker.join();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(f.hosts.row(0)->deactivated, "");
  EXPECT_TRUE(f.queues.downEntries().empty());
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
  const auto start = Clock::now();
  worker.requestStop();
  worker.join();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_LE(f.probes.load(), 3);
  // A confirmation cut short says nothing about the port.
  EXPECT_EQ(f.hosts.row(0)->deactivated, "");
  EXPECT_TRUE(f.queues.downEntries().empty());
}

}  // namespace
}  // namespace varnley
