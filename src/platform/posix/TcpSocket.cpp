#include "platform/TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/SocketAddress.h"
#include "platform/SocketErrors.h"
#include "platform/SocketPrimitives.h"
#include "platform/StopSource.h"

namespace varnley {

namespace {

// Without a wake-up descriptor a stop is noticed by polling in slices of this length.
constexpr int kStopSliceMs = 50;

IoResult Failed(int winsockCode) { return {IoStatus::failed, winsockCode, 0}; }
IoResult FailedErrno() { return Failed(WinsockCodeFromErrno(errno)); }

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  return sa;
}

bool SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Polls fd for events beside the stop descriptor, until the deadline (once at least).
IoResult PollWithStop(int fd, short events, const Deadline& deadline, const StopSource* stop) {
  const int wakeFd = stop ? stop->wakeDescriptor() : -1;
  for (;;) {
    if (stop && stop->stopRequested()) return {IoStatus::stopped, 0, 0};
    int waitMs = deadline.pollTimeout();
    if (stop && wakeFd < 0 && (waitMs < 0 || waitMs > kStopSliceMs)) waitMs = kStopSliceMs;
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, waitMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailedErrno();
    }
    if (wakeFd >= 0 && (fds[1].revents & POLLIN)) return {IoStatus::stopped, 0, 0};
    // Errors and hang-ups count as ready: the following call reports what happened.
    if (fds[0].revents != 0) return {IoStatus::ok, 0, 0};
    if (deadline.expired()) return {IoStatus::timedOut, 0, 0};
  }
}

}  // namespace

namespace sockets {

Step SendSome(int fd, const char* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) return {Step::done, static_cast<std::size_t>(n), 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {Step::wouldBlock, 0, 0};
    return {Step::failed, 0, WinsockCodeFromErrno(errno)};
  }
}

Step AcceptOne(int listener, int& accepted) {
  for (;;) {
    accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (accepted >= 0) return {};
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {Step::wouldBlock, 0, 0};
    return {Step::failed, 0, WinsockCodeFromErrno(errno)};
  }
}

IoResult WaitReadable(int fd, const Deadline& deadline, const StopSource* stop) {
  return PollWithStop(fd, POLLIN, deadline, stop);
}

IoResult WaitWritable(int fd, const Deadline& deadline, const StopSource* stop) {
  return PollWithStop(fd, POLLOUT, deadline, stop);
}

bool SocketName(int fd, bool peer, std::uint32_t& address, std::uint16_t& port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  auto* raw = reinterpret_cast<sockaddr*>(&sa);
  if ((peer ? ::getpeername(fd, raw, &len) : ::getsockname(fd, raw, &len)) != 0 ||
      sa.sin_family != AF_INET) {
    return false;
  }
  address = ntohl(sa.sin_addr.s_addr);
  port = ntohs(sa.sin_port);
  return true;
}

}  // namespace sockets

std::string LocalHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

int TcpSocket::create(bool v6) {
  close();
  fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return WinsockCodeFromErrno(errno);
  if (SetNonBlocking(fd_)) return 0;
  const int code = WinsockCodeFromErrno(errno);
  close();
  return code;
}

IoResult TcpSocket::waitFor(short events, const Deadline& deadline, const StopSource* stop) {
  return PollWithStop(fd_, events, deadline, stop);
}

IoResult TcpSocket::connect(const IpAddress& address, std::uint16_t port,
                            const Deadline& deadline, const StopSource* stop) {
  if (fd_ < 0) return Failed(10038);
  const SocketAddress sa = SocketAddressOf(address, port);
  if (::connect(fd_, sa.get(), static_cast<socklen_t>(sa.length)) == 0) return {};
  if (errno != EINPROGRESS && errno != EINTR) return FailedErrno();
  IoResult waited = waitFor(POLLOUT, deadline, stop);
  if (waited.status != IoStatus::ok) return waited;
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return FailedErrno();
  if (err != 0) return Failed(WinsockCodeFromErrno(err));
  return {};
}

IoResult TcpSocket::receive(char* buffer, std::size_t size, const Deadline& deadline,
                            const StopSource* stop) {
  if (fd_ < 0) return Failed(10038);
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n >= 0) return {IoStatus::ok, 0, static_cast<std::size_t>(n)};
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return FailedErrno();
    IoResult waited = waitFor(POLLIN, deadline, stop);
    if (waited.status != IoStatus::ok) return waited;
  }
}

std::size_t TcpSocket::sendNow(std::string_view bytes) {
  if (fd_ < 0 || bytes.empty()) return 0;
  ssize_t n;
  do {
    n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void TcpSocket::close() {
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_WR);
  ::close(fd_);
  fd_ = -1;
}

int TcpListener::listenLoopback(int backlog, std::uint16_t port) {
  close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return WinsockCodeFromErrno(errno);
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa = MakeAddress(INADDR_LOOPBACK, port);
  socklen_t len = sizeof sa;
  if (!SetNonBlocking(fd_) || ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(fd_, backlog) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    const int code = WinsockCodeFromErrno(errno);
    close();
    return code;
  }
  port_ = ntohs(sa.sin_port);
  return 0;
}

void TcpListener::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  port_ = 0;
}

}  // namespace varnley
