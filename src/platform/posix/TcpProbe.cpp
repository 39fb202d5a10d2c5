#include "platform/TcpProbe.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/StopSource.h"

namespace varnley {

namespace {

// Without a wake-up descriptor the stop flag is looked at between slices of this length.
constexpr int kFallbackSliceMs = 50;
// The connect call itself blocks at most this long; a connect still pending then is waited
// for by poll beside the wake-up descriptor. Most connects (accepted or refused) finish well
// within it at the cost of a plain blocking connect, and a stop request waits no longer.
constexpr int kBlockingSliceMs = 100;

void CloseProbeSocket(int fd, bool connected) {
  if (connected) {
    // A zero linger time makes close send a reset and skip TIME_WAIT.
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  ::close(fd);
}

sockaddr_in AddressOf(const std::array<std::uint8_t, 4>& octets, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(IPv4FromOctets(octets));
  return address;
}

// Whether a connect whose socket reported these events (POLLOUT and EPOLLOUT are the same
// bit, as are the error and hang-up bits) was accepted. A failed connect also reports an
// error or hang-up; only then is the reason read.
bool ConnectAccepted(int fd, std::uint32_t events, std::uint32_t outBit) {
  if (events == outBit) return true;
  int error = 0;
  socklen_t len = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) CloseProbeSocket(fd_, connected_);
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
  if (!ConnectAccepted(fd, static_cast<std::uint16_t>(fds[0].revents), POLLOUT))
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

  const sockaddr_in address = AddressOf(octets, port);
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
    return sock.open();
  if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) return ProbeResult::Closed;
  return WaitForConnect(sock, stop, timeout > std::chrono::milliseconds(0) ? &deadline : nullptr);
}

namespace {

// Many connects in flight at once, answered through one epoll set that also holds the stop
// descriptor.
//
// A connect that has an answer by the time the call returns (a loopback or local-network
// refusal usually has) is told apart at once by a second connect on the same socket: 0 for
// accepted, EALREADY for still pending, the error for refused. A refused socket is reset by
// that second call and starts the next target's connect, which spares a socket() and a close()
// per refused port. Only connects still pending go to the epoll set.
class Batch {
 public:
  Batch(std::span<const ProbeTarget> targets, std::span<ProbeOutcome> out, const StopSource* stop,
        std::chrono::milliseconds timeout)
      : targets_(targets),
        out_(out),
        stop_(stop),
        timeout_(timeout),
        slotOf_(targets.size(), kNone),
        starts_(targets.size()) {}

