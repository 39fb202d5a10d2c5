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
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Resolver.h"
#include "platform/SocketAddress.h"
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

ProbeResult WaitForConnect(Socket& sock, const StopSource* stop, const Clock::time_point* deadline,
                           ProbeFailure& why) {
  const int fd = sock.get();
  const int wakeFd = stop ? stop->wakeDescriptor() : -1;
  pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
  const nfds_t count = wakeFd >= 0 ? 2 : 1;
  for (;;) {
    if (stop && stop->stopRequested()) return ProbeResult::Stopped;
    int timeout = PollTimeout(deadline);
    if (deadline && timeout == 0) {
      why = ProbeFailure::timedOut;  // counts as refused
      return ProbeResult::Closed;
    }
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

// One blocking-style connect to one address; why says what a Closed was.
ProbeResult ConnectProbe(const IpAddress& ip, std::uint16_t port, const StopSource* stop,
                         std::chrono::milliseconds timeout, ProbeFailure& why) {
  why = ProbeFailure::refused;
  if (stop && stop->stopRequested()) return ProbeResult::Stopped;
  const Clock::time_point deadline = Clock::now() + timeout;
  Socket sock(::socket(ip.v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
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

  const SocketAddress address = SocketAddressOf(ip, port);
  if (::connect(sock.get(), address.get(), address.length) == 0) return sock.open();
  if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) return ProbeResult::Closed;
  return WaitForConnect(sock, stop, timeout > std::chrono::milliseconds(0) ? &deadline : nullptr,
                        why);
}

}  // namespace

ProbeResult TcpConnectProbe(const std::array<std::uint8_t, 4>& octets, std::uint16_t port,
                            const StopSource* stop, std::chrono::milliseconds timeout) {
  ProbeFailure why;
  return ConnectProbe(IpAddress::V4(octets), port, stop, timeout, why);
}

namespace {

// Many connects in flight at once, answered through one epoll set that also holds the stop
// descriptor and the resolver's.
//
// A connect that has an answer by the time the call returns (a loopback or local-network
// refusal usually has) is told apart at once by a second connect on the same socket: 0 for
// accepted, EALREADY for still pending, the error for refused. A refused socket is reset by
// that second call and starts the next target's connect, which spares a socket() and a close()
// per refused port. Only connects still pending go to the epoll set.
//
// A name's targets wait for its lookup and then join the connects; a refused or failed
// address of a name is followed by the next one while the target's time lasts.
class Batch {
 public:
  Batch(std::span<const ProbeTarget> targets, std::span<ProbeOutcome> out, const StopSource* stop,
        std::chrono::milliseconds timeout, Resolver* resolver)
      : targets_(targets),
        out_(out),
        stop_(stop),
        timeout_(timeout),
        resolver_(resolver),
        slotOf_(targets.size(), kNone),
        starts_(targets.size()),
        settled_(targets.size(), false) {}

  ~Batch() {
    // Whatever is still pending has no answer: stopped, or the wait itself failed.
    const bool stopped = stop_ && stop_->stopRequested();
    const ProbeResult left = stopped ? ProbeResult::Stopped : ProbeResult::Closed;
    const ProbeFailure why = stopped ? ProbeFailure::none : ProbeFailure::refused;
    if (resolver_) resolver_->cancel();
    for (std::size_t s = 0; s < slots_.size(); ++s) {
      if (slots_[s].fd < 0) continue;
      if (slots_[s].watched)
        answer(s, left, why, true);
      else
        ::close(slots_[s].fd);
    }
    for (std::size_t i = 0; i < targets_.size(); ++i)
      if (!settled_[i]) out_[i] = {left, {}, why, lastTried(i)};
    if (epoll_ >= 0) ::close(epoll_);
  }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  void run() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
      // Without an event set the answers still come, one connect at a time.
      for (; next_ < targets_.size(); ++next_) {
        if (isName(next_)) continue;  // refused by the destructor
        const auto start = Clock::now();
        ProbeFailure why;
        const ProbeResult result =
            ConnectProbe(addressOf(next_), targets_[next_].port, stop_, timeout_, why);
        settle(next_, result, Clock::now() - start, why, addressOf(next_));
      }
      return;
    }
    const int wakeFd = stop_ ? stop_->wakeDescriptor() : -1;
    if (wakeFd >= 0 && !watch(wakeFd, kWake)) return;
    if (!startLookups()) return;
    epoll_event events[256];
    for (;;) {
      if (stop_ && stop_->stopRequested()) return;
      startMore();
      if (pending_ == 0 && next_ == targets_.size() && ready_.empty() && namesLeft_ == 0) return;
      int wait = waitMs();
      if (namesLeft_ > 0) {
        const int lookupWait = resolver_->waitMs();
        if (lookupWait >= 0 && (wait < 0 || lookupWait < wait)) wait = lookupWait;
        if (resolver_->descriptor() < 0 && (wait < 0 || wait > kFallbackSliceMs))
          wait = kFallbackSliceMs;
      }
      if (stop_ && wakeFd < 0 && (wait < 0 || wait > kFallbackSliceMs)) wait = kFallbackSliceMs;
      const int n = ::epoll_wait(epoll_, events, static_cast<int>(std::size(events)), wait);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      for (int k = 0; k < n; ++k) {
        if (events[k].data.u64 == kWake) return;
        if (events[k].data.u64 == kLookups) continue;  // processed below
        const auto s = static_cast<std::size_t>(events[k].data.u64);
        if (slots_[s].fd < 0) continue;  // answered earlier in this round of events
        const bool accepted = ConnectAccepted(slots_[s].fd, events[k].events, EPOLLOUT);
        answer(s, accepted ? ProbeResult::Open : ProbeResult::Closed,
               accepted ? ProbeFailure::none : ProbeFailure::refused);
      }
      if (namesLeft_ > 0) resolver_->process();
      expire();
    }
  }

 private:
  static constexpr std::uint64_t kWake = ~std::uint64_t{0};
  static constexpr std::uint64_t kLookups = ~std::uint64_t{0} - 1;
  static constexpr std::size_t kNone = ~std::size_t{0};

  struct Slot {
    int fd = -1;
    std::size_t target = 0;
    bool watched = false;  // in the epoll set, pending
    bool v6 = false;
  };

  // One name of the batch: its answer, and the targets that wait for it.
  struct Name {
    LookupAnswer answer;
    std::vector<std::size_t> targets;
  };

  bool watch(int fd, std::uint64_t tag) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
  }

  bool isName(std::size_t i) const { return !targets_[i].name.empty(); }

  IpAddress addressOf(std::size_t i) const {
    const ProbeTarget& t = targets_[i];
    if (!t.name.empty()) return names_[nameOf_[i]].answer.addresses[attempt_[i]];
    if (t.ipv6) return IpAddress::V6(*t.ipv6);
    return IpAddress::V4(t.octets);
  }

  std::optional<IpAddress> lastTried(std::size_t i) const {
    if (!isName(i)) return addressOf(i);
    if (nameOf_.empty() || names_[nameOf_[i]].answer.addresses.empty()) return std::nullopt;
    return addressOf(i);
  }

  // Every name of the batch is asked for at once, each once, before any connect starts.
  bool startLookups() {
    std::unordered_map<std::string_view, std::size_t> index;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
      if (!isName(i)) continue;
      if (nameOf_.empty()) {
        nameOf_.assign(targets_.size(), kNone);
        attempt_.assign(targets_.size(), 0);
      }
      const auto [it, added] = index.try_emplace(targets_[i].name, names_.size());
      if (added) names_.emplace_back();
      nameOf_[i] = it->second;
      names_[it->second].targets.push_back(i);
    }
    if (names_.empty()) return true;
    if (!resolver_) {
      own_ = std::make_unique<Resolver>();
      resolver_ = own_.get();
    }
    if (resolver_->descriptor() >= 0 && !watch(resolver_->descriptor(), kLookups)) return false;
    const auto limit = timeout_ > std::chrono::milliseconds(0)
                           ? std::min<std::chrono::milliseconds>(timeout_, kLookupLimit)
                           : std::chrono::milliseconds(kLookupLimit);
    const Deadline deadline = Deadline::After(limit);
    namesLeft_ = names_.size();
    for (std::size_t k = 0; k < names_.size(); ++k) {
      const std::string& name = targets_[names_[k].targets.front()].name;
      resolver_->lookup(name, deadline,
                        [this, k](const LookupAnswer& answer) { resolved(k, answer); });
    }
    return true;
  }

  void resolved(std::size_t k, const LookupAnswer& answer) {
    Name& name = names_[k];
    name.answer = answer;
    // The late answers of lookups given up on would otherwise keep waking the loop.
    if (--namesLeft_ == 0 && resolver_->descriptor() >= 0)
      ::epoll_ctl(epoll_, EPOLL_CTL_DEL, resolver_->descriptor(), nullptr);
    for (std::size_t i : name.targets) {
      if (answer.failure != LookupFailure::none || answer.addresses.empty())
        settle(i, ProbeResult::Closed, {}, ProbeFailureOf(answer.failure), std::nullopt);
      else
        ready_.push_back(i);
    }
  }

  // A socket of the family, a reset one when there is one; -1 when the process is out of
  // descriptors while connects are pending (their end makes room), kNone on another failure.
  std::size_t takeSlot(bool v6) {
    auto& spare = spare_[v6];
    if (!spare.empty()) {
      const std::size_t s = spare.back();
      spare.pop_back();
      return s;
    }
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return (errno == EMFILE || errno == ENFILE) && pending_ > 0 ? kWait : kNone;
    slots_.push_back({fd, 0, false, v6});
    return slots_.size() - 1;
  }
  static constexpr std::size_t kWait = kNone - 1;

  // Starts connects until all are started or the process is out of descriptors while some
  // are still pending.
  void startMore() {
    for (;;) {
      std::size_t i;
      if (!ready_.empty()) {
        i = ready_.front();
      } else {
        while (next_ < targets_.size() && isName(next_)) ++next_;  // started by their lookup
        if (next_ == targets_.size()) break;
        i = next_;
      }
      const IpAddress address = addressOf(i);
      const std::size_t s = takeSlot(address.v6);
      if (s == kWait) return;
      if (ready_.empty())
        ++next_;
      else
        ready_.pop_front();
      if (s == kNone) {
        if (!isName(i) || attempt_[i] == 0) starts_[i] = Clock::now();
        failed(i, ProbeFailure::refused, address);
        continue;
      }
      start(s, i, address);
    }
    // A reset socket left over would report a hang-up to nobody; none is needed any more.
    for (auto& spare : spare_) {
      for (std::size_t s : spare) {
        ::close(slots_[s].fd);
        slots_[s].fd = -1;
      }
      spare.clear();
    }
  }

  void start(std::size_t s, std::size_t i, const IpAddress& ip) {
    Slot& slot = slots_[s];
    slot.target = i;
    const bool first = !isName(i) || attempt_[i] == 0;
    if (first) starts_[i] = Clock::now();
    const SocketAddress address = SocketAddressOf(ip, targets_[i].port);
    int rc = ::connect(slot.fd, address.get(), address.length);
    if (rc != 0 && errno == EINPROGRESS) rc = ::connect(slot.fd, address.get(), address.length);
    if (rc == 0 || errno == EISCONN) return answer(s, ProbeResult::Open, ProbeFailure::none);
    if (errno == ECONNREFUSED) {
      // The failed call has put the socket back to unconnected: ready for the next target.
      spare_[slot.v6].push_back(s);
      return failed(i, ProbeFailure::refused, ip);
    }
    if (errno != EALREADY) return answer(s, ProbeResult::Closed, ProbeFailure::refused);
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.u64 = s;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, slot.fd, &event) != 0)
      return answer(s, ProbeResult::Closed, ProbeFailure::refused);
    slot.watched = true;
    slotOf_[i] = s;
    ++pending_;
    if (timeout_ > std::chrono::milliseconds(0)) {
      if (first)
        started_.push_back(i);
      else
        retried_.push_back(i);
    }
  }

  Clock::time_point deadlineOf(std::size_t i) const { return starts_[i] + timeout_; }

  // Until the oldest pending connect runs out of time; -1 without a timeout.
  int waitMs() {
    while (!started_.empty() && slotOf_[started_.front()] == kNone) started_.pop_front();
    std::erase_if(retried_, [this](std::size_t i) { return slotOf_[i] == kNone; });
    std::optional<Clock::time_point> deadline;
    if (!started_.empty()) deadline = deadlineOf(started_.front());
    for (std::size_t i : retried_)
      if (!deadline || deadlineOf(i) < *deadline) deadline = deadlineOf(i);
    return deadline ? PollTimeout(&*deadline) : -1;
  }

  // Connects still pending after the timeout count as timed out; the first started are the
  // oldest, a name's later addresses share its first one's time.
  void expire() {
    const auto now = Clock::now();
    while (!started_.empty()) {
      const std::size_t i = started_.front();
      if (slotOf_[i] != kNone) {
        if (now < deadlineOf(i)) break;
        answer(slotOf_[i], ProbeResult::Closed, ProbeFailure::timedOut);
      }
      started_.pop_front();
    }
    for (std::size_t k = 0; k < retried_.size(); ++k) {
      const std::size_t i = retried_[k];
      if (slotOf_[i] != kNone && now >= deadlineOf(i))
        answer(slotOf_[i], ProbeResult::Closed, ProbeFailure::timedOut);
    }
  }

  // The target's answer; its socket is closed (which also takes it out of the epoll set).
  // A refused address of a name gives way to its next one.
  void answer(std::size_t s, ProbeResult result, ProbeFailure why, bool final = false) {
    Slot& slot = slots_[s];
    CloseProbeSocket(slot.fd, result == ProbeResult::Open);
    slot.fd = -1;
    const std::size_t i = slot.target;
    if (slot.watched) {
      slot.watched = false;
      slotOf_[i] = kNone;
      --pending_;
    }
    if (result == ProbeResult::Closed && !final) return failed(i, why, addressOf(i));
    settle(i, result, Clock::now() - starts_[i], why, addressOf(i));
  }

  void failed(std::size_t i, ProbeFailure why, const IpAddress& tried) {
    const auto now = Clock::now();
    if (isName(i) && attempt_[i] + 1 < names_[nameOf_[i]].answer.addresses.size() &&
        (timeout_ <= std::chrono::milliseconds(0) || now < deadlineOf(i))) {
      ++attempt_[i];
      ready_.push_back(i);
      return;
    }
    settle(i, ProbeResult::Closed, now - starts_[i], why, tried);
  }

  void settle(std::size_t i, ProbeResult result, std::chrono::nanoseconds duration,
              ProbeFailure why, std::optional<IpAddress> address) {
    out_[i] = {result, duration, result == ProbeResult::Open ? ProbeFailure::none : why, address};
    settled_[i] = true;
  }

  std::span<const ProbeTarget> targets_;
  std::span<ProbeOutcome> out_;
  const StopSource* stop_;
  std::chrono::milliseconds timeout_;
  Resolver* resolver_;
  std::unique_ptr<Resolver> own_;
  std::vector<Slot> slots_;
  std::vector<std::size_t> spare_[2];  // per family: slots whose reset socket may start another
  std::vector<std::size_t> slotOf_;    // of each pending target, kNone otherwise
  std::vector<Clock::time_point> starts_;
  std::vector<bool> settled_;
  std::deque<std::size_t> started_;   // pending targets in first-start order, for the timeout
  std::vector<std::size_t> retried_;  // pending later addresses of names, for the timeout
  std::deque<std::size_t> ready_;     // name targets with an address to try next
  std::vector<Name> names_;
  std::vector<std::size_t> nameOf_;   // of each name target, in names_ (empty without names)
  std::vector<std::size_t> attempt_;  // of each name target, the address tried
  std::size_t namesLeft_ = 0;         // lookups without an answer yet
  std::size_t next_ = 0;              // the first literal target not started yet
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
                          const StopSource* stop, std::chrono::milliseconds timeout,
                          Resolver* resolver) {
  if (targets.size() == 1 && targets[0].name.empty()) {
    // One connect needs no event set: the plain probe answers it with fewer system calls.
    const ProbeTarget& t = targets[0];
    const IpAddress address = t.ipv6 ? IpAddress::V6(*t.ipv6) : IpAddress::V4(t.octets);
    const auto start = Clock::now();
    ProbeFailure why;
    const ProbeResult result = ConnectProbe(address, t.port, stop, timeout, why);
    out[0] = {result, Clock::now() - start,
              result == ProbeResult::Closed ? why : ProbeFailure::none, address};
    return;
  }
  Batch batch(targets, out, stop, timeout, resolver);
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
