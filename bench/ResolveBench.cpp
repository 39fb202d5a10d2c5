// Name lookups through a loopback dnsmasq: many in flight at once beside the same names one
// at a time, and a whole round of the worker over names. Every iteration starts with nothing
// kept, so each name is asked of the server again.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "monitor/Probe.h"
#include "monitor/TPortThread.h"
#include "platform/Resolver.h"
#include "platform/StopSource.h"
#include "platform/TcpProbe.h"
#include "support/Dnsmasq.h"
#include "support/LoopbackPeers.h"

namespace varnley {
namespace {

// Every name under bench.test is 127.0.0.1.
test::Dnsmasq& Server() {
  static test::Dnsmasq server({"--address=/bench.test/127.0.0.1", "--cache-size=10000"});
  return server;
}

std::vector<std::string> Names(std::size_t n) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < n; ++i) {
    std::string name = "n";
    name += std::to_string(i);
    name += ".bench.test";
    names.push_back(std::move(name));
  }
  return names;
}

// Outside the timing: the next iteration asks the server again.
void ForgetAnswers(benchmark::State& state) {
  state.PauseTiming();
  Resolver::ClearCache();
  state.ResumeTiming();
}

void BM_ResolveBatch(benchmark::State& state) {
  const auto names = Names(static_cast<std::size_t>(state.range(0)));
  Resolver resolver(Server().dns());
  for (auto _ : state) {
    ForgetAnswers(state);
    std::size_t found = 0;
    const Deadline deadline = Deadline::After(std::chrono::seconds(5));
    for (const std::string& name : names)
      resolver.lookup(name, deadline,
                      [&](const LookupAnswer& a) { found += a.failure == LookupFailure::none; });
    while (resolver.busy()) {
      pollfd p{resolver.descriptor(), POLLIN, 0};
      ::poll(&p, 1, resolver.waitMs());
      resolver.process();
    }
    if (found != names.size()) state.SkipWithError("a name did not resolve");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ResolveSequential(benchmark::State& state) {
  const auto names = Names(static_cast<std::size_t>(state.range(0)));
  Resolver resolver(Server().dns());
  for (auto _ : state) {
    ForgetAnswers(state);
    for (const std::string& name : names) {
      const auto answer =
          ResolveName(resolver, name, Deadline::After(std::chrono::seconds(5)), nullptr);
      if (!answer || answer->failure != LookupFailure::none)
        state.SkipWithError("a name did not resolve");
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// One round of the worker over 1,000 names with 10 refusing ports each, 1,000 ports per pass:
// every name looked up (once for its ten ports) and every port probed.
void BM_FullRoundNames(benchmark::State& state) {
  const auto ports = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kPortsPerName = 10;
  constexpr std::size_t kParallel = 1000;
  std::vector<std::unique_ptr<test::RefusingPort>> refusing;
  std::string portList;
  for (std::size_t p = 0; p < kPortsPerName; ++p) {
    refusing.push_back(std::make_unique<test::RefusingPort>());
    portList += std::to_string(refusing.back()->port()) + ",";
  }
  HostTable hosts;
  std::vector<MonitoredHost> table;
  for (const std::string& name : Names(ports / kPortsPerName)) table.push_back({name, portList, ""});
  AlertSettings settings;
  settings.parallel = static_cast<int>(kParallel);
  const std::string dns = Server().dns();
  AlertQueues queues;
  for (auto _ : state) {
    state.PauseTiming();
    Resolver::ClearCache();
    hosts.replaceAll(table);
    queues.ClearDownQueue();
    TPortThread worker(
        hosts, settings, queues, nullptr, TPortThread::NoThread{},
        [&dns](const std::vector<PortTarget>& targets, const StopSource& stop) {
          return CheckPorts(targets, &stop, std::chrono::milliseconds(0), dns);
        },
        ProbeDescriptorBudget());
    state.ResumeTiming();
    for (std::size_t done = 0; done < ports; done += kParallel) worker.runPass();
    state.PauseTiming();
    if (queues.downEntries().size() != ports) state.SkipWithError("not every port went DOWN");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_ResolveBatch)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResolveSequential)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullRoundNames)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varnley
