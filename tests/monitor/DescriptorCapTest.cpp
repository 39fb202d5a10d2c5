// A process with few descriptors: probes wait for room instead of failing, and the monitor
// caps the ports per pass and says so. Its own program, since it lowers the limit for good.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "monitor/Monitor.h"
#include "monitor/Probe.h"
#include "platform/TcpProbe.h"
#include "support/LoopbackPeers.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

constexpr rlim_t kLimit = 200;

class DescriptorCap : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const rlimit limit{kLimit, kLimit};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
};

TEST_F(DescriptorCap, ABatchLargerThanTheLimitAnswersEveryTarget) {
  test::AcceptingListener open("127.0.0.1", SOMAXCONN);
  test::RefusingPort refused;
  std::vector<PortTarget> targets;
  for (int i = 0; i < 600; ++i)
    targets.push_back({"127.0.0.1", i % 2 ? open.port() : refused.port()});
  const std::vector<PortAnswer> answers = CheckPorts(targets, nullptr, std::chrono::seconds(5));
  for (std::size_t i = 0; i < answers.size(); ++i) ASSERT_EQ(answers[i].open, i % 2 == 1) << i;
}

TEST_F(DescriptorCap, MonitorCapsPortsPerPassAndSaysSo) {
  test::RefusingPort refused;
  HostTable hosts;
  AlertSettings settings;
  settings.parallel = 1000;
  AlertQueues queues;
  std::vector<MonitoredHost> rows;
  for (int i = 0; i < 300; ++i)
    rows.push_back({"127.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1),
                    std::to_string(refused.port()) + ",", ""});
  hosts.replaceAll(rows);
  std::size_t largest = 0;
  Monitor monitor(hosts, settings, queues);
  monitor.SetBatchProbe([&](const std::vector<PortTarget>& targets, const StopSource& stop) {
    largest = std::max(largest, targets.size());
    return CheckPorts(targets, &stop, std::chrono::seconds(5));
  });
  ::testing::internal::CaptureStderr();
  monitor.Start();
  const std::string said = ::testing::internal::GetCapturedStderr();
  const std::string prefix = "1000 ports per pass do not fit the open-file limit; probing ";
  const auto at = said.find(prefix);
  ASSERT_NE(at, std::string::npos) << said;
  const std::size_t budget = std::stoul(said.substr(at + prefix.size()));
  EXPECT_LT(budget, kLimit);
  EXPECT_GE(budget, kLimit / 2);  // the margin leaves most of the limit to the probes
  // Every row is probed and found down, in slices no larger than the budget.
  ASSERT_TRUE(test::WaitFor([&] { return hosts.row(299)->deactivated != ""; }));
  monitor.Stop();
  EXPECT_LE(largest, budget);
  for (const MonitoredHost& row : hosts.snapshot())
    ASSERT_EQ(row.deactivated, std::to_string(refused.port()) + ",") << row.host;
}

}  // namespace
}  // namespace varnley
