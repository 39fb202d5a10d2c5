#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include "monitor/Probe.h"
#include "platform/StopSource.h"
#include "platform/TcpProbe.h"
#include "support/HangingListener.h"
#include "support/LoopbackPeers.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

// Sockets in TIME_WAIT with this port at either end, as the kernel lists them.
int CountTimeWait(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    const auto portOf = [](const std::string& address) {
      return static_cast<std::uint16_t>(
          std::stoul(address.substr(address.find(':') + 1), nullptr, 16));
    };
    if (state == "06" && (portOf(local) == port || portOf(remote) == port)) ++count;
  }
  return count;
}

TEST(CheckPort, AcceptingListenerIsOpen) {
  test::AcceptingListener listener;
  EXPECT_TRUE(CheckPort("127.0.0.1", listener.port()));
  StopSource stop;
  EXPECT_TRUE(CheckPort("127.0.0.1", listener.port(), &stop));
  // Octets are decimal: "127.000.000.001" is the same loopback address.
  EXPECT_TRUE(CheckPort("127.000.000.001", listener.port()));
}

TEST(CheckPort, OctalLookingOctetIsReadAsDecimal) {
  // "127.0.0.010" is shown as .10; an octal reader would probe .8 instead.
  test::AcceptingListener ten("127.0.0.10");
  EXPECT_TRUE(CheckPort("127.0.0.010", ten.port()));
  test::AcceptingListener eight("127.0.0.8");
  EXPECT_FALSE(CheckPort("127.0.0.010", eight.port()));
  EXPECT_TRUE(CheckPort("127.0.0.8", eight.port()));
}

TEST(CheckPort, RefusedPortIsClosedAtOnce) {
  test::RefusingPort refusing;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(CheckPort("127.0.0.1", refusing.port()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(CheckPort, InvalidInputNeverReachesTheNetwork) {
  test::AcceptingListener listener;
  const int port = listener.port();
  // Each of these would connect to the listener if the port were cut to 16 bits or the
  // host text were read loosely.
  EXPECT_FALSE(CheckPort("127.0.0.1", port + 65536));
  EXPECT_FALSE(CheckPort("127.0.0.1", port - 65536));
  EXPECT_FALSE(CheckPort("127.0.0.1", 0));
  EXPECT_FALSE(CheckPort("127.0.0.1", -1));
  EXPECT_FALSE(CheckPort("127.0.0.1 ", port));
  EXPECT_FALSE(CheckPort("127.0.1", port));
  EXPECT_FALSE(CheckPort("127.0.0.1:" + std::to_string(port), port));
  EXPECT_FALSE(CheckPort("[127.0.0.1]", port));
  EXPECT_FALSE(CheckPort("local_host", port));
}

TEST(CheckPort, HostsFileNameIsProbedAtItsAddresses) {
  // localhost comes from the hosts file, never from a name server; the listener is on its
  // IPv4 address, so an IPv6 address tried first must give way to it.
  test::AcceptingListener listener;
  EXPECT_TRUE(CheckPort("localhost", listener.port(), nullptr, 2s));
  test::RefusingPort refusing;
  const std::vector<PortAnswer> answers = CheckPorts({{"localhost", refusing.port()}}, nullptr, 2s);
  EXPECT_FALSE(answers[0].open);
  EXPECT_EQ(answers[0].reason, "refused");
  EXPECT_FALSE(answers[0].unresolved);
}

TEST(CheckPort, StopRequestEndsAHangingConnect) {
  test::HangingListener hanging;
  StopSource stop;
  auto probe = std::async(std::launch::async, [&] {
    return TcpConnectProbe({127, 0, 0, 1}, hanging.port(), &stop);
  });
  // The connect really hangs: nothing comes back on its own.
  ASSERT_EQ(probe.wait_for(300ms), std::future_status::timeout);
  const auto stopped = std::chrono::steady_clock::now();
  stop.requestStop();
  ASSERT_EQ(probe.wait_for(1s), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1s);
  EXPECT_EQ(probe.get(), ProbeResult::Stopped);
}

TEST(CheckPort, StopAlreadyRequestedProbesNothing) {
  test::AcceptingListener listener;
  StopSource stop;
  stop.requestStop();
  EXPECT_EQ(TcpConnectProbe({127, 0, 0, 1}, listener.port(), &stop), ProbeResult::Stopped);
  EXPECT_FALSE(CheckPort("127.0.0.1", listener.port(), &stop));
}

TEST(CheckPort, TimeoutTurnsAHangingConnectIntoRefused) {
  test::HangingListener hanging;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TcpConnectProbe({127, 0, 0, 1}, hanging.port(), nullptr, 400ms), ProbeResult::Closed);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 390ms);  // it really waited, and not for the system's minutes
  EXPECT_LT(took, 1500ms);
  // A timeout does not change the answer of a port that answers.
  test::AcceptingListener listener;
  test::RefusingPort refusing;
  StopSource stop;
  EXPECT_TRUE(CheckPort("127.0.0.1", listener.port(), &stop, 1s));
  EXPECT_FALSE(CheckPort("127.0.0.1", refusing.port(), &stop, 1s));
}

TEST(CheckPort, StopEndsATimedWaitLongBeforeTheTimeout) {
  test::HangingListener hanging;
  StopSource stop;
  auto probe = std::async(std::launch::async, [&] {
    return TcpConnectProbe({127, 0, 0, 1}, hanging.port(), &stop, 3600s);
  });
  ASSERT_EQ(probe.wait_for(300ms), std::future_status::timeout);
  stop.requestStop();
  ASSERT_EQ(probe.wait_for(1s), std::future_status::ready);
  EXPECT_EQ(probe.get(), ProbeResult::Stopped);
}

TEST(CheckPort, AcceptedProbesLeaveNoTimeWaitBehind) {
  // Thousands of probes a minute would otherwise fill the local port range with TIME_WAIT
  // and make later connects fail. The probe resets; the peer's close then finds nothing.
  test::AcceptingListener listener;
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(CheckPort("127.0.0.1", listener.port())) << i;
  EXPECT_EQ(CountTimeWait(listener.port()), 0);
}

}  // namespace
}  // namespace varnley
