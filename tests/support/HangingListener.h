// Test helper: a loopback port whose connects neither succeed nor fail, for tests of waits
// that only a stop request can end.
//
// A listener with backlog 1 that never accepts; its accept queue is filled first (connects are
// made until one stays pending), so the next connect to port() waits for the system's connect
// timeout (minutes). Loopback only. The destructor closes the listener and every filler.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace varnley::test {

class HangingListener {
 public:
  HangingListener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) fail("socket");
    sockaddr_in address = Loopback(0);
    socklen_t len = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("bind");
    if (::listen(listener_, 1) != 0) fail("listen");
    if (::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &len) != 0)
      fail("getsockname");
    port_ = ntohs(address.sin_port);
    fill();
  }

  ~HangingListener() {
    for (int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }

  HangingListener(const HangingListener&) = delete;
  HangingListener& operator=(const HangingListener&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  // A loopback connect completes within microseconds; one still pending after this long
  // is one the listener dropped.
  static constexpr int kPendingMs = 300;
  static constexpr int kMaxFillers = 64;

  static sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }

  void fill() {
    for (int i = 0; i < kMaxFillers; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) fail("socket");
      fillers_.push_back(fd);
      const sockaddr_in address = Loopback(port_);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) continue;
      if (errno != EINPROGRESS) fail("connect");
      pollfd p{fd, POLLOUT, 0};
      const int n = ::poll(&p, 1, kPendingMs);
      if (n == 0) return;  // this connect hangs: the queue is full
      int error = 0;
      socklen_t len = sizeof error;
      if (n < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
        fail("filling connect");
    }
    fail("accept queue never filled");
  }

  [[noreturn]] void fail(const char* what) {
    const std::string message =
        std::string("HangingListener: ") + what + ": " + std::strerror(errno);
    for (int fd : fillers_) ::close(fd);
    fillers_.clear();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    throw std::runtime_error(message);
  }

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace varnley::test
