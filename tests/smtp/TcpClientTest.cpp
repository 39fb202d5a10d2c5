// The socket layer and the client's open sequence on loopback: Winsock codes and texts,
// address parsing, refusals, timeouts and stop requests.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Resolver.h"
#include "platform/SocketErrors.h"
#include "platform/StopSource.h"
#include "platform/TcpSocket.h"
#include "smtp/IdException.h"
#include "smtp/IdTCPClient.h"
#include "support/Dnsmasq.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

using Clock = std::chrono::steady_clock;

TEST(SocketErrors, ErrnoMapsToWinsockCodeAndText) {
  struct Case {
    int err, code;
    const char* text;
  };
  for (const Case& c : {Case{ECONNREFUSED, 10061, "Connection refused."},
                        Case{ECONNRESET, 10054, "Connection reset by peer."},
                        Case{ETIMEDOUT, 10060, "Connection timed out."},
                        Case{ENOTSOCK, 10038, "Socket operation on non-socket."},
                        Case{EHOSTUNREACH, 10065, "No route to host."},
                        Case{EPIPE, 10058, "Cannot send or receive after socket is closed."}}) {
    EXPECT_EQ(WinsockCodeFromErrno(c.err), c.code) << c.text;
    EXPECT_EQ(SocketErrorText(c.code), c.text);
  }
  EXPECT_EQ(SocketErrorMessage(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(SocketErrorMessage(11001), "Socket Error # 11001\r\nHost not found.");
  EXPECT_EQ(SocketErrorText(10067), "");
}

TEST(SocketErrors, NotASocketHasItsOwnClass) {
  EXPECT_THROW(RaiseSocketError(10038), EIdNotASocket);
  try {
    RaiseSocketError(10061);
  } catch (const EIdNotASocket&) {
    FAIL() << "10061 is not 10038";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10061);
  }
}

TEST(DottedAddress, DecimalOctetsOnly) {
  std::uint32_t a = 0;
  ASSERT_TRUE(ParseDottedIPv4("010.0.0.5", a));
  EXPECT_EQ(FormatIPv4(a), "10.0.0.5");
  ASSERT_TRUE(ParseDottedIPv4("127.0.0.1", a));
  EXPECT_EQ(a, 0x7F000001u);
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "0x7f.0.0.1", "1.2.3.4 ",
                          "0001.2.3.4", "localhost"}) {
    EXPECT_FALSE(ParseDottedIPv4(bad, a)) << bad;
  }
}

TEST(Resolve, AddressesStandAsTheyAreAndOnlyNamesAreLookedUp) {
  struct Case {
    const char* host;
    LookupFailure failure;
    const char* first;  // the first address, "" for none
  };
  // No name server is given a chance to answer: every case is a literal, a refusal or a name
  // of the hosts file.
  const Case cases[] = {
      {"127.0.0.9", LookupFailure::none, "127.0.0.9"},
      {"::1", LookupFailure::none, "::1"},
      {"[::1]", LookupFailure::none, "::1"},
      {"[0:0::1]", LookupFailure::none, "::1"},
      {"[127.0.0.1]", LookupFailure::noSuchName, ""},
      {"", LookupFailure::noSuchName, ""},
  };
  StopSource stopped;
  stopped.requestStop();  // a literal never waits, so a stopped source does not matter
  for (const Case& c : cases) {
    const auto answer = LookupHost(c.host, "", Deadline::After(2000ms), &stopped);
    ASSERT_TRUE(answer) << c.host;
    EXPECT_EQ(answer->failure, c.failure) << c.host;
    EXPECT_EQ(answer->addresses.empty() ? "" : IpAddressText(answer->addresses[0]), c.first)
        << c.host;
  }
  const auto local = LookupHost("LocalHost", "", Deadline::After(2000ms), nullptr);
  ASSERT_TRUE(local);
  ASSERT_FALSE(local->addresses.empty());
  EXPECT_EQ(LookupHost(std::string("local\0host", 10), "", Deadline::None(), nullptr)->failure,
            LookupFailure::noSuchName);
}

