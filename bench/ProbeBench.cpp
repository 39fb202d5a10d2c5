// CheckPort beside the floor it stands on: a raw blocking socket()+connect()+close(); the
// batch probe beside the same connects made one after another; a whole round of the worker.
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
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "monitor/Probe.h"
#include "monitor/TPortThread.h"
#include "platform/StopSource.h"
#include "platform/TcpProbe.h"
#include "support/LoopbackPeers.h"

namespace varnley {
namespace {

using Clock = std::chrono::steady_clock;

bool RawConnect(std::uint16_t port, std::uint32_t address = INADDR_LOOPBACK) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(address);
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

// The i-th of many loopback addresses: 127.0.0.1, 127.0.0.2, ... 127.0.0.250, 127.0.1.1, ...
std::array<std::uint8_t, 4> LoopbackOctets(std::size_t i) {
  return {127, static_cast<std::uint8_t>(i / 62500 % 250), static_cast<std::uint8_t>(i / 250 % 250),
          static_cast<std::uint8_t>(i % 250 + 1)};
}

std::string LoopbackHost(std::size_t i) {
  const auto o = LoopbackOctets(i);
  return "127." + std::to_string(o[1]) + "." + std::to_string(o[2]) + "." + std::to_string(o[3]);
}

// N connects to a port that nothing listens on (held bound on 127.0.0.1, unused on the
// other loopback addresses), one loopback address each.
std::vector<ProbeTarget> RefusedTargets(std::size_t n, std::uint16_t port) {
  std::vector<ProbeTarget> targets;
  for (std::size_t i = 0; i < n; ++i) targets.push_back({LoopbackOctets(i), port});
  return targets;
}

void BM_ProbeBatch(benchmark::State& state) {
  ProbeDescriptorBudget();  // as monitoring does before its first pass
  test::RefusingPort refusing;
  const auto targets = RefusedTargets(static_cast<std::size_t>(state.range(0)), refusing.port());
  std::vector<ProbeOutcome> outcomes(targets.size());
  StopSource stop;
  for (auto _ : state) {
    TcpConnectProbeBatch(targets, outcomes, &stop);
    for (const ProbeOutcome& o : outcomes)
      if (o.result != ProbeResult::Closed) state.SkipWithError("a target did not refuse");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The floor for one port at a time: N plain blocking socket()+connect()+close() in a row.
void BM_RawConnectSequential(benchmark::State& state) {
  test::RefusingPort refusing;
  const auto targets = RefusedTargets(static_cast<std::size_t>(state.range(0)), refusing.port());
  for (auto _ : state) {
    for (const ProbeTarget& t : targets) {
      const std::uint32_t address = std::uint32_t{t.octets[0]} << 24 |
                                    std::uint32_t{t.octets[1]} << 16 |
                                    std::uint32_t{t.octets[2]} << 8 | t.octets[3];
      if (RawConnect(t.port, address)) state.SkipWithError("a target did not refuse");
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// One round of the worker over N rows whose port refuses, 1,000 ports per pass: the time
// from the first probe of a round to the last DOWN it queues.
void BM_FullRound(benchmark::State& state) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kParallel = 1000;
  test::RefusingPort refusing;
  HostTable hosts;
  std::vector<MonitoredHost> table;
  for (std::size_t i = 0; i < rows; ++i)
    table.push_back({LoopbackHost(i), std::to_string(refusing.port()) + ",", ""});
  AlertSettings settings;
  settings.parallel = static_cast<int>(kParallel);
  AlertQueues queues;
  for (auto _ : state) {
    state.PauseTiming();
    hosts.replaceAll(table);
    queues.ClearDownQueue();
    TPortThread worker(
        hosts, settings, queues, nullptr, TPortThread::NoThread{},
        [](const std::vector<PortTarget>& targets, const StopSource& stop) {
          return CheckPorts(targets, &stop, std::chrono::milliseconds(0));
        },
        ProbeDescriptorBudget());
    state.ResumeTiming();
    for (std::size_t done = 0; done < rows; done += kParallel) worker.runPass();
    state.PauseTiming();
    if (queues.downEntries().size() != rows) state.SkipWithError("not every port went DOWN");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Arguments: open (1) or refused (0); CheckPort's timeout in seconds (0: the system's).
BENCHMARK(BM_RawConnect)->ArgNames({"open"})->Args({1})->Args({0});
BENCHMARK(BM_CheckPort)->ArgNames({"open", "timeout"})->ArgsProduct({{1, 0}, {0, 5}});
BENCHMARK(BM_ProbeVsRaw)->ArgNames({"open", "timeout"})->ArgsProduct({{1, 0}, {0, 5}});
BENCHMARK(BM_ProbeBatch)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawConnectSequential)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FullRound)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varnley
