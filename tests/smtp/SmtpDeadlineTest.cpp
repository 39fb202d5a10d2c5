// The client's time limits against servers that stall: a whole reply, a whole session, a write
// the peer never reads, a name lookup that never answers; and a stop request cutting each short.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/StopSource.h"
#include "platform/TcpSocket.h"
#include "smtp/IdException.h"
#include "smtp/IdSMTP.h"
#ifndef _WIN32
#include "support/HostileDnsServer.h"
#endif
#include "support/ScriptedSmtpServer.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using testing::Reply;
using testing::ScriptedReply;
using testing::ScriptedSmtpServer;
using testing::Trickle;
using Clock = std::chrono::steady_clock;

// The ways a server can hold a client, each for far longer than the limits below.
struct Stall {
  const char* name;
  ScriptedReply greeting;
};

std::vector<Stall> Stalls() {
  return {
      {"silent after accept", testing::Silent()},
      // Twenty lines 100 ms apart: each line is quick, the reply as a whole is not.
      {"trickled multi-line reply",
       Trickle({"220-a", "220-b", "220-c", "220-d", "220-e", "220-f", "220-g",
                "220-h", "220-i", "220-j", "220-k", "220-l", "220-m", "220-n",
                "220-o", "220-p", "220-q", "220-r", "220-s", "220 t"},
               100)},
      // A line whose fourth character is neither blank nor "-" continues the reply.
      {"reply that never ends", Trickle({"2500 odd"}, 50, /*forever=*/true)},
  };
}

// Runs `body` and returns how long it took.
template <typename Body>
Clock::duration Timed(Body body) {
  const auto start = Clock::now();
  body();
  return Clock::now() - start;
}

TEST(SmtpDeadlines, AStallingServerIsLeftWithinTheReplyLimit) {
  for (const Stall& stall : Stalls()) {
    ScriptedSmtpServer server(stall.greeting, {});
    TIdSMTP smtp;
    smtp.Host = server.address();
    smtp.ReadTimeout = 400ms;
    const auto took = Timed([&] { EXPECT_THROW(smtp.Connect(), EIdReadTimeout) << stall.name; });
    EXPECT_GE(took, 350ms) << stall.name;
    EXPECT_LT(took, 1500ms) << stall.name;
    EXPECT_FALSE(smtp.Connected()) << stall.name;
  }
}

TEST(SmtpDeadlines, TheSessionLimitEndsASessionOfSlowButTimelyReplies) {
  // Every reply comes in 150 ms, well inside the reply limit; together they pass the session's.
  const auto slow = [](const char* line) { return Trickle({line}, 150); };
  ScriptedSmtpServer server(slow("220 hi"), {slow("250 ok"), slow("250 ok"), slow("250 ok"),
                                             slow("250 ok"), slow("250 ok"), slow("250 ok")});
  TIdSMTP smtp;
  smtp.Host = server.address();
  smtp.HeloName = "probe";
  smtp.ReadTimeout = 1000ms;
  smtp.SessionTimeout = 500ms;
  const auto took = Timed([&] {
    EXPECT_THROW(
        {
          smtp.Connect();
          for (int i = 0; i < 5; ++i) smtp.SendCommand("NOOP", {250});
        },
        EIdSessionTimeout);
  });
  EXPECT_LT(took, 1000ms);
  EXPECT_FALSE(smtp.Connected());

  // The limit counts from each open: a fresh session gets all of it again.
  ScriptedSmtpServer quick(Reply("220 hi"), {Reply("250 ok")});
  smtp.Host = quick.address();
  EXPECT_NO_THROW(smtp.Connect());
}

TEST(SmtpDeadlines, AStopRequestEndsEveryStallWithinASecond) {
  for (const Stall& stall : Stalls()) {
    ScriptedSmtpServer server(stall.greeting, {});
    StopSource stop;
    TIdSMTP smtp;
    smtp.Host = server.address();
    smtp.SetStopSource(&stop);
    std::thread stopper([&] {
      std::this_thread::sleep_for(200ms);  // the client is waiting on the server by now
      stop.requestStop();
    });
    const auto took =
        Timed([&] { EXPECT_THROW(smtp.Connect(), EIdOperationCancelled) << stall.name; });
    stopper.join();
    EXPECT_LT(took, 1s) << stall.name;
  }
}

TEST(SocketDeadlines, AWriteThatThePeerNeverReadsEnds) {
  TcpListener listener;
  ASSERT_EQ(listener.listenLoopback(4), 0);
  TcpSocket client;
  ASSERT_EQ(client.create(), 0);
  ASSERT_EQ(client.connect(0x7F000001, listener.port(), Deadline::After(1000ms), nullptr).status,
            IoStatus::ok);
  TcpSocket peer;  // accepted, and never read
  ASSERT_EQ(listener.accept(peer, Deadline::After(1000ms), nullptr).status, IoStatus::ok);
  const std::string lots(64 << 20, 'x');
  IoResult r;
  const auto took = Timed([&] { r = client.sendAll(lots, nullptr, Deadline::After(300ms)); });
  EXPECT_EQ(r.status, IoStatus::timedOut);
  EXPECT_GT(r.bytes, 0u);
  EXPECT_LT(r.bytes, lots.size());
  EXPECT_LT(took, 2s);
}

#ifndef _WIN32
// The server's name is asked of a name server that reads every query and answers none (a
// loopback server of the tests' own, which the Windows build's tests do not have).
TEST(NameLookup, TheConnectLimitCoversTheLookupAndAStopEndsIt) {
  test::HostileDnsServer silent(test::HostileDnsServer::Mode::silent);
  TIdSMTP smtp;
  smtp.Host = "mail.test:2525";
  smtp.Dns = silent.dns();
  smtp.ConnectTimeout = 300ms;
  auto took = Timed([&] { EXPECT_THROW(smtp.Connect(), EIdConnectTimeout); });
  EXPECT_LT(took, 1s);

  StopSource stop;
  smtp.ConnectTimeout = 0ms;
  smtp.SetStopSource(&stop);
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);  // the question is out and unanswered by now
    stop.requestStop();
  });
  took = Timed([&] { EXPECT_THROW(smtp.Connect(), EIdOperationCancelled); });
  stopper.join();
  EXPECT_LT(took, 1s);
  EXPECT_GT(silent.queries(), 0);

  // A failing name server is said in the user's words, not as a socket code.
  test::HostileDnsServer failing(test::HostileDnsServer::Mode::servfail);
  smtp.Dns = failing.dns();
  smtp.SetStopSource(nullptr);
  try {
    smtp.Connect();
    FAIL() << "connected";
  } catch (const EIdSocketError& e) {
    EXPECT_STREQ(e.what(), "name server failure");
  }
}
#endif

}  // namespace
}  // namespace varnley
