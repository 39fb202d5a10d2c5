// CheckPort beside the floor it stands on: a raw blocking socket()+connect()+close().
//
// Both sides close the same way (a reset, as the probe does), so neither leaves TIME_WAIT
// sockets behind that would slow the other's search for a local port. BM_ProbeVsRaw alternates
// the two within one loop and reports each as a counter, so their ratio is taken under the
// same conditions whatever else the machine is doing.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "monitor/Probe.h"
#include "platform/StopSource.h"
#include "support/LoopbackPeers.h"

namespace varnley {
namespace {

using Clock = std::chrono::steady_clock;

bool RawConnect(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  if (ok) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  ::close(fd);
  return ok;
}

// A loopback port that accepts or refuses every connect, for the benchmark's life.
struct Target {
  explicit Target(bool open) {
    if (open)
      accepting = std::make_unique<test::AcceptingListener>("127.0.0.1", SOMAXCONN);
    else
      refusing = std::make_unique<test::RefusingPort>();
  }
  std::uint16_t port() const { return accepting ? accepting->port() : refusing->port(); }
  std::unique_ptr<test::AcceptingListener> accepting;
  std::unique_ptr<test::RefusingPort> refusing;
};

std::chrono::milliseconds TimeoutOf(const benchmark::State& state) {
  return std::chrono::milliseconds(state.range(1) * 1000);
}

void BM_RawConnect(benchmark::State& state) {
  const bool open = state.range(0) != 0;
  Target target(open);
  for (auto _ : state)
    if (RawConnect(target.port()) != open) state.SkipWithError("unexpected answer");
}

void BM_CheckPort(benchmark::State& state) {
  const bool open = state.range(0) != 0;
  Target target(open);
  StopSource stop;  // as the worker calls it
  const auto timeout = TimeoutOf(state);
  for (auto _ : state)
    if (CheckPort("127.0.0.1", target.port(), &stop, timeout) != open)
      state.SkipWithError("unexpected answer");
}

double MedianUs(std::vector<Clock::duration>& times) {
  if (times.empty()) return 0;
  const auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
  std::nth_element(times.begin(), middle, times.end());
  return std::chrono::duration<double, std::micro>(*middle).count();
}

// One raw connect and one CheckPort per iteration, in turns first, each timed on its own.
// The counters are medians in microseconds per call: a loaded machine's occasional
// millisecond stall of one thread would otherwise decide the mean.
void BM_ProbeVsRaw(benchmark::State& state) {
  const bool open = state.range(0) != 0;
  Target target(open);
  StopSource stop;
  const auto timeout = TimeoutOf(state);
  std::vector<Clock::duration> raw, probe;
  raw.reserve(1 << 20);
  probe.reserve(1 << 20);
  bool rawFirst = true;
  for (auto _ : state) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool doRaw = (turn == 0) == rawFirst;
      const auto t0 = Clock::now();
      const bool answer =
          doRaw ? RawConnect(target.port()) : CheckPort("127.0.0.1", target.port(), &stop, timeout);
      (doRaw ? raw : probe).push_back(Clock::now() - t0);
      if (answer != open) state.SkipWithError("unexpected answer");
    }
    rawFirst = !rawFirst;
  }
  const double rawUs = MedianUs(raw);
  const double probeUs = MedianUs(probe);
  state.counters["raw_us"] = rawUs;
  state.counters["checkport_us"] = probeUs;
  state.counters["ratio"] = rawUs > 0 ? probeUs / rawUs : 0;
}

// Arguments: open (1) or refused (0); CheckPort's timeout in seconds (0: the system's).
BENCHMARK(BM_RawConnect)->ArgNames({"open"})->Args({1})->Args({0});
BENCHMARK(BM_CheckPort)->ArgNames({"open", "timeout"})->ArgsProduct({{1, 0}, {0, 5}});
BENCHMARK(BM_ProbeVsRaw)->ArgNames({"open", "timeout"})->ArgsProduct({{1, 0}, {0, 5}});

}  // namespace
}  // namespace varnley
