// An in-process loopback SMTP server that offers STARTTLS (OpenSSL, server side), for tests of
// the upgrade and for the benchmark. In plain text its EHLO lists STARTTLS and AUTH LOGIN;
// inside TLS it lists AUTH LOGIN only. Every command is recorded with whether it came
// encrypted. The certificates come from a throw-away CA made by the openssl command.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varnley::testing {

// The test CA and the server certificate for localhost and 127.0.0.1, made once per process
// in a temporary folder that goes with the process.
struct TestPki {
  std::string caFile, certFile, keyFile;
};
const TestPki& ThrowAwayPki();
// A server-side TLS context (an SSL_CTX*, to be freed with SSL_CTX_free) holding that
// certificate and key; throws when they cannot be loaded.
void* ThrowAwayServerContext();

class StartTlsSmtpServer {
 public:
  struct Command {
    std::string line;
    bool encrypted = false;
  };

  explicit StartTlsSmtpServer(bool record = true);
  ~StartTlsSmtpServer();
  StartTlsSmtpServer(const StartTlsSmtpServer&) = delete;
  StartTlsSmtpServer& operator=(const StartTlsSmtpServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  // Waits (up to a deadline) until the current session has ended.
  std::vector<Command> commands();
  // Whether the last session's TLS ended with the client's close-notify.
  bool lastSessionEndedWithCloseNotify();

 private:
  struct Session;
  void run();
  bool serve(int fd);  // whether the session ended with close-notify
  void serveSession(Session& s);

  bool record_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  void* ctx_ = nullptr;  // SSL_CTX
  std::mutex mutex_;
  std::condition_variable changed_;
  bool inSession_ = false;
  bool closeNotify_ = false;
  std::vector<Command> commands_;
  std::thread thread_;
};

}  // namespace varnley::testing
