// The worker's pass and the dispatch tick: neither may grow with the size of the host table.
#include <benchmark/benchmark.h>

#include "monitor/Monitor.h"
#include "monitor/TPortThread.h"

namespace varnley {
namespace {

void fillTable(HostTable& hosts, std::size_t count) {
  std::vector<MonitoredHost> rows;
  rows.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    rows.push_back({"127.0." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250 + 1),
                    "80,443,", ""});
  hosts.replaceAll(std::move(rows));
}

// One pass with the probe replaced by a no-op that reports the port open: the cost of
// walking, copying the row and the bookkeeping, without the network.
void BM_WorkerPass(benchmark::State& state) {
  HostTable hosts;
  fillTable(hosts, static_cast<std::size_t>(state.range(0)));
  AlertSettings settings;
  AlertQueues queues;
  TPortThread worker(
      hosts, settings, queues, [](const std::string&, int, const StopSource&) { return true; },
      TPortThread::NoThread{});
  for (auto _ : state) worker.runPass();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WorkerPass)->Arg(10)->Arg(100000);

// A tick that finds 1,000 DOWN entries: drain, build the text, queue it for email.
void BM_TickDrain(benchmark::State& state) {
  HostTable hosts;
  AlertSettings settings;
  settings.showMessage = true;
  settings.sendEmail = true;
  AlertQueues queues;
  Monitor monitor(hosts, settings, queues);
  std::vector<std::string> texts;
  for (int i = 0; i < state.range(0); ++i) texts.push_back("10.0.0.5:" + std::to_string(i + 1));
  for (auto _ : state) {
    state.PauseTiming();
    for (const auto& t : texts) queues.AddDownEntry(t);
    queues.ClearEmailQueue();
    state.ResumeTiming();
    benchmark::DoNotOptimize(monitor.Tick());
  }
}
BENCHMARK(BM_TickDrain)->Arg(1000);

}  // namespace
}  // namespace varnley