// A loopback port where nobody listens: bound, never listening, so connects are refused.
std::uint16_t ClosedPort() {
  TcpListener l;
  EXPECT_EQ(l.listenLoopback(1), 0);
  return l.port();  // closed when l goes; the port stays free for a moment
}

TEST(TcpClient, RefusedConnectReadsAsWinsockError) {
  TIdTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = ClosedPort();
  try {
    client.OpenConnection();
    FAIL() << "connected";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10061);
    EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
  }
  EXPECT_FALSE(client.Connected());
}

TEST(TcpClient, NameThatDoesNotResolve) {
  test::Dnsmasq dns({"--address=/known.test/127.0.0.1"});
  TIdTCPClient client;
  client.Host = "nowhere.test";
  client.Dns = dns.dns();
  client.Port = 25;
  try {
    client.OpenConnection();
    FAIL() << "connected";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 11001);
    EXPECT_STREQ(e.what(), "no such name");
  }
  EXPECT_FALSE(client.Connected());
}

// Each address of a name is tried in turn: a name whose IPv6 address is closed still reaches
// the listener on its IPv4 one, and an IPv6 address is connected to as such.
TEST(TcpClient, TriesEveryAddressOfANameAndConnectsOverIPv6) {
  TcpListener listener;
  ASSERT_EQ(listener.listenLoopback(4), 0);
  test::Dnsmasq dns({"--host-record=both.test,127.0.0.1,::1"});
  TIdTCPClient client;
  client.Dns = dns.dns();
  client.Port = listener.port();
  client.Host = "Both.Test";
  client.OpenConnection();
  EXPECT_TRUE(client.Connected());
  client.Disconnect(false);

  client.Host = "[::1]";
  try {
    client.OpenConnection();
    FAIL() << "nothing listens on ::1 here";
  } catch (const EIdSocketError& e) {
    // Refused by ::1 (or no IPv6 loopback at all): either way a socket error, never a hang.
    EXPECT_TRUE(e.LastError() == 10061 || e.LastError() == 10047 || e.LastError() == 10049)
        << e.what();
  }
}

TEST(TcpClient, OpensReopensAndRefusesASecondOpen) {
  TcpListener listener;
  ASSERT_EQ(listener.listenLoopback(4), 0);
  TIdTCPClient client;
  client.Host = "localhost";
  client.Port = listener.port();
  for (int round = 0; round < 2; ++round) {
    client.OpenConnection();
    EXPECT_TRUE(client.Connected());
    EXPECT_THROW(client.OpenConnection(), EIdAlreadyConnected);
    TcpSocket peer;
    ASSERT_EQ(listener.accept(peer, Deadline::After(5000ms), nullptr).status, IoStatus::ok);
    client.IOHandler()->WriteLine("hi");
    char buf[8];
    const IoResult r = peer.receive(buf, sizeof buf, Deadline::After(5000ms), nullptr);
    ASSERT_EQ(r.status, IoStatus::ok);
    EXPECT_EQ(std::string(buf, r.bytes), "hi\r\n");
    client.Disconnect(false);
    EXPECT_FALSE(client.Connected());
  }
}

// A loopback listener whose accept queue is full, so the next connect waits without answer.
struct HangingListener {
  TcpListener listener;
  std::vector<std::unique_ptr<TcpSocket>> fillers;

  HangingListener() {
    EXPECT_EQ(listener.listenLoopback(0), 0);
    for (int i = 0; i < 16; ++i) {
      auto s = std::make_unique<TcpSocket>();
      EXPECT_EQ(s->create(), 0);
      std::uint32_t loopback = 0x7F000001;
      const IoResult r = s->connect(loopback, listener.port(), Deadline::After(300ms), nullptr);
      fillers.push_back(std::move(s));
      if (r.status == IoStatus::timedOut) return;
    }
    ADD_FAILURE() << "the accept queue never filled";
  }
};

