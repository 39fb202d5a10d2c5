// Many probes at once: answers in order, the timeout per connect, and a stop that ends a batch
// with a thousand connects pending.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "monitor/Probe.h"
#include "platform/StopSource.h"
#include "platform/TcpProbe.h"
#include "support/HangingListener.h"
#include "support/LoopbackPeers.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(ProbeBatch, AnswersEachTargetInOrder) {
  test::AcceptingListener open;
  test::RefusingPort refused;
  test::HangingListener hanging;
  const std::vector<PortTarget> targets = {
      {"127.0.0.1", open.port()},         {"127.0.0.1", refused.port()},
      {"127.0.0.1", hanging.port()},      {"127.0.0.1", 0},
      {"127.0.0.1", open.port() + 65536}, {"127.0.1", open.port()},
      {"127.000.000.001", open.port()},   {"127.0.0.1", refused.port()},
      {"127.0.0.1", open.port()},
  };
  StopSource stop;
  const auto start = Clock::now();
  const std::vector<PortAnswer> answers = CheckPorts(targets, &stop, 500ms);
  const auto took = Clock::now() - start;
  ASSERT_EQ(answers.size(), targets.size());
  const bool expected[] = {true, false, false, false, false, false, true, false, true};
  for (std::size_t i = 0; i < targets.size(); ++i) EXPECT_EQ(answers[i].open, expected[i]) << i;
  // The hanging connect ran out of time; the others answered long before it, and the targets
  // that never reached the network took no time at all.
  EXPECT_GE(answers[2].duration, 490ms);
  EXPECT_LT(took, 1500ms);
  EXPECT_LT(answers[0].duration, 400ms);
  EXPECT_LT(answers[1].duration, 400ms);
  EXPECT_EQ(answers[3].duration, 0ns);
  EXPECT_EQ(answers[5].duration, 0ns);
  EXPECT_TRUE(CheckPorts({}, &stop, 0ms).empty());
}

TEST(ProbeBatch, StopEndsAThousandPendingConnectsWithinASecond) {
  constexpr std::size_t kPending = 1000;
  if (ProbeDescriptorBudget() < kPending + 16) GTEST_SKIP() << "open-file limit too low";
  test::HangingListener hanging;
  // Every connect beyond the full accept queue waits: none answers by itself.
  const std::vector<ProbeTarget> targets(kPending, ProbeTarget{{127, 0, 0, 1}, hanging.port()});
  std::vector<ProbeOutcome> outcomes(kPending);
  StopSource stop;
  auto batch = std::async(std::launch::async,
                          [&] { TcpConnectProbeBatch(targets, outcomes, &stop, 3600s); });
  ASSERT_EQ(batch.wait_for(500ms), std::future_status::timeout);
  const auto stopped = Clock::now();
  stop.requestStop();
  ASSERT_EQ(batch.wait_for(1s), std::future_status::ready);
  EXPECT_LT(Clock::now() - stopped, 1s);
  for (const ProbeOutcome& outcome : outcomes) ASSERT_EQ(outcome.result, ProbeResult::Stopped);
}

}  // namespace
}  // namespace varnley
