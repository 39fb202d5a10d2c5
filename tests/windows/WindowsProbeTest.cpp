// The probe and the sockets on Winsock. Under Wine these run on the Linux network stack behind
// Wine's Winsock: they show that the calls, codes and waits are put together right, not how a
// real Windows stack times its answers (it retries a refused connect for about a second).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/SocketErrors.h"
#include "platform/StopSource.h"
#include "platform/TcpProbe.h"
#include "platform/TcpSocket.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};
constexpr std::uint32_t kLoopbackAddress = 0x7F000001;

// A loopback port that nothing listens on: one a listener had a moment ago.
std::uint16_t RefusingPort() {
  TcpListener listener;
  EXPECT_EQ(listener.listenLoopback(1), 0);
  return listener.port();
}

// A listener whose accept queue is full and never taken from: a further connect gets no
// answer at all, the way a silent firewall behaves.
class HangingListener {
 public:
  HangingListener() {
    EXPECT_EQ(listener_.listenLoopback(1), 0);
    for (int i = 0; i < 64; ++i) {
      TcpSocket s;
      EXPECT_EQ(s.create(), 0);
      const IoResult r =
          s.connect(kLoopbackAddress, listener_.port(), Deadline::After(300ms), nullptr);
      filled_.push_back(std::move(s));
      if (r.status == IoStatus::timedOut) return;
    }
    ADD_FAILURE() << "the accept queue never filled";
  }
  std::uint16_t port() const { return listener_.port(); }

 private:
  TcpListener listener_;
  std::vector<TcpSocket> filled_;
};

TEST(WindowsProbe, OpenRefusedAndTimedOutPorts) {
  TcpListener listener;
  ASSERT_EQ(listener.listenLoopback(8), 0);
  EXPECT_EQ(TcpConnectProbe(kLoopback, listener.port(), nullptr), ProbeResult::Open);
  EXPECT_EQ(TcpConnectProbe(kLoopback, RefusingPort(), nullptr, 2000ms), ProbeResult::Closed);

  HangingListener hanging;
  const auto start = Clock::now();
  EXPECT_EQ(TcpConnectProbe(kLoopback, hanging.port(), nullptr, 300ms), ProbeResult::Closed);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 3s);
}

TEST(WindowsProbe, StopCutsAHangingConnectShort) {
  HangingListener hanging;
  StopSource stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);  // lets the connect start waiting first
    stop.requestStop();
  });
  const auto start = Clock::now();
  EXPECT_EQ(TcpConnectProbe(kLoopback, hanging.port(), &stop), ProbeResult::Stopped);
  stopper.join();
  EXPECT_LT(Clock::now() - start, 2s);
  // Once stopped, a probe does not start at all.
  EXPECT_EQ(TcpConnectProbe(kLoopback, hanging.port(), &stop), ProbeResult::Stopped);
}

TEST(WindowsProbe, BatchAnswersEachTargetInItsPlace) {
  TcpListener open;
  ASSERT_EQ(open.listenLoopback(64), 0);
  const std::uint16_t refused = RefusingPort();
  HangingListener hanging;
  // More targets than one select can watch, so the batch must answer them in turns.
  const std::size_t count = ProbeDescriptorBudget() + 40;
  std::vector<ProbeTarget> targets(count, ProbeTarget{kLoopback, refused});
  for (std::size_t i = 0; i < count; i += 97) targets[i].port = open.port();
  targets[5].port = hanging.port();
  std::vector<ProbeOutcome> out(count);
  TcpConnectProbeBatch(targets, out, nullptr, 500ms);
  for (std::size_t i = 0; i < count; ++i) {
    const ProbeResult expected = i % 97 == 0 ? ProbeResult::Open : ProbeResult::Closed;
    ASSERT_EQ(out[i].result, expected) << "target " << i;
  }
  EXPECT_GE(out[5].duration, 500ms);  // the silent one ran into the timeout
}

TEST(WindowsProbe, StopEndsABatchAndMarksTheUnansweredStopped) {
  HangingListener hanging;
  TcpListener open;
  ASSERT_EQ(open.listenLoopback(8), 0);
  const std::vector<ProbeTarget> targets{{kLoopback, open.port()}, {kLoopback, hanging.port()}};
  std::vector<ProbeOutcome> out(targets.size());
  StopSource stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.requestStop();
  });
  const auto start = Clock::now();
  TcpConnectProbeBatch(targets, out, &stop);
  stopper.join();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(out[0].result, ProbeResult::Open);
  EXPECT_EQ(out[1].result, ProbeResult::Stopped);
}

