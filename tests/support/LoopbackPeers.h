// Test helpers: loopback ports that accept every connect, or refuse every connect.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace varnley::test {

namespace detail {

inline int BoundLoopbackSocket(std::uint16_t& port, const char* address = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  // Only the loopback range is ever used by tests.
  if (::inet_pton(AF_INET, address, &a.sin_addr) != 1 || (ntohl(a.sin_addr.s_addr) >> 24) != 127) {
    ::close(fd);
    throw std::runtime_error(std::string("not a loopback address: ") + address);
  }
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    const std::string message = std::string("bind: ") + std::strerror(errno);
    ::close(fd);
    throw std::runtime_error(message);
  }
  port = ntohs(a.sin_port);
  return fd;
}

}  // namespace detail

// Accepts every connection on a thread of its own and closes it at once. The address may be
// any in 127.0.0.0/8. A connect that finds the accept queue full waits a second for its SYN
// to be sent again, so callers that connect in bursts (benchmarks) ask for a longer queue.
class AcceptingListener {
 public:
  explicit AcceptingListener(const char* address = "127.0.0.1", int backlog = 128) {
    fd_ = detail::BoundLoopbackSocket(port_, address);
    if (::listen(fd_, backlog) != 0 || ::pipe(stopPipe_) != 0) {
      ::close(fd_);
      throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
    }
    thread_ = std::thread([this] { run(); });
  }
  ~AcceptingListener() {
    const char byte = 0;
    [[maybe_unused]] auto n = ::write(stopPipe_[1], &byte, 1);
    thread_.join();
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
    ::close(fd_);
  }
  AcceptingListener(const AcceptingListener&) = delete;
  AcceptingListener& operator=(const AcceptingListener&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  void run() {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents != 0) return;
      if (fds[0].revents != 0) {
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) ::close(client);
      }
    }
  }

  int fd_ = -1;
  std::uint16_t port_ = 0;
  int stopPipe_[2] = {-1, -1};
  std::thread thread_;
};

// A port held bound but not listening: connects to it are refused, and no other program can
// start listening there while this object lives.
class RefusingPort {
 public:
  RefusingPort() { fd_ = detail::BoundLoopbackSocket(port_); }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace varnley::test
