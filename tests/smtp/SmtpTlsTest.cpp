// The SMTP client's TLS against in-process loopback peers: the STARTTLS upgrade and how it is
// refused, and peers that stall, garble or drop the handshake.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/StopSource.h"
#include "platform/TcpSocket.h"
#include "smtp/IdException.h"
#include "smtp/IdSMTP.h"
#include "support/ScriptedSmtpServer.h"
#include "support/StartTlsSmtpServer.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

using Clock = std::chrono::steady_clock;
using testing::Raw;
using testing::Reply;
using testing::ScriptedSmtpServer;
using testing::StartTlsSmtpServer;

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Only the throw-away CA is trusted.
    ::setenv("SSL_CERT_FILE", testing::ThrowAwayPki().caFile.c_str(), 1);
    smtp.HeloName = "client";
    smtp.ReadTimeout = 10000ms;
    smtp.Username = "user";
    smtp.Password = "secret";
  }

  static TIdMessage Alert() {
    TIdMessage m;
    m.From.SetText("\"Varnley\" <varnley@127.0.0.1>");
    m.Recipients.SetEmailAddresses("admin@example.org");
    m.Subject = "127.0.0.1:8080 is DOWN.";
    m.Body = {"Varnley:127.0.0.1:8080 is DOWN."};
    return m;
  }

  // Connect must fail with a TLS error whose text holds `reason`, leaving nothing open.
  void ExpectTlsFailure(const std::string& reason) {
    try {
      smtp.Connect();
      ADD_FAILURE() << "connected; expected: " << reason;
    } catch (const EIdTLSError& e) {
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
    EXPECT_FALSE(smtp.Connected());
  }

  TIdSMTP smtp;
};

TEST_F(TlsTest, StartTlsGreetsAgainAndEverythingAfterItIsEncrypted) {
  StartTlsSmtpServer server;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    smtp.Host = std::string(host) + ":" + std::to_string(server.port());
    smtp.UseTLS = utUseRequireTLS;
    smtp.Connect();
    EXPECT_TRUE(smtp.TLSActive());
    EXPECT_FALSE(smtp.TLSProtocol().empty());
    // The plain-text list offered STARTTLS; the one from inside TLS is all that is left.
    EXPECT_EQ(smtp.Capabilities(), std::vector<std::string>{"AUTH LOGIN"});
    TIdMessage m = Alert();
    smtp.Send(m);
    EXPECT_TRUE(smtp.DidAuthenticate());
    smtp.Disconnect();
  }
  const auto commands = server.commands();
  ASSERT_GE(commands.size(), 8u);
  EXPECT_EQ(commands[0].line, "EHLO client");
  EXPECT_EQ(commands[1].line, "STARTTLS");
  EXPECT_EQ(commands[2].line, "EHLO client");
  EXPECT_TRUE(commands[2].encrypted);
  for (const auto& c : commands) {
    const bool beforeTls = c.line == "EHLO client" || c.line == "STARTTLS";
    if (!beforeTls) {
      EXPECT_TRUE(c.encrypted) << c.line << " went out in clear text";
    }
  }
}

TEST_F(TlsTest, TlsConnectionSaysCloseNotifyWhenDroppedWithoutQuit) {
  StartTlsSmtpServer server;
  smtp.Host = server.address();
  smtp.UseTLS = utUseRequireTLS;
  smtp.Connect();
  smtp.Disconnect(false);
  server.commands();  // the session has ended
  EXPECT_TRUE(server.lastSessionEndedWithCloseNotify());
}

