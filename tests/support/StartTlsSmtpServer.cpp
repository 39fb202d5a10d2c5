#include "support/StartTlsSmtpServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "support/LoopbackPeers.h"

namespace varnley::testing {

namespace {

namespace fs = std::filesystem;

constexpr auto kSessionDeadline = std::chrono::seconds(10);

// Removes the folder with the keys when the process ends.
struct PkiFolder {
  fs::path dir;
  TestPki pki;
  PkiFolder() {
    std::random_device rd;
    dir =
        fs::temp_directory_path() / ("varnley-pki-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(dir);
    const fs::path script = fs::path(__FILE__).parent_path() / "aiosmtpd_server.py";
    const std::string command =
        "/usr/bin/python3 '" + script.string() + "' pki --dir '" + dir.string() + "'";
    if (std::system(command.c_str()) != 0)
      throw std::runtime_error("openssl could not make the test CA");
    pki = {(dir / "pki" / "ca.pem").string(), (dir / "pki" / "good.pem").string(),
           (dir / "pki" / "good.key").string()};
  }
  ~PkiFolder() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

}  // namespace

const TestPki& ThrowAwayPki() {
  static PkiFolder folder;
  return folder.pki;
}

// One connection, plain until STARTTLS and encrypted after.
struct StartTlsSmtpServer::Session {
  int fd;
  SSL* ssl = nullptr;
  std::string pending;
  bool closeNotify = false;

  ~Session() {
    if (ssl) {
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    ::close(fd);
  }
  bool send(const std::string& bytes) {
    if (ssl) return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool readLine(std::string& line) {
    for (;;) {
      const std::size_t lf = pending.find('\n');
      if (lf != std::string::npos) {
        line = pending.substr(0, lf);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pending.erase(0, lf + 1);
        return true;
      }
      char buf[16384];
      const int n =
          ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(::recv(fd, buf, sizeof buf, 0));
      if (n <= 0) {
        closeNotify = ssl && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
        ERR_clear_error();
        return false;
      }
      pending.append(buf, static_cast<std::size_t>(n));
    }
  }
};

void* ThrowAwayServerContext() {
  const TestPki& pki = ThrowAwayPki();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, pki.certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, pki.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(ctx);
    throw std::runtime_error("cannot load the test certificate");
  }
  return ctx;
}

StartTlsSmtpServer::StartTlsSmtpServer(bool record) : record_(record) {
  ctx_ = ThrowAwayServerContext();
  listenFd_ = test::detail::BoundLoopbackSocket(port_);
  if (::listen(listenFd_, 8) != 0 || ::pipe(stopPipe_) != 0)
    throw std::runtime_error("cannot listen on loopback");
  thread_ = std::thread([this] { run(); });
}

StartTlsSmtpServer::~StartTlsSmtpServer() {
  const char byte = 0;
  [[maybe_unused]] auto n = ::write(stopPipe_[1], &byte, 1);
  thread_.join();
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  ::close(listenFd_);
  SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

void StartTlsSmtpServer::run() {
  pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // A client that stops talking cannot hold the server (or its destructor) for long.
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    // As servers built on event loops do: a reply never waits behind an unacknowledged
    // session ticket.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    {
      std::lock_guard lock(mutex_);
      inSession_ = true;
      closeNotify_ = false;
    }
    const bool closeNotify = serve(fd);
    {
      std::lock_guard lock(mutex_);
      inSession_ = false;
      closeNotify_ = closeNotify;
    }
    changed_.notify_all();
  }
}

bool StartTlsSmtpServer::serve(int fd) {
  Session s{fd, nullptr, {}, false};
  serveSession(s);
  return s.closeNotify;
}

void StartTlsSmtpServer::serveSession(Session& s) {
  const int fd = s.fd;
  if (!s.send("220 tls-peer ready\r\n")) return;
  std::string line;
  bool inData = false;
  int loginStep = 0;  // 1: the user name is next, 2: the password
  while (s.readLine(line)) {
    if (inData) {
      if (line == ".") {
        inData = false;
        if (!s.send("250 queued\r\n")) return;
      }
      continue;
    }
    if (record_) {
      std::lock_guard lock(mutex_);
      commands_.push_back({line, s.ssl != nullptr});
    }
    std::string verb = line.substr(0, line.find(' '));
    for (char& ch : verb) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    std::string reply = "250 ok\r\n";
    if (loginStep == 1) {
      loginStep = 2;
      reply = "334 UGFzc3dvcmQ6\r\n";
    } else if (loginStep == 2) {
      loginStep = 0;
      reply = "235 2.7.0 ok\r\n";
    } else if (verb == "EHLO") {
      reply = s.ssl ? "250-tls-peer\r\n250 AUTH LOGIN\r\n"
                    : "250-tls-peer\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n";
    } else if (verb == "STARTTLS") {
      if (!s.send("220 go ahead\r\n")) return;
      s.ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
      SSL_set_fd(s.ssl, fd);
      if (SSL_accept(s.ssl) != 1) {
        ERR_clear_error();
        SSL_free(s.ssl);
        s.ssl = nullptr;
        return;
      }
      continue;
    } else if (verb == "AUTH") {
      // "AUTH LOGIN <user>" brings the user name along.
      const bool withUser = line.find(' ', 5) != std::string::npos;
      loginStep = withUser ? 2 : 1;
      reply = withUser ? "334 UGFzc3dvcmQ6\r\n" : "334 VXNlcm5hbWU6\r\n";
    } else if (verb == "DATA") {
      reply = "354 go\r\n";
      inData = true;
    } else if (verb == "QUIT") {
      s.send("221 bye\r\n");
      return;
    }
    if (!s.send(reply)) return;
  }
}

bool StartTlsSmtpServer::lastSessionEndedWithCloseNotify() {
  std::lock_guard lock(mutex_);
  return closeNotify_;
}

std::vector<StartTlsSmtpServer::Command> StartTlsSmtpServer::commands() {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, kSessionDeadline, [this] { return !inSession_; });
  return commands_;
}

}  // namespace varnley::testing
