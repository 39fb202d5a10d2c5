// Sets of this size let one select watch every connect a batch keeps in flight.
#define FD_SETSIZE 1024

#include "platform/TcpProbe.h"

#include <algorithm>
#include <vector>

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

sockaddr_in AddressOf(const std::array<std::uint8_t, 4>& octets, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(IPv4FromOctets(octets));
  return address;
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
    for (const Pending& p : pending_) {
      CloseProbeSocket(p.socket, false);
      out_[p.target] = {left, Clock::now() - p.start};
    }
    for (std::size_t i = next_; i < targets_.size(); ++i) out_[i] = {left, {}};
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
        ProbeResult result;
        if (FD_ISSET(p.socket, &failed))
          result = ProbeResult::Closed;
        else if (FD_ISSET(p.socket, &writable))
          result = ProbeResult::Open;
        else if (timeout_ > std::chrono::milliseconds(0) && now >= p.start + timeout_)
          result = ProbeResult::Closed;  // no answer in time counts as refused
        else {
          ++k;
          continue;
        }
        answer(p, result);
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
      const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
      if (s == INVALID_SOCKET) {
        const int err = ::WSAGetLastError();
        if ((err == WSAEMFILE || err == WSAENOBUFS) && !pending_.empty()) return;
        out_[next_++] = {ProbeResult::Closed, {}};
        continue;
      }
      ++next_;
      u_long on = 1;
      if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        answer({s, i, start}, ProbeResult::Closed);
        continue;
      }
      const sockaddr_in address = AddressOf(targets_[i].octets, targets_[i].port);
      if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
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

  void answer(const Pending& p, ProbeResult result) {
    CloseProbeSocket(p.socket, result == ProbeResult::Open);
    out_[p.target] = {result, Clock::now() - p.start};
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
  const ProbeTarget target{octets, port};
  ProbeOutcome outcome;
  TcpConnectProbeBatch({&target, 1}, {&outcome, 1}, stop, timeout);
  return outcome.result;
}

void TcpConnectProbeBatch(std::span<const ProbeTarget> targets, std::span<ProbeOutcome> out,
                          const StopSource* stop, std::chrono::milliseconds timeout) {
  Batch batch(targets, out, stop, timeout);
  batch.run();
}

// Windows has no per-process descriptor limit to raise; what bounds a batch is one select's
// set. Larger batches are still answered, in turns.
std::size_t ProbeDescriptorBudget() { return kMaxInFlight; }

}  // namespace varnley