// What the plain-text part of a STARTTLS session may do wrong; none of it gets a login out.
TEST_F(TlsTest, StartTlsThatCannotGoAheadEndsTheSessionBeforeAnyLogin) {
  struct Case {
    const char* name;
    std::vector<testing::ScriptedReply> replies;
    std::vector<std::string> commands;
    std::string reason;  // empty: the server's refusal is raised
  };
  const std::vector<Case> cases = {
      {"not offered",
       {Reply({"250-peer", "250 AUTH LOGIN"})},
       {"EHLO client"},
       "does not offer STARTTLS"},
      {"EHLO refused, HELO has no list",
       {Reply("502 no"), Reply("250 peer")},
       {"EHLO client", "HELO client"},
       "does not offer STARTTLS"},
      {"refused",
       {Reply({"250-peer", "250 STARTTLS"}), Reply("454 TLS not available")},
       {"EHLO client", "STARTTLS"},
       ""},
      // Bytes behind the 220 came in plain text and could be anyone's.
      {"data after the 220",
       {Reply({"250-peer", "250 STARTTLS"}), Raw("220 go ahead\r\n250-AUTH LOGIN\r\n", false)},
       {"EHLO client", "STARTTLS"},
       "sent data after its STARTTLS reply"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSmtpServer server(Reply("220 peer ready"), c.replies);
    smtp.Host = server.address();
    smtp.UseTLS = utUseRequireTLS;
    if (c.reason.empty()) {
      EXPECT_THROW(smtp.Connect(), EIdSMTPReplyError);
      EXPECT_FALSE(smtp.Connected());
    } else {
      ExpectTlsFailure(c.reason);
    }
    EXPECT_EQ(server.commands(), c.commands);
  }
}

// A peer that takes the connection and then does `peerAction` to the handshake.
class RawPeer {
 public:
  RawPeer() {
    if (listener_.listenLoopback(4) != 0) throw std::runtime_error("cannot listen");
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(listener_.port()); }
  // Accepts and reads the client's first flight; returns its first byte (-1 on none).
  int acceptHello() {
    if (listener_.accept(socket_, Deadline::After(10000ms), nullptr).status != IoStatus::ok)
      return -1;
    char buffer[4096];
    const IoResult r = socket_.receive(buffer, sizeof buffer, Deadline::After(10000ms), nullptr);
    return r.status == IoStatus::ok && r.bytes > 0 ? static_cast<unsigned char>(buffer[0]) : -1;
  }
  TcpSocket& socket() { return socket_; }

 private:
  TcpListener listener_;
  TcpSocket socket_;
};

TEST_F(TlsTest, StopRequestEndsAHandshakeWithASilentPeerAtOnce) {
  RawPeer peer;
  StopSource stop;
  smtp.Host = peer.address();
  smtp.UseTLS = utUseImplicitTLS;
  smtp.ReadTimeout = 60000ms;
  smtp.SetStopSource(&stop);
  std::atomic<bool> cancelled{false};
  Clock::time_point ended;
  std::thread client([&] {
    try {
      smtp.Connect();
    } catch (const EIdOperationCancelled&) {
      cancelled = true;
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    ended = Clock::now();
  });
  // A TLS handshake record opens the client's first flight: the handshake is under way.
  const int first = peer.acceptHello();
  const auto stopAt = Clock::now();
  stop.requestStop();
  client.join();
  EXPECT_EQ(first, 0x16);
  EXPECT_TRUE(cancelled);
  EXPECT_LT(ended - stopAt, std::chrono::seconds(1));
  EXPECT_FALSE(smtp.Connected());
}

TEST_F(TlsTest, HandshakeWithASilentPeerEndsAtTheReadTimeout) {
  RawPeer peer;
  smtp.Host = peer.address();
  smtp.UseTLS = utUseImplicitTLS;
  smtp.ReadTimeout = 300ms;
  std::thread accept([&] { peer.acceptHello(); });
  const auto start = Clock::now();
  ExpectTlsFailure("TLS handshake timed out.");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  accept.join();
}

TEST_F(TlsTest, GarbageOrACloseInsteadOfAHandshakeGivesACleanError) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"a plain-text greeting", "220 mail.example.org ESMTP ready\r\n", "TLS handshake failed: "},
      {"a record header with a huge length",
       std::string("\x16\x03\x03\xff\xff", 5) + std::string(64, '\x7f'), "TLS handshake failed: "},
      {"nothing, then close", "", "TLS handshake failed: the server closed the connection."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawPeer peer;
    smtp.Host = peer.address();
    smtp.UseTLS = utUseImplicitTLS;
    std::thread server([&] {
      peer.acceptHello();
      peer.socket().sendAll(c.bytes, nullptr);
      peer.socket().close();
    });
    ExpectTlsFailure(c.reason);
    server.join();
  }
}

}  // namespace
}  // namespace varnley