TEST(WindowsSockets, TalkOverLoopbackAndReportWinsockCodes) {
  TcpListener listener;
  ASSERT_EQ(listener.listenLoopback(4), 0);
  TcpSocket client;
  ASSERT_EQ(client.create(), 0);
  ASSERT_EQ(
      client.connect(kLoopbackAddress, listener.port(), Deadline::After(2000ms), nullptr).status,
      IoStatus::ok);
  TcpSocket server;
  ASSERT_EQ(listener.accept(server, Deadline::After(2000ms), nullptr).status, IoStatus::ok);

  const std::string big(1 << 20, 'x');  // more than the buffers hold: sendAll has to wait
  std::thread sender(
      [&] { EXPECT_EQ(client.sendAll(big, nullptr, Deadline::After(5000ms)).bytes, big.size()); });
  std::string got;
  char buffer[4096];
  while (got.size() < big.size()) {
    const IoResult r = server.receive(buffer, sizeof buffer, Deadline::After(5000ms), nullptr);
    ASSERT_EQ(r.status, IoStatus::ok);
    ASSERT_GT(r.bytes, 0u);
    got.append(buffer, r.bytes);
  }
  sender.join();
  EXPECT_EQ(got, big);
  std::string address;
  std::uint16_t port = 0;
  ASSERT_TRUE(client.localEndpoint(address, port));
  EXPECT_EQ(address, "127.0.0.1");

  // Closed by the peer: the receive sees the end of the stream.
  client.close();
  const IoResult end = server.receive(buffer, sizeof buffer, Deadline::After(2000ms), nullptr);
  EXPECT_EQ(end.status, IoStatus::ok);
  EXPECT_EQ(end.bytes, 0u);

  // A refused connect carries the Winsock code and the table's text.
  TcpSocket refused;
  ASSERT_EQ(refused.create(), 0);
  const IoResult r =
      refused.connect(kLoopbackAddress, RefusingPort(), Deadline::After(5000ms), nullptr);
  EXPECT_EQ(r.status, IoStatus::failed);
  EXPECT_EQ(r.error, kWsaConnRefused);
  EXPECT_EQ(SocketErrorMessage(r.error), "Socket Error # 10061\r\nConnection refused.");
}

TEST(WindowsSockets, StopAndTimeoutEndAWaitingReceive) {
  TcpListener listener;
  ASSERT_EQ(listener.listenLoopback(4), 0);
  TcpSocket client;
  ASSERT_EQ(client.create(), 0);
  ASSERT_EQ(
      client.connect(kLoopbackAddress, listener.port(), Deadline::After(2000ms), nullptr).status,
      IoStatus::ok);
  char buffer[16];
  EXPECT_EQ(client.receive(buffer, sizeof buffer, Deadline::After(100ms), nullptr).status,
            IoStatus::timedOut);
  StopSource stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.requestStop();
  });
  const auto start = Clock::now();
  EXPECT_EQ(client.receive(buffer, sizeof buffer, Deadline::None(), &stop).status,
            IoStatus::stopped);
  stopper.join();
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST(WindowsSockets, TheMailClientsLookupTakesAddressesAndHostsFileNames) {
  for (const char* host : {"127.0.0.1", "[::1]", "localhost"}) {
    const auto answer = LookupHost(host, "", Deadline::After(5000ms), nullptr);
    ASSERT_TRUE(answer) << host;
    EXPECT_EQ(answer->failure, LookupFailure::none) << host;
    EXPECT_FALSE(answer->addresses.empty()) << host;
  }
}

TEST(WindowsProbe, NamesFromTheHostsFileAndIPv6Loopback) {
  TcpListener listener;
  ASSERT_EQ(listener.listenLoopback(8), 0);
  // localhost may give ::1 first; the port is up when any of its addresses accepts.
  ProbeTarget byName;
  byName.port = listener.port();
  byName.name = "localhost";
  ProbeTarget v6;
  v6.port = RefusingPort();
  v6.ipv6 = ParseIPv6("::1");
  const std::vector<ProbeTarget> targets = {byName, v6};
  std::vector<ProbeOutcome> out(targets.size());
  TcpConnectProbeBatch(targets, out, nullptr, 2000ms);
  EXPECT_EQ(out[0].result, ProbeResult::Open);
  ASSERT_TRUE(out[0].address.has_value());
  EXPECT_EQ(IpAddressText(*out[0].address), "127.0.0.1");
  EXPECT_EQ(out[1].result, ProbeResult::Closed);
  EXPECT_EQ(out[1].failure, ProbeFailure::refused);
}

}  // namespace
}  // namespace varnley