  ~Batch() {
    // Whatever is still pending has no answer: stopped, or the wait itself failed.
    const ProbeResult left =
        stop_ && stop_->stopRequested() ? ProbeResult::Stopped : ProbeResult::Closed;
    for (std::size_t s = 0; s < slots_.size(); ++s) {
      if (slots_[s].fd < 0) continue;
      if (slots_[s].watched)
        answer(s, left);
      else
        ::close(slots_[s].fd);
    }
    for (std::size_t i = next_; i < targets_.size(); ++i) out_[i] = {left, {}};
    if (epoll_ >= 0) ::close(epoll_);
  }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  void run() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
      // Without an event set the answers still come, one connect at a time.
      for (; next_ < targets_.size(); ++next_) {
        const auto start = Clock::now();
        out_[next_].result =
            TcpConnectProbe(targets_[next_].octets, targets_[next_].port, stop_, timeout_);
        out_[next_].duration = Clock::now() - start;
      }
      return;
    }
    const int wakeFd = stop_ ? stop_->wakeDescriptor() : -1;
    if (wakeFd >= 0) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = kWake;
      if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeFd, &event) != 0) return;
    }
    epoll_event events[256];
    for (;;) {
      if (stop_ && stop_->stopRequested()) return;
      startMore();
      if (pending_ == 0 && next_ == targets_.size()) return;
      int wait = waitMs();
      if (stop_ && wakeFd < 0 && (wait < 0 || wait > kFallbackSliceMs)) wait = kFallbackSliceMs;
      const int n = ::epoll_wait(epoll_, events, static_cast<int>(std::size(events)), wait);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      for (int k = 0; k < n; ++k) {
        if (events[k].data.u64 == kWake) return;
        const auto s = static_cast<std::size_t>(events[k].data.u64);
        if (slots_[s].fd < 0) continue;  // answered earlier in this round of events
        answer(s, ConnectAccepted(slots_[s].fd, events[k].events, EPOLLOUT) ? ProbeResult::Open
                                                                            : ProbeResult::Closed);
      }
      expire();
    }
  }

 private:
  static constexpr std::uint64_t kWake = ~std::uint64_t{0};
  static constexpr std::size_t kNone = ~std::size_t{0};

  struct Slot {
    int fd = -1;
    std::size_t target = 0;
    bool watched = false;  // in the epoll set, pending
  };

  // Starts connects until all are started or the process is out of descriptors while some
  // are still pending (their end makes room).
  void startMore() {
    while (next_ < targets_.size()) {
      std::size_t s;
      if (!spare_.empty()) {
        s = spare_.back();
        spare_.pop_back();
      } else {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
          if ((errno == EMFILE || errno == ENFILE) && pending_ > 0) return;
          starts_[next_] = Clock::now();
          out_[next_++] = {ProbeResult::Closed, {}};
          continue;
        }
        s = slots_.size();
        slots_.push_back({fd});
      }
      start(s, next_++);
    }
    // A reset socket left over would report a hang-up to nobody; none is needed any more.
    for (std::size_t s : spare_) {
      ::close(slots_[s].fd);
      slots_[s].fd = -1;
    }
    spare_.clear();
  }

  void start(std::size_t s, std::size_t i) {
    Slot& slot = slots_[s];
    slot.target = i;
    starts_[i] = Clock::now();
    const sockaddr_in address = AddressOf(targets_[i].octets, targets_[i].port);
    const auto* a = reinterpret_cast<const sockaddr*>(&address);
    int rc = ::connect(slot.fd, a, sizeof address);
    if (rc != 0 && errno == EINPROGRESS) rc = ::connect(slot.fd, a, sizeof address);
    if (rc == 0 || errno == EISCONN) return answer(s, ProbeResult::Open);
    if (errno == ECONNREFUSED) {
      // The failed call has put the socket back to unconnected: ready for the next target.
      out_[i] = {ProbeResult::Closed, Clock::now() - starts_[i]};
      spare_.push_back(s);
      return;
    }
    if (errno != EALREADY) return answer(s, ProbeResult::Closed);
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.u64 = s;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, slot.fd, &event) != 0)
      return answer(s, ProbeResult::Closed);
    slot.watched = true;
    slotOf_[i] = s;
    ++pending_;
    if (timeout_ > std::chrono::milliseconds(0)) started_.push_back(i);
  }

  // Until the oldest pending connect runs out of time; -1 without a timeout.
  int waitMs() {
    while (!started_.empty() && slotOf_[started_.front()] == kNone) started_.pop_front();
    if (started_.empty()) return -1;
    const Clock::time_point deadline = starts_[started_.front()] + timeout_;
    return PollTimeout(&deadline);
  }

  // Connects still pending after the timeout count as refused; they are the oldest.
  void expire() {
    const auto now = Clock::now();
    while (!started_.empty()) {
      const std::size_t i = started_.front();
      if (slotOf_[i] != kNone) {
        if (now < starts_[i] + timeout_) return;
        answer(slotOf_[i], ProbeResult::Closed);
      }
      started_.pop_front();
    }
  }

  // The target's answer; its socket is closed (which also takes it out of the epoll set).
  void answer(std::size_t s, ProbeResult result) {
    Slot& slot = slots_[s];
    CloseProbeSocket(slot.fd, result == ProbeResult::Open);
    slot.fd = -1;
    if (slot.watched) {
      slot.watched = false;
      slotOf_[slot.target] = kNone;
      --pending_;
    }
    out_[slot.target] = {result, Clock::now() - starts_[slot.target]};
  }

  std::span<const ProbeTarget> targets_;
  std::span<ProbeOutcome> out_;
  const StopSource* stop_;
  std::chrono::milliseconds timeout_;
  std::vector<Slot> slots_;
  std::vector<std::size_t> spare_;   // slots whose reset socket may start another connect
  std::vector<std::size_t> slotOf_;  // of each pending target, kNone otherwise
  std::vector<Clock::time_point> starts_;
  std::deque<std::size_t> started_;  // pending targets in start order, for the timeout
  std::size_t next_ = 0;             // the first target not started yet
  std::size_t pending_ = 0;
  int epoll_ = -1;
};

// Descriptors kept free for everything else the program opens while probes are in flight:
// the settings file, the mail connection, the display, the threads' own.
constexpr std::size_t kDescriptorMargin = 64;
constexpr rlim_t kSoftLimitCeiling = rlim_t{1} << 20;

std::size_t OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return kDescriptorMargin;
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  ::closedir(dir);
  return count;
}

}  // namespace

void TcpConnectProbeBatch(std::span<const ProbeTarget> targets, std::span<ProbeOutcome> out,
                          const StopSource* stop, std::chrono::milliseconds timeout) {
  if (targets.size() == 1) {
    // One connect needs no event set: the plain probe answers it with fewer system calls.
    const auto start = Clock::now();
    out[0].result = TcpConnectProbe(targets[0].octets, targets[0].port, stop, timeout);
    out[0].duration = Clock::now() - start;
    return;
  }
  Batch batch(targets, out, stop, timeout);
  batch.run();
}

std::size_t ProbeDescriptorBudget() {
  static std::once_flag raised;
  std::call_once(raised, [] {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    // An unlimited hard limit is still bounded by the kernel's own per-process ceiling.
    const rlim_t target = std::min<rlim_t>(limit.rlim_max, kSoftLimitCeiling);
    if (target <= limit.rlim_cur) return;
    limit.rlim_cur = target;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  });
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
  const std::size_t soft =
      static_cast<std::size_t>(std::min<rlim_t>(limit.rlim_cur, kSoftLimitCeiling));
  const std::size_t used = OpenDescriptors() + kDescriptorMargin;
  return soft > used ? soft - used : 1;
}

}  // namespace varnley
