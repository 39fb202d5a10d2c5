#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "monitor/Probe.h"
#include "platform/StopSource.h"
#include "platform/TcpProbe.h"
#include "support/HangingListener.h"
#include "support/LoopbackPeers.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

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
  EXPECT_FALSE(CheckPort("localhost", port));
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

}  // namespace
}  // namespace varnley
