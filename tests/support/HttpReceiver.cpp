#include "support/HttpReceiver.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <stdexcept>

#include "support/LoopbackPeers.h"
#include "support/StartTlsSmtpServer.h"

namespace varnley::testing {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 429:
      return "Too Many Requests";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

// One connection, with TLS or without.
struct Connection {
  int fd;
  int stopFd;
  SSL* ssl = nullptr;
  ~Connection() {
    if (ssl) {
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    ::close(fd);
  }
  // Waits for input or the stop; false on the stop.
  bool wait(int timeoutMs) {
    if (ssl && SSL_pending(ssl) > 0) return true;
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    ::poll(fds, 2, timeoutMs);
    return (fds[1].revents & POLLIN) == 0;
  }
  int read(char* buf, int size) {
    if (ssl) {
      const int n = SSL_read(ssl, buf, size);
      if (n <= 0) ERR_clear_error();
      return n;
    }
    return static_cast<int>(::recv(fd, buf, static_cast<std::size_t>(size), 0));
  }
  bool send(const std::string& bytes) {
    if (ssl) return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // Whether the client has gone (or the stop came) within the time.
  bool goneWithin(int ms) {
    if (!wait(ms)) return true;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char buf[256];
    return read(buf, sizeof buf) <= 0;
  }
};

}  // namespace

HttpReceiver::HttpReceiver(std::vector<HttpResponse> script, bool tls, bool record)
    : script_(std::move(script)), tls_(tls), record_(record) {
  if (script_.empty()) script_.push_back({});
  if (tls_) ctx_ = ThrowAwayServerContext();
  listenFd_ = test::detail::BoundLoopbackSocket(port_);
  if (::listen(listenFd_, 16) != 0 || ::pipe(stopPipe_) != 0)
    throw std::runtime_error("cannot listen on loopback");
  thread_ = std::thread([this] { run(); });
}

HttpReceiver::~HttpReceiver() {
  const char byte = 0;
  [[maybe_unused]] auto n = ::write(stopPipe_[1], &byte, 1);
  thread_.join();
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  ::close(listenFd_);
  SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

std::string HttpReceiver::url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HttpRequest> HttpReceiver::requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t HttpReceiver::count() {
  std::lock_guard lock(mutex_);
  return count_;
}

bool HttpReceiver::waitFor(std::size_t n) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= n; });
}

void HttpReceiver::run() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents & POLLIN) return;
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd >= 0) serve(fd);
    }
  }
}

void HttpReceiver::serve(int fd) {
  Connection c{fd, stopPipe_[0]};
  if (ctx_) {
    c.ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
    SSL_set_fd(c.ssl, fd);
    if (SSL_accept(c.ssl) != 1) {
      ERR_clear_error();
      return;  // a client that did not trust the certificate
    }
  }
  std::string input;
  std::size_t headerEnd = std::string::npos;
  char buf[16384];
  while ((headerEnd = input.find("\r\n\r\n")) == std::string::npos) {
    if (!c.wait(10000)) return;
    const int n = c.read(buf, sizeof buf);
    if (n <= 0) return;
    input.append(buf, static_cast<std::size_t>(n));
  }
  HttpRequest request;
  std::size_t lineEnd = input.find("\r\n");
  const std::string first = input.substr(0, lineEnd);
  request.method = first.substr(0, first.find(' '));
  request.path = first.substr(first.find(' ') + 1, first.rfind(' ') - first.find(' ') - 1);
  for (std::size_t at = lineEnd + 2; at < headerEnd; at = lineEnd + 2) {
    lineEnd = input.find("\r\n", at);
    const std::string line = input.substr(at, lineEnd - at);
    const std::size_t colon = line.find(':');
    std::string value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    request.headers[Lower(line.substr(0, colon))] = value;
  }
  const std::size_t length =
      request.headers.count("content-length") ? std::stoul(request.headers["content-length"]) : 0;
  request.body = input.substr(headerEnd + 4);
  while (request.body.size() < length) {
    if (!c.wait(10000)) return;
    const int n = c.read(buf, sizeof buf);
    if (n <= 0) return;
    request.body.append(buf, static_cast<std::size_t>(n));
  }
  HttpResponse response;
  {
    std::lock_guard lock(mutex_);
    response = script_[std::min(next_, script_.size() - 1)];
    ++next_;
    ++count_;
    if (record_) requests_.push_back(std::move(request));
  }
  arrived_.notify_all();
  if (response.silent) {
    while (!c.goneWithin(100)) {
    }
    return;
  }
  std::string answer =
      "HTTP/1.1 " + std::to_string(response.status) + " " + StatusText(response.status) + "\r\n";
  if (response.trickleMs > 0) {
    // The status line, then a header line that never ends, a byte at a time.
    answer += "X-Trickle: ";
    for (std::size_t i = 0;; ++i) {
      if (!c.send(i < answer.size() ? answer.substr(i, 1) : "a") ||
          c.goneWithin(response.trickleMs))
        return;
    }
  }
  for (const std::string& header : response.headers) answer += header + "\r\n";
  answer += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  answer += "Connection: close\r\n\r\n";
  answer += response.body;
  c.send(answer);
  c.goneWithin(1000);  // let the client read to the end before the close
}

}  // namespace varnley::testing
