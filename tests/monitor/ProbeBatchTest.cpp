// Many probes at once: answers in order, the timeout per connect, and a stop that ends a batch
// with a thousand connects pending.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "monitor/Probe.h"
#include "platform/Resolver.h"
#include "platform/StopSource.h"
#include "platform/TcpProbe.h"
#include "support/Dnsmasq.h"
#include "support/HangingListener.h"
#include "support/HostileDnsServer.h"
#include "support/LoopbackPeers.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A socket on [::1]: listening (connects are accepted by the system, backlog permitting) or
// only bound (connects are refused).
class Loopback6Port {
 public:
  explicit Loopback6Port(bool listening) {
    fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        (listening && ::listen(fd_, 128) != 0))
      throw std::runtime_error("[::1] socket");
    port_ = ntohs(a.sin6_port);
  }
  ~Loopback6Port() { ::close(fd_); }
  Loopback6Port(const Loopback6Port&) = delete;
  Loopback6Port& operator=(const Loopback6Port&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

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

TEST(ProbeBatch, IPv6TargetsBesideIPv4Ones) {
  Loopback6Port open6(true), closed6(false);
  test::AcceptingListener open4;
  test::RefusingPort closed4;
  const std::vector<PortTarget> targets = {
      {"::1", open6.port()},    {"::1", closed6.port()},       {"127.0.0.1", open4.port()},
      {"0:0::1", open6.port()}, {"127.0.0.1", closed4.port()},
  };
  const std::vector<PortAnswer> answers = CheckPorts(targets, nullptr, 2s);
  const bool expected[] = {true, false, true, true, false};
  for (std::size_t i = 0; i < targets.size(); ++i) {
    EXPECT_EQ(answers[i].open, expected[i]) << i;
    EXPECT_EQ(answers[i].reason, expected[i] ? "" : "refused") << i;
  }
  EXPECT_EQ(answers[0].address, "::1");
  EXPECT_EQ(answers[4].address, "127.0.0.1");
  // A batch of one takes the short way; it must answer the same.
  EXPECT_TRUE(CheckPort("::1", open6.port(), nullptr, 2s));
  EXPECT_FALSE(CheckPort("::1", closed6.port(), nullptr, 2s));
}

TEST(ProbeBatch, TimedOutIsToldFromRefused) {
  test::HangingListener hanging;
  test::RefusingPort refused;
  const auto answers =
      CheckPorts({{"127.0.0.1", hanging.port()}, {"127.0.0.1", refused.port()}}, nullptr, 300ms);
  EXPECT_EQ(answers[0].reason, "timed out");
  EXPECT_EQ(answers[1].reason, "refused");
}

class NameProbe : public ::testing::Test {
 protected:
  void SetUp() override { Resolver::ClearCache(); }
  test::AcceptingListener open{"127.0.0.5"};
  test::RefusingPort closed;
  Loopback6Port open6{true};
  test::Dnsmasq server{{"--address=/up.test/127.0.0.5", "--address=/closed.test/127.0.0.1",
                        "--address=/v6.test/::1"}};
};

TEST_F(NameProbe, NamesAreProbedAtTheAddressesTheyResolveTo) {
  const std::vector<PortTarget> targets = {
      {"up.test", open.port()},  {"closed.test", closed.port()}, {"nosuch.test", open.port()},
      {"v6.test", open6.port()}, {"up.test", closed.port()},     {"127.0.0.5", open.port()},
  };
  const auto answers = CheckPorts(targets, nullptr, 2s, server.dns());
  ASSERT_EQ(answers.size(), targets.size());
  EXPECT_TRUE(answers[0].open);
  EXPECT_EQ(answers[0].address, "127.0.0.5");
  EXPECT_FALSE(answers[1].open);
  EXPECT_EQ(answers[1].reason, "refused");
  EXPECT_EQ(answers[1].address, "127.0.0.1");
  EXPECT_FALSE(answers[2].open);
  EXPECT_EQ(answers[2].reason, "no such name");
  EXPECT_TRUE(answers[2].unresolved);
  EXPECT_EQ(answers[2].address, "");
  EXPECT_EQ(answers[2].duration, 0ns);
  EXPECT_TRUE(answers[3].open);
  EXPECT_EQ(answers[3].address, "::1");
  EXPECT_FALSE(answers[4].open);
  EXPECT_TRUE(answers[5].open);
}

TEST_F(NameProbe, AChangedRecordIsFollowedOnALaterPass) {
  test::AcceptingListener moved("127.0.0.9");
  EXPECT_FALSE(CheckPorts({{"up.test", moved.port()}}, nullptr, 2s, server.dns())[0].open);
  server.restart({"--address=/up.test/127.0.0.9"});
  // The old answer lives one second (dnsmasq's TTL 0, kept for the shortest life).
  const auto until = Clock::now() + 5s;
  PortAnswer answer;
  while (Clock::now() < until) {
    answer = CheckPorts({{"up.test", moved.port()}}, nullptr, 2s, server.dns())[0];
    if (answer.open) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(answer.open);
  EXPECT_EQ(answer.address, "127.0.0.9");
}

TEST(NameProbeHostile, ASilentServerCostsTheTimeoutAndStopEndsItAtOnce) {
  Resolver::ClearCache();
  test::HostileDnsServer silent(test::HostileDnsServer::Mode::silent);
  test::AcceptingListener open;
  // The name waits at most the probe's timeout, and the literal beside it is not held back.
  const auto start = Clock::now();
  const auto answers = CheckPorts({{"silent.test", open.port()}, {"127.0.0.1", open.port()}},
                                  nullptr, 700ms, silent.dns());
  EXPECT_GE(Clock::now() - start, 650ms);
  EXPECT_LT(Clock::now() - start, 1500ms);
  EXPECT_EQ(answers[0].reason, "no answer from the name servers");
  EXPECT_TRUE(answers[1].open);
  EXPECT_LT(answers[1].duration, 500ms);

  StopSource stop;
  auto batch = std::async(std::launch::async, [&] {
    return CheckPorts({{"silent2.test", open.port()}}, &stop, 0ms, silent.dns());
  });
  ASSERT_EQ(batch.wait_for(300ms), std::future_status::timeout);
  const auto stopped = Clock::now();
  stop.requestStop();
  ASSERT_EQ(batch.wait_for(1s), std::future_status::ready);
  EXPECT_LT(Clock::now() - stopped, 1s);
  EXPECT_FALSE(batch.get()[0].open);
}

TEST(NameProbeHostile, ANameWithThousandsOfRecordsTriesAFewWithinItsTimeout) {
  Resolver::ClearCache();
  test::HostileDnsServer many(test::HostileDnsServer::Mode::thousands);
  // Its addresses are 127.0.0.1, 127.0.0.2, ...: only the fourth listens.
  test::AcceptingListener fourth("127.0.0.4");
  const auto answer = CheckPorts({{"many.test", fourth.port()}}, nullptr, 2s, many.dns())[0];
  EXPECT_TRUE(answer.open);
  EXPECT_EQ(answer.address, "127.0.0.4");
  test::RefusingPort none;
  const auto refused = CheckPorts({{"many.test", none.port()}}, nullptr, 2s, many.dns())[0];
  EXPECT_FALSE(refused.open);
  EXPECT_EQ(refused.reason, "refused");
  EXPECT_EQ(refused.address, "127.0.0.16");  // the last of those kept
}

}  // namespace
}  // namespace varnley
