// The SMTP session beside its floor: a plain client that writes the same bytes to the same
// in-process loopback server and reads each reply with recv. Body sizes grow by 10x.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSmtpServer.h"
#include "platform/TcpSocket.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"
#include "support/MemoryIOHandler.h"
#include "support/ScriptedSmtpServer.h"
#include "support/StartTlsSmtpServer.h"

namespace varnley {
namespace {

using testing::ScriptedSmtpServer;

ScriptedSmtpServer& Server() { return bench::SessionServer(); }

TIdMessage BenchMessage(int bodyLines) {
  TIdMessage m;
  m.From.SetText("\"Varnley\" <varnley@127.0.0.1>");
  m.Recipients.SetEmailAddresses("admin@example.org");
  m.Subject = "127.0.0.1:8080 is DOWN.";
  m.Date = 1700000000;
  for (int i = 0; i < bodyLines; ++i) m.Body.push_back("Varnley:127.0.0.1:8080 is DOWN.");
  return m;
}

// One fresh session per iteration: connect (with TLS as asked), send, QUIT.
void RunSessions(benchmark::State& state, const std::string& address, TIdUseTLS useTLS) {
  TIdMessage message = BenchMessage(static_cast<int>(state.range(0)));
  TIdSMTP smtp;
  smtp.Host = address;
  smtp.UseTLS = useTLS;
  smtp.HeloName = "bench";
  smtp.Username = "user";
  smtp.Password = "password";
  for (auto _ : state) {
    smtp.Connect();
    smtp.Send(message);
    smtp.Disconnect();
  }
}

void BM_SmtpSessionFresh(benchmark::State& state) {
  RunSessions(state, Server().address(), utNoTLSSupport);
}
BENCHMARK(BM_SmtpSessionFresh)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

// The same session with STARTTLS and a verified certificate (a throw-away CA, trusted alone):
// what TLS adds to one alert mail.
void BM_SmtpSessionStartTls(benchmark::State& state) {
  static testing::StartTlsSmtpServer server(false);
  ::setenv("SSL_CERT_FILE", testing::ThrowAwayPki().caFile.c_str(), 1);
  RunSessions(state, server.address(), utUseRequireTLS);
}
BENCHMARK(BM_SmtpSessionStartTls)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

// Reads one whole reply: until the buffer ends in a line whose 4th character is a blank.
bool RecvReply(TcpSocket& socket, std::string& buffer) {
  buffer.clear();
  char chunk[4096];
  for (;;) {
    const IoResult r = socket.receive(chunk, sizeof chunk, Deadline::None(), nullptr);
    if (r.status != IoStatus::ok || r.bytes == 0) return false;
    buffer.append(chunk, r.bytes);
    if (buffer.size() >= 2 && buffer.compare(buffer.size() - 2, 2, "\r\n") == 0) {
      const std::size_t start = buffer.rfind('\n', buffer.size() - 3);
      const std::size_t lineStart = start == std::string::npos ? 0 : start + 1;
      if (buffer.size() - lineStart < 6 || buffer[lineStart + 3] == ' ') return true;
    }
  }
}

void BM_SmtpByteReplay(benchmark::State& state) {
  ScriptedSmtpServer& server = Server();
  // The same bytes the session writes, one send per command and the message with its ".".
  testing::MemoryIOHandler composed;
  WriteMessage(composed, BenchMessage(static_cast<int>(state.range(0))));
  const std::vector<std::string> sends = {"EHLO bench\r\n",
                                          "AUTH LOGIN\r\n",
                                          EncodeBase64LowBytes("user") + "\r\n",
                                          EncodeBase64LowBytes("password") + "\r\n",
                                          "RSET\r\n",
                                          "MAIL FROM: <varnley@127.0.0.1>\r\n",
                                          "RCPT TO:<admin@example.org>\r\n",
                                          "DATA\r\n",
                                          composed.written + ".\r\n",
                                          "QUIT\r\n"};
  std::uint32_t loopback = 0;
  ParseDottedIPv4("127.0.0.1", loopback);
  std::string reply;
  for (auto _ : state) {
    TcpSocket socket;
    if (socket.create() != 0 ||
        socket.connect(loopback, server.port(), Deadline::None(), nullptr).status != IoStatus::ok ||
        !RecvReply(socket, reply)) {
      state.SkipWithError("connect failed");
      break;
    }
    for (const auto& bytes : sends) {
      if (socket.sendAll(bytes, nullptr).status != IoStatus::ok || !RecvReply(socket, reply)) {
        state.SkipWithError("exchange failed");
        break;
      }
    }
    socket.close();
  }
}
BENCHMARK(BM_SmtpByteReplay)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace
}  // namespace varnley
