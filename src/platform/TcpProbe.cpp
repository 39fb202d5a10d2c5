#include "platform/TcpProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
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
    if (fd_ < 0) return;
    if (connected_) {
      // A zero linger time makes close send a reset and skip TIME_WAIT.
      const linger reset{1, 0};
      ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }
  ProbeResult open() {
    connected_ = true;
    return ProbeResult::Open;
  }

 private:
  int fd_;
  bool connected_ = false;
};

using Clock = std::chrono::steady_clock;

// Milliseconds until the deadline for poll, rounded up so that poll never returns early;
// -1 without a deadline.
int PollTimeout(const Clock::time_point* deadline) {
  if (!deadline) return -1;
  const auto left = *deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<std::int64_t>(ms, 1000 * 1000));
}

ProbeResult WaitForConnect(Socket& sock, const StopSource* stop,
                           const Clock::time_point* deadline) {
  const int fd = sock.get();
  const int wakeFd = stop ? stop->wakeDescriptor() : -1;
  pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
  const nfds_t count = wakeFd >= 0 ? 2 : 1;
  for (;;) {
    if (stop && stop->stopRequested()) return ProbeResult::Stopped;
    int timeout = PollTimeout(deadline);
    if (deadline && timeout == 0) return ProbeResult::Closed;  // timed out: counts as refused
    if (stop && wakeFd < 0 && (timeout < 0 || timeout > kFallbackSliceMs))
      timeout = kFallbackSliceMs;
    const int n = ::poll(fds, count, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ProbeResult::Closed;
    }
    if (count == 2 && fds[1].revents != 0) return ProbeResult::Stopped;
    if (n > 0 && fds[0].revents != 0) break;
  }
  // A connect that failed also reports an error or hang-up; only then is the reason needed.
  if (fds[0].revents == POLLOUT) return sock.open();
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
    return ProbeResult::Closed;
  return sock.open();
}

}  // namespace

ProbeResult TcpConnectProbe(const std::array<std::uint8_t, 4>& octets, std::uint16_t port,
                            const StopSource* stop, std::chrono::milliseconds timeout) {
  if (stop && stop->stopRequested()) return ProbeResult::Stopped;
  const Clock::time_point deadline = Clock::now() + timeout;
  Socket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) return ProbeResult::Closed;
  // SO_SNDTIMEO bounds a blocking connect; when it runs out, the connect goes on and
  // reports EINPROGRESS.
  const auto sliceUs = timeout > std::chrono::milliseconds(0)
                           ? std::min<std::int64_t>(kBlockingSliceMs * 1000,
                                                    std::chrono::microseconds(timeout).count())
                           : std::int64_t{kBlockingSliceMs} * 1000;
  const timeval slice{sliceUs / 1000000, static_cast<suseconds_t>(sliceUs % 1000000)};
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
    return sock.open();
  if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) return ProbeResult::Closed;
  return WaitForConnect(sock, stop, timeout > std::chrono::milliseconds(0) ? &deadline : nullptr);
}

}  // namespace varnley
