// The history's costs: a worker round with the history recording beside the same round
// without it, the uptime queries the window and the report make over a month of 1,000 ports,
// and the size of the file a year of 1,000 ports leaves.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "history/HistoryQueries.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryWriter.h"
#include "history/PreparedHistory.h"
#include "model/TempDir.h"
#include "monitor/Probe.h"
#include "monitor/TPortThread.h"
#include "platform/StopSource.h"
#include "platform/TcpProbe.h"
#include "support/LoopbackPeers.h"

namespace varnley {
namespace {

// 2026-03-02 12:00 UTC.
constexpr HistoryTime kNow = 1772409600000 + 12 * kHourMs;

// One round of the worker over N rows whose port refuses, 1,000 ports per pass, with or
// without a history writer following the pass subscription. The writer commits on its own
// thread meanwhile, as it does while monitoring runs. The history follows one stretch of
// monitoring across the rounds, as it does a long run: the first round opens every port's
// interval, the later ones only count probes.
void FullRound(benchmark::State& state, bool history) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kParallel = 1000;
  test::RefusingPort refusing;
  HostTable hosts;
  std::vector<MonitoredHost> table;
  for (std::size_t i = 0; i < rows; ++i)
    table.push_back(
        {test::PortHost(static_cast<int>(i) + 1), std::to_string(refusing.port()) + ",", ""});
  AlertSettings settings;
  settings.parallel = static_cast<int>(kParallel);
  AlertQueues queues;
  ProbeResults results;
  test::TempDir dir;
  std::unique_ptr<HistoryWriter> writer;
  std::unique_ptr<HistoryRecorder> recorder;
  if (history) {
    HistoryOptions options;
    options.path = dir.file("bench.history.sqlite");
    Status status;
    writer = HistoryWriter::Open(options, status);
    if (!writer) {
      state.SkipWithError(status.reason.c_str());
      return;
    }
    recorder = std::make_unique<HistoryRecorder>(results, *writer);
  }
  for (auto _ : state) {
    state.PauseTiming();
    hosts.replaceAll(table);
    queues.ClearDownQueue();
    TPortThread worker(
        hosts, settings, queues, nullptr, TPortThread::NoThread{},
        [](const std::vector<PortTarget>& targets, const StopSource& stop) {
          return CheckPorts(targets, &stop, std::chrono::milliseconds(0));
        },
        ProbeDescriptorBudget(), history ? &results : nullptr);
    state.ResumeTiming();
    for (std::size_t done = 0; done < rows; done += kParallel) worker.runPass();
    state.PauseTiming();
    if (queues.downEntries().size() != rows) state.SkipWithError("not every port went DOWN");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_FullRound(benchmark::State& state) { FullRound(state, false); }
void BM_FullRoundHistory(benchmark::State& state) { FullRound(state, true); }

// Uptime over 24 hours, 7 and 30 days, outages and connect times of every port, as the window
// opens: a month of N ports, each restarting and going DOWN once a day.
void BM_UptimeQuery(benchmark::State& state) {
  test::TempDir dir;
  const std::string path = dir.file("query.history.sqlite");
  std::string why;
  if (!test::PrepareHistory(path, {static_cast<int>(state.range(0)), 30, kNow, true}, why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  Status status;
  auto reader = HistoryReader::Open(path, status);
  for (auto _ : state) {
    const auto summaries = reader->Summaries(kNow);
    if (summaries.size() != static_cast<std::size_t>(state.range(0)))
      state.SkipWithError("a port is missing");
    benchmark::DoNotOptimize(summaries.data());
  }
}

// The file a year of 1,000 ports leaves once pruning has had its way: hours of 31 days, days
// of the year, minutes of 48 hours, a restart and an outage per port each week.
void BM_HistoryFileSize(benchmark::State& state) {
  test::TempDir dir;
  const std::string path = dir.file("year.history.sqlite");
  std::string why;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(path);
    state.ResumeTiming();
    if (!test::PrepareHistory(path, {1000, 365, kNow, true, 7}, why)) {
      state.SkipWithError(why.c_str());
      return;
    }
  }
  SqliteDb db;
  db.open(path, true);
  const double bytes =
      static_cast<double>(db.scalar("PRAGMA page_count") * db.scalar("PRAGMA page_size"));
  state.counters["bytes"] = bytes;
  state.counters["MiB"] = bytes / (1024.0 * 1024.0);
  for (const char* table : {"hours", "days", "minute_blocks", "minutes", "runs", "alerts"}) {
    const std::string sql = std::string("SELECT count(*) FROM ") + table;
    state.counters[std::string("rows_") + table] = static_cast<double>(db.scalar(sql));
  }
}

BENCHMARK(BM_FullRound)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullRoundHistory)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UptimeQuery)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HistoryFileSize)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace varnley
