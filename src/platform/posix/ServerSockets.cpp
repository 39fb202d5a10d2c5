#include "platform/ServerSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SocketErrors.h"

namespace varnley::sockets {

int ListenAt(std::uint32_t address, std::uint16_t port, int backlog, int& fd) {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return WinsockCodeFromErrno(errno);
  // A restart must not wait out the last run's TIME_WAIT connections.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, backlog) != 0) {
    const int code = WinsockCodeFromErrno(errno);
    ::close(fd);
    fd = -1;
    return code;
  }
  return 0;
}

Step ReceiveSome(int fd, char* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n >= 0) return {Step::done, static_cast<std::size_t>(n), 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {Step::wouldBlock, 0, 0};
    return {Step::failed, 0, WinsockCodeFromErrno(errno)};
  }
}

void ShutdownSend(int fd) { ::shutdown(fd, SHUT_WR); }

void CloseSocket(int fd) {
  if (fd >= 0) ::close(fd);
}

bool WaitAny(std::vector<PollSlot>& slots, int timeoutMs, int& error) {
  std::vector<pollfd> fds(slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    fds[i].fd = slots[i].fd;
    fds[i].events =
        static_cast<short>((slots[i].read ? POLLIN : 0) | (slots[i].write ? POLLOUT : 0));
  }
  int n;
  do {
    n = ::poll(fds.data(), fds.size(), timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error = WinsockCodeFromErrno(errno);
    return false;
  }
  for (std::size_t i = 0; i < slots.size(); ++i) slots[i].ready = fds[i].revents != 0;
  return true;
}

}  // namespace varnley::sockets
