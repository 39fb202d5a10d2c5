#include "platform/TcpSocket.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/SocketAddress.h"
#include "platform/SocketErrors.h"
#include "platform/SocketPrimitives.h"
#include "platform/StopSource.h"
#include "platform/windows/Wide.h"
#include "platform/windows/Winsock.h"

namespace varnley {

namespace {

// Without a wake-up socket a stop is noticed by waiting in slices of this length.
constexpr int kStopSliceMs = 50;
// What waitFor waits for. select rather than WSAPoll: select reports a refused connect in its
// exception set on every Windows version, where WSAPoll long reported nothing at all.
constexpr short kReadable = 1;
constexpr short kWritable = 2;

IoResult Failed(int winsockCode) { return {IoStatus::failed, winsockCode, 0}; }
IoResult FailedLast() { return Failed(::WSAGetLastError()); }

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  return sa;
}

bool SetNonBlocking(SOCKET s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

// A TCP socket that child processes do not inherit, like the close-on-exec sockets elsewhere.
// Returns 0 or a Winsock code.
int OpenStreamSocket(SOCKET& s, bool v6 = false) {
  if (const int rc = EnsureWinsock(); rc != 0) return rc;
  s = ::WSASocketW(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  return s == INVALID_SOCKET ? ::WSAGetLastError() : 0;
}

// Waits for the socket beside the stop's wake-up socket, until the deadline (once at least).
IoResult WaitWithStop(SOCKET s, short events, const Deadline& deadline, const StopSource* stop) {
  const SOCKET wake = IntToSocket(stop ? stop->wakeDescriptor() : -1);
  for (;;) {
    if (stop && stop->stopRequested()) return {IoStatus::stopped, 0, 0};
    int waitMs = deadline.pollTimeout();
    if (stop && wake == INVALID_SOCKET && (waitMs < 0 || waitMs > kStopSliceMs))
      waitMs = kStopSliceMs;
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (events & kReadable) FD_SET(s, &readable);
    if (events & kWritable) FD_SET(s, &writable);
    FD_SET(s, &failed);  // a refused connect shows only here
    if (wake != INVALID_SOCKET) FD_SET(wake, &readable);
    timeval tv{waitMs / 1000, (waitMs % 1000) * 1000};
    if (::select(0, &readable, &writable, &failed, waitMs < 0 ? nullptr : &tv) == SOCKET_ERROR)
      return FailedLast();
    if (wake != INVALID_SOCKET && FD_ISSET(wake, &readable)) return {IoStatus::stopped, 0, 0};
    // Errors count as ready: the following call reports what happened.
    if (FD_ISSET(s, &readable) || FD_ISSET(s, &writable) || FD_ISSET(s, &failed)) return {};
    if (deadline.expired()) return {IoStatus::timedOut, 0, 0};
  }
}

}  // namespace

namespace sockets {

Step SendSome(int fd, const char* data, std::size_t size) {
  const int chunk = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
  const int n = ::send(IntToSocket(fd), data, chunk, 0);
  if (n >= 0) return {Step::done, static_cast<std::size_t>(n), 0};
  const int err = ::WSAGetLastError();
  return err == WSAEWOULDBLOCK ? Step{Step::wouldBlock, 0, 0} : Step{Step::failed, 0, err};
}

Step AcceptOne(int listener, int& accepted) {
  for (;;) {
    // The accepted socket inherits the listener's non-blocking mode.
    const SOCKET s = ::accept(IntToSocket(listener), nullptr, nullptr);
    accepted = SocketToInt(s);
    if (s != INVALID_SOCKET) return {};
    const int err = ::WSAGetLastError();
    if (err == WSAECONNRESET) continue;  // the peer gave up before we took it
    return err == WSAEWOULDBLOCK ? Step{Step::wouldBlock, 0, 0} : Step{Step::failed, 0, err};
  }
}

IoResult WaitReadable(int fd, const Deadline& deadline, const StopSource* stop) {
  return WaitWithStop(IntToSocket(fd), kReadable, deadline, stop);
}

IoResult WaitWritable(int fd, const Deadline& deadline, const StopSource* stop) {
  return WaitWithStop(IntToSocket(fd), kWritable, deadline, stop);
}

bool SocketName(int fd, bool peer, std::uint32_t& address, std::uint16_t& port) {
  sockaddr_in sa{};
  int len = sizeof sa;
  auto* raw = reinterpret_cast<sockaddr*>(&sa);
  const SOCKET s = IntToSocket(fd);
  if ((peer ? ::getpeername(s, raw, &len) : ::getsockname(s, raw, &len)) != 0 ||
      sa.sin_family != AF_INET) {
    return false;
  }
  address = ntohl(sa.sin_addr.s_addr);
  port = ntohs(sa.sin_port);
  return true;
}

}  // namespace sockets

std::string LocalHostName() {
  if (EnsureWinsock() != 0) return {};
  wchar_t name[256] = {};
  if (::GetHostNameW(name, 255) != 0) return {};
  return Narrow(name);
}

int TcpSocket::create(bool v6) {
  close();
  SOCKET s = INVALID_SOCKET;
  if (const int rc = OpenStreamSocket(s, v6); rc != 0) return rc;
  fd_ = SocketToInt(s);
  if (SetNonBlocking(s)) return 0;
  const int code = ::WSAGetLastError();
  close();
  return code;
}

IoResult TcpSocket::waitFor(short events, const Deadline& deadline, const StopSource* stop) {
  return WaitWithStop(IntToSocket(fd_), events, deadline, stop);
}

IoResult TcpSocket::connect(const IpAddress& address, std::uint16_t port,
                            const Deadline& deadline, const StopSource* stop) {
  if (fd_ < 0) return Failed(WSAENOTSOCK);
  const SOCKET s = IntToSocket(fd_);
  const SocketAddress sa = SocketAddressOf(address, port);
  if (::connect(s, sa.get(), sa.length) == 0) return {};
  if (::WSAGetLastError() != WSAEWOULDBLOCK) return FailedLast();
  IoResult waited = waitFor(kWritable, deadline, stop);
  if (waited.status != IoStatus::ok) return waited;
  int err = 0;
  int len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    return FailedLast();
  if (err != 0) return Failed(err);
  return {};
}

IoResult TcpSocket::receive(char* buffer, std::size_t size, const Deadline& deadline,
                            const StopSource* stop) {
  if (fd_ < 0) return Failed(WSAENOTSOCK);
  const int want = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
  for (;;) {
    const int n = ::recv(IntToSocket(fd_), buffer, want, 0);
    if (n >= 0) return {IoStatus::ok, 0, static_cast<std::size_t>(n)};
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return FailedLast();
    IoResult waited = waitFor(kReadable, deadline, stop);
    if (waited.status != IoStatus::ok) return waited;
  }
}

std::size_t TcpSocket::sendNow(std::string_view bytes) {
  if (fd_ < 0 || bytes.empty()) return 0;
  // The socket is non-blocking: send takes what fits and never waits.
  const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
  const int n = ::send(IntToSocket(fd_), bytes.data(), chunk, 0);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void TcpSocket::close() {
  if (fd_ < 0) return;
  ::shutdown(IntToSocket(fd_), SD_SEND);
  ::closesocket(IntToSocket(fd_));
  fd_ = -1;
}

int TcpListener::listenLoopback(int backlog, std::uint16_t port) {
  close();
  SOCKET s = INVALID_SOCKET;
  if (const int rc = OpenStreamSocket(s); rc != 0) return rc;
  fd_ = SocketToInt(s);
  // Exclusive use: on Windows SO_REUSEADDR would let another socket take the port over.
  const BOOL on = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in sa = MakeAddress(INADDR_LOOPBACK, port);
  int len = sizeof sa;
  if (!SetNonBlocking(s) || ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(s, backlog) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    const int code = ::WSAGetLastError();
    close();
    return code;
  }
  port_ = ntohs(sa.sin_port);
  return 0;
}

void TcpListener::close() {
  if (fd_ >= 0) ::closesocket(IntToSocket(fd_));
  fd_ = -1;
  port_ = 0;
}

}  // namespace varnley
