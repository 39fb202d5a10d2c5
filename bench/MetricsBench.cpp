// A scrape of the metrics page (collect and text exposition, as the exposer does per request)
// with every port holding a result, beside a plain formatting of the same lines.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "alert/MailStatus.h"
#include "monitor/Session.h"
#include "service/MetricsEndpoint.h"

namespace varnley {
namespace {

// count ports, one per host, every one with a result.
void fill(Session& session, std::size_t count) {
  std::vector<MonitoredHost> rows;
  std::vector<PortResult> results;
  rows.reserve(count);
  results.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string host = "127." + std::to_string(i / 62500 % 250) + "." +
                       std::to_string(i / 250 % 250) + "." + std::to_string(i % 250 + 1);
    results.push_back({host, 8080, i % 3 != 0, std::chrono::microseconds(150 + i % 1000)});
    rows.push_back({std::move(host), "8080", ""});
  }
  session.hosts().replaceAll(std::move(rows));
  session.monitor().probeResults().Publish(results);
}

void BM_MetricsScrape(benchmark::State& state) {
  Session session("", false);
  MailStatus mail;
  MetricsEndpoint endpoint(session.monitor(), session.hosts(), mail);
  fill(session, static_cast<std::size_t>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string body = endpoint.Scrape();
    bytes = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  state.counters["body_bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MetricsScrape)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The floor: the same two lines per port written with snprintf from a ready list.
void BM_MetricsFloor(benchmark::State& state) {
  Session session("", false);
  MailStatus mail;
  PortMetrics metrics(session.monitor(), session.hosts(), mail);
  fill(session, static_cast<std::size_t>(state.range(0)));
  const PortMetrics::Snapshot snapshot = metrics.Take();
  for (auto _ : state) {
    std::string body;
    char line[160];
    for (const auto& port : snapshot.ports) {
      int n =
          std::snprintf(line, sizeof line, "varnley_probe_success{host=\"%s\",port=\"%s\"} %d\n",
                        port.host.c_str(), port.port.c_str(), port.open ? 1 : 0);
      body.append(line, static_cast<std::size_t>(n));
      n = std::snprintf(line, sizeof line,
                        "varnley_probe_duration_seconds{host=\"%s\",port=\"%s\"} %g\n",
                        port.host.c_str(), port.port.c_str(), port.seconds);
      body.append(line, static_cast<std::size_t>(n));
    }
    benchmark::DoNotOptimize(body.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MetricsFloor)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varnley
