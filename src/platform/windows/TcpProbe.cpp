// Sets of this size let one select watch every connect a batch keeps in flight.
#define FD_SETSIZE 1024

#include "platform/TcpProbe.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/Resolver.h"
#include "platform/SocketAddress.h"
#include "platform/StopSource.h"
#include "platform/windows/Winsock.h"

namespace varnley {

namespace {

using Clock = std::chrono::steady_clock;

// One place in every set is the stop's wake-up socket.
constexpr std::size_t kMaxInFlight = FD_SETSIZE - 1;
// Without a wake-up socket the stop flag is looked at between slices of this length.
constexpr int kFallbackSliceMs = 50;

void CloseProbeSocket(SOCKET s, bool connected) {
  if (connected) {
    // A zero linger time makes the close a reset that leaves no TIME_WAIT behind.
    const linger reset{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
  }
  ::closesocket(s);
}

IpAddress AddressOf(const ProbeTarget& target) {
  return target.ipv6 ? IpAddress::V6(*target.ipv6) : IpAddress::V4(target.octets);
}

// Every connect is started non-blocking and answered through one select: the write set says
// accepted, the exception set refused (WSAPoll is not used: it long failed to report refusals).
class Batch {
 public:
  Batch(std::span<const ProbeTarget> targets, std::span<ProbeOutcome> out, const StopSource* stop,
        std::chrono::milliseconds timeout)
      : targets_(targets), out_(out), stop_(stop), timeout_(timeout) {}

  ~Batch() {
    // Whatever has no answer yet: stopped, or the wait itself failed.
    const ProbeResult left =
        stop_ && stop_->stopRequested() ? ProbeResult::Stopped : ProbeResult::Closed;
    const ProbeFailure why =
        left == ProbeResult::Closed ? ProbeFailure::refused : ProbeFailure::none;
    for (const Pending& p : pending_) {
      CloseProbeSocket(p.socket, false);
      out_[p.target] = {left, Clock::now() - p.start, why, AddressOf(targets_[p.target])};
    }
    for (std::size_t i = next_; i < targets_.size(); ++i)
      out_[i] = {left, {}, why, AddressOf(targets_[i])};
  }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  void run() {
    if (EnsureWinsock() != 0) return;
    const SOCKET wake = IntToSocket(stop_ ? stop_->wakeDescriptor() : -1);
    for (;;) {
      if (stop_ && stop_->stopRequested()) return;
      startMore();
      if (pending_.empty() && next_ == targets_.size()) return;
      int waitMs = waitMsLeft();
      if (stop_ && wake == INVALID_SOCKET && (waitMs < 0 || waitMs > kFallbackSliceMs))
        waitMs = kFallbackSliceMs;
      fd_set writable, failed, readable;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_ZERO(&readable);
      for (const Pending& p : pending_) {
        FD_SET(p.socket, &writable);
        FD_SET(p.socket, &failed);
      }
      if (wake != INVALID_SOCKET) FD_SET(wake, &readable);
      timeval tv{waitMs / 1000, (waitMs % 1000) * 1000};
      if (::select(0, &readable, &writable, &failed, waitMs < 0 ? nullptr : &tv) == SOCKET_ERROR)
        return;
      if (wake != INVALID_SOCKET && FD_ISSET(wake, &readable)) return;
      const auto now = Clock::now();
      for (std::size_t k = 0; k < pending_.size();) {
        const Pending p = pending_[k];
        ProbeResult result = ProbeResult::Closed;
        ProbeFailure why = ProbeFailure::refused;
        if (FD_ISSET(p.socket, &failed)) {
        } else if (FD_ISSET(p.socket, &writable)) {
          result = ProbeResult::Open;
        } else if (timeout_ > std::chrono::milliseconds(0) && now >= p.start + timeout_) {
          why = ProbeFailure::timedOut;  // no answer in time counts as refused
        } else {
          ++k;
          continue;
        }
        answer(p, result, why);
        pending_[k] = pending_.back();
        pending_.pop_back();
      }
    }
  }

 private:
  struct Pending {
    SOCKET socket;
    std::size_t target;
    Clock::time_point start;
  };

  // Starts connects until all are started or the set is full; when the system has no socket
  // to give while some are pending, their end makes room.
  void startMore() {
    while (next_ < targets_.size() && pending_.size() < kMaxInFlight) {
      const std::size_t i = next_;
      const auto start = Clock::now();
      const IpAddress ip = AddressOf(targets_[i]);
      const SOCKET s = ::WSASocketW(ip.v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr,
                                    0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
      if (s == INVALID_SOCKET) {
        const int err = ::WSAGetLastError();
        if ((err == WSAEMFILE || err == WSAENOBUFS) && !pending_.empty()) return;
        out_[next_++] = {ProbeResult::Closed, {}, ProbeFailure::refused, ip};
        continue;
      }
      ++next_;
      u_long on = 1;
      if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        answer({s, i, start}, ProbeResult::Closed);
        continue;
      }
      const SocketAddress address = SocketAddressOf(ip, targets_[i].port);
      if (::connect(s, address.get(), address.length) == 0) {
        answer({s, i, start}, ProbeResult::Open);
      } else if (::WSAGetLastError() == WSAEWOULDBLOCK) {
        pending_.push_back({s, i, start});
      } else {
        answer({s, i, start}, ProbeResult::Closed);
      }
    }
  }

  // Until the oldest pending connect runs out of time; -1 without a timeout.
  int waitMsLeft() const {
    if (timeout_ <= std::chrono::milliseconds(0) || pending_.empty()) return -1;
    auto oldest = pending_.front().start;
    for (const Pending& p : pending_) oldest = std::min(oldest, p.start);
    const auto left = oldest + timeout_ - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up, so that select never returns before the deadline.
    return static_cast<int>(std::min<std::int64_t>(
        std::chrono::ceil<std::chrono::milliseconds>(left).count(), 1000 * 1000));
  }

  void answer(const Pending& p, ProbeResult result, ProbeFailure why = ProbeFailure::refused) {
    CloseProbeSocket(p.socket, result == ProbeResult::Open);
    out_[p.target] = {result, Clock::now() - p.start,
                      result == ProbeResult::Open ? ProbeFailure::none : why,
                      AddressOf(targets_[p.target])};
  }

  std::span<const ProbeTarget> targets_;
  std::span<ProbeOutcome> out_;
  const StopSource* stop_;
  std::chrono::milliseconds timeout_;
  std::vector<Pending> pending_;
  std::size_t next_ = 0;  // the first target not started yet
};

}  // namespace

ProbeResult TcpConnectProbe(const std::array<std::uint8_t, 4>& octets, std::uint16_t port,
                            const StopSource* stop, std::chrono::milliseconds timeout) {
  if (stop && stop->stopRequested()) return ProbeResult::Stopped;
  ProbeTarget target;
  target.octets = octets;
  target.port = port;
  ProbeOutcome outcome;
  TcpConnectProbeBatch({&target, 1}, {&outcome, 1}, stop, timeout);
  return outcome.result;
}

namespace {

// The names of a batch looked up together, beside the stop; false when the stop came first.
bool LookUpNames(std::span<const ProbeTarget> targets, Resolver& resolver, const StopSource* stop,
                 std::chrono::milliseconds timeout,
                 std::unordered_map<std::string, LookupAnswer>& answers) {
  const auto limit = timeout > std::chrono::milliseconds(0)
                         ? std::min<std::chrono::milliseconds>(timeout, kLookupLimit)
                         : std::chrono::milliseconds(kLookupLimit);
  const Deadline deadline = Deadline::After(limit);
  for (const ProbeTarget& t : targets) {
    if (t.name.empty() || answers.count(t.name)) continue;
    answers[t.name];  // asked once, whatever the number of its ports
    resolver.lookup(t.name, deadline,
                    [&answers, name = t.name](const LookupAnswer& a) { answers[name] = a; });
  }
  while (resolver.busy()) {
    if (stop && stop->stopRequested()) {
      resolver.cancel();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(resolver.waitMs(), 1)));
    resolver.process();
  }
  return true;
}

}  // namespace

void TcpConnectProbeBatch(std::span<const ProbeTarget> targets, std::span<ProbeOutcome> out,
                          const StopSource* stop, std::chrono::milliseconds timeout,
                          Resolver* resolver) {
  const bool names = std::any_of(targets.begin(), targets.end(),
                                 [](const ProbeTarget& t) { return !t.name.empty(); });
  if (!names) {
    Batch batch(targets, out, stop, timeout);
    batch.run();
    return;
  }
  // Here the names are looked up first and every address of a name is probed at once: the
  // port is up when any accepts, as in the one-by-one order elsewhere.
  std::unique_ptr<Resolver> own;
  if (!resolver) {
    own = std::make_unique<Resolver>();
    resolver = own.get();
  }
  std::unordered_map<std::string, LookupAnswer> answers;
  if (!LookUpNames(targets, *resolver, stop, timeout, answers)) {
    for (ProbeOutcome& o : out) o = {};
    return;
  }
  std::vector<ProbeTarget> flat;
  std::vector<std::size_t> owner;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const ProbeTarget& t = targets[i];
    if (t.name.empty()) {
      flat.push_back(t);
      owner.push_back(i);
      continue;
    }
    const LookupAnswer& answer = answers[t.name];
    out[i] = {ProbeResult::Closed, {}, ProbeFailureOf(answer.failure), std::nullopt};
    if (answer.failure != LookupFailure::none) continue;
    for (const IpAddress& a : answer.addresses) {
      ProbeTarget one;
      one.port = t.port;
      if (a.v6)
        one.ipv6 = a.bytes;
      else
        std::copy_n(a.bytes.begin(), 4, one.octets.begin());
      flat.push_back(one);
      owner.push_back(i);
    }
  }
  std::vector<ProbeOutcome> flatOut(flat.size());
  Batch batch(flat, flatOut, stop, timeout);
  batch.run();
  std::vector<bool> seen(targets.size(), false);
  for (std::size_t k = 0; k < flat.size(); ++k) {
    ProbeOutcome& o = out[owner[k]];
    if (seen[owner[k]] && o.result == ProbeResult::Open) continue;
    if (!seen[owner[k]] || flatOut[k].result == ProbeResult::Open) o = flatOut[k];
    seen[owner[k]] = true;
  }
}

// Windows has no per-process descriptor limit to raise; what bounds a batch is one select's
// set. Larger batches are still answered, in turns.
std::size_t ProbeDescriptorBudget() { return kMaxInFlight; }

}  // namespace varnley