TEST(TcpClient, HangingConnectEndsWithConnectTimeout) {
  HangingListener hang;
  TIdTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = hang.listener.port();
  client.ConnectTimeout = 200ms;
  const auto start = Clock::now();
  EXPECT_THROW(client.OpenConnection(), EIdConnectTimeout);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_FALSE(client.Connected());
}

TEST(TcpClient, StopRequestCutsAHangingConnectShort) {
  HangingListener hang;
  StopSource stop;
  TIdTCPClient client;
  client.SetStopSource(&stop);
  client.Host = "127.0.0.1";
  client.Port = hang.listener.port();
  std::thread stopper([&] {
    // The stop may land before or during the connect; both must end it.
    stop.requestStop();
  });
  const auto start = Clock::now();
  try {
    client.OpenConnection();
    FAIL() << "connected";
  } catch (const EIdOperationCancelled& e) {
    EXPECT_STREQ(e.what(), "Operation cancelled.");
  }
  stopper.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  // Once stopped, the client does not open again, even where the connect would not wait.
  TcpListener open;
  ASSERT_EQ(open.listenLoopback(1), 0);
  client.Port = open.port();
  EXPECT_THROW(client.OpenConnection(), EIdOperationCancelled);
}

class SilentPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener.listenLoopback(4), 0);
    client.Host = "127.0.0.1";
    client.Port = listener.port();
  }
  void Open() {
    client.OpenConnection();
    ASSERT_EQ(listener.accept(peer, Deadline::After(5000ms), nullptr).status, IoStatus::ok);
  }
  TcpListener listener;
  TcpSocket peer;
  TIdTCPClient client;
};

TEST_F(SilentPeer, ReadTimeoutBoundsTheWait) {
  client.ReadTimeout = 150ms;
  Open();
  const auto start = Clock::now();
  EXPECT_EQ(client.IOHandler()->ReadLine(), "");
  EXPECT_TRUE(client.IOHandler()->ReadLnTimedOut());
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, std::chrono::seconds(3));
}

TEST_F(SilentPeer, StopRequestEndsAnUnlimitedRead) {
  StopSource stop;
  client.SetStopSource(&stop);
  Open();
  std::thread reader([&] {
    client.IOHandler()->WriteLine("ping");
    EXPECT_THROW(client.IOHandler()->ReadLine(), EIdOperationCancelled);
  });
  // The reader writes just before it starts waiting; once the peer has that line the stop
  // lands while the read waits (or, rarely, just before it: both must end it).
  char buf[8];
  ASSERT_EQ(peer.receive(buf, sizeof buf, Deadline::After(5000ms), nullptr).status, IoStatus::ok);
  const auto start = Clock::now();
  stop.requestStop();
  reader.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_FALSE(client.Connected());
}

TEST_F(SilentPeer, PeerCloseAfterPartialLine) {
  Open();
  ASSERT_EQ(peer.sendAll("220 ready\r\n250 no e", nullptr).status, IoStatus::ok);
  peer.close();
  EXPECT_EQ(client.IOHandler()->ReadLine(), "220 ready");
  EXPECT_THROW(client.IOHandler()->ReadLine(), EIdConnClosedGracefully);
  EXPECT_FALSE(client.Connected());
}

TEST_F(SilentPeer, WritesAreSevenBitBytes) {
  Open();
  client.IOHandler()->WriteLine(
      "Gr\xC3\xBC\xC3\x9F"
      "e");
  char buf[16];
  const IoResult r = peer.receive(buf, sizeof buf, Deadline::After(5000ms), nullptr);
  ASSERT_EQ(r.status, IoStatus::ok);
  EXPECT_EQ(std::string(buf, r.bytes), "Gr??e\r\n");
}

}  // namespace
}  // namespace varnley
