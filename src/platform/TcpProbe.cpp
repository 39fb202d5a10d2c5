#include "platform/TcpProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/StopSource.h"

namespace varnley {

namespace {

// Without a wake-up descriptor the stop flag is looked at between slices of this length.
constexpr int kFallbackSliceMs = 50;
// The connect call itself blocks at most this long; a connect still pending then is waited
// for by poll beside the wake-up descriptor. Most connects (accepted or refused) finish well
// within it at the cost of a plain blocking connect, and a stop request waits no longer.
constexpr int kBlockingSliceMs = 100;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

ProbeResult WaitForConnect(int fd, const StopSource* stop) {
  const int wakeFd = stop ? stop->wakeDescriptor() : -1;
  pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
  const nfds_t count = wakeFd >= 0 ? 2 : 1;
  const int timeout = stop && wakeFd < 0 ? kFallbackSliceMs : -1;
  for (;;) {
    if (stop && stop->stopRequested()) return ProbeResult::Stopped;
    const int n = ::poll(fds, count, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ProbeResult::Closed;
    }
    if (count == 2 && fds[1].revents != 0) return ProbeResult::Stopped;
    if (n > 0 && fds[0].revents != 0) break;
  }
  // A connect that failed also reports an error or hang-up; only then is the reason needed.
  if (fds[0].revents == POLLOUT) return ProbeResult::Open;
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
    return ProbeResult::Closed;
  return ProbeResult::Open;
}

}  // namespace

ProbeResult TcpConnectProbe(const std::array<std::uint8_t, 4>& octets, std::uint16_t port,
                            const StopSource* stop) {
  if (stop && stop->stopRequested()) return ProbeResult::Stopped;
  Socket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) return ProbeResult::Closed;
  // SO_SNDTIMEO bounds a blocking connect; when it runs out, the connect goes on and
  // reports EINPROGRESS.
  const timeval slice{0, kBlockingSliceMs * 1000};
  if (::setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice) != 0)
    return ProbeResult::Closed;

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  // Built from the octets the user sees; a text parser could read "010" as octal.
  address.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(octets[0]) << 24 |
                                  static_cast<std::uint32_t>(octets[1]) << 16 |
                                  static_cast<std::uint32_t>(octets[2]) << 8 | octets[3]);

  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
    return ProbeResult::Open;
  if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) return ProbeResult::Closed;
  return WaitForConnect(sock.get(), stop);
}

}  // namespace varnley
