// A scrape of the metrics page (collect and text exposition, as the exposer does per request)
// with every port holding a result, beside a plain formatting of the same lines.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "alert/MailStatus.h"
#include "monitor/Session.h"
#include "service/MetricsEndpoint.h"
#include "service/StatusPage.h"

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

// A history of 30 days for every port, worked out once from a made-up list of outages: port i
// goes down every (i % 7 + 1) days for (i % 13 + 1) minutes, a few ports are down now.
class ThirtyDayHistory : public StatusHistory {
 public:
  ThirtyDayHistory(Session& session, StatusTime now) {
    using namespace std::chrono;
    session.hosts().read([&](const std::vector<MonitoredHost>& rows) {
      std::size_t i = 0;
      for (const MonitoredHost& row : rows) {
        PortHistory h;
        std::vector<std::pair<StatusTime, StatusTime>> down;
        for (auto start = now - days(30) + hours(i % 24); start < now; start += days(i % 7 + 1))
          down.emplace_back(start, std::min(now, start + minutes(i % 13 + 1)));
        if (i % 3 == 0) down.emplace_back(now - minutes(i % 90 + 1), now);
        const auto upShare = [&](StatusTime from, StatusTime to) {
          duration<double> lost{0};
          for (const auto& [a, b] : down)
            if (b > from && a < to) lost += std::min(b, to) - std::max(a, from);
          return 1.0 - lost / duration<double>(to - from);
        };
        h.uptime30d = upShare(now - days(30), now);
        h.uptime24h = upShare(now - hours(24), now);
        for (std::size_t cell = 0; cell < kStatusStripCells; ++cell) {
          const auto end = now - minutes(30) * static_cast<int>(kStatusStripCells - 1 - cell);
          h.strip[cell] = static_cast<float>(upShare(end - minutes(30), end));
        }
        h.since = down.back().second == now ? down.back().first : down.back().second;
        if (i % 3 == 0) h.reason = "Socket Error # 10061\r\nConnection refused.";
        for (const auto& [a, b] : down)
          outages_.push_back({a, b == now ? std::nullopt : std::optional(b), row.host, 8080,
                              "Connection refused.", static_cast<int>(i % 3)});
        hosts_.push_back(row.host);
        byPort_.push_back(std::move(h));
        ++i;
      }
    });
    std::sort(outages_.begin(), outages_.end(),
              [](const StatusOutage& a, const StatusOutage& b) { return a.start > b.start; });
  }

  std::vector<PortHistory> Ports(const std::vector<StatusPortKey>& ports,
                                 StatusTime) const override {
    std::vector<PortHistory> answer;
    answer.reserve(ports.size());
    // The table's order, which the page asks in: checked, not searched.
    for (std::size_t i = 0; i < ports.size(); ++i)
      answer.push_back(ports[i].host == hosts_.at(i) ? byPort_[i] : PortHistory());
    return answer;
  }
  std::vector<StatusOutage> Outages(std::size_t limit) const override {
    return {outages_.begin(), outages_.begin() + std::min(limit, outages_.size())};
  }

 private:
  std::vector<std::string> hosts_;
  std::vector<PortHistory> byPort_;
  std::vector<StatusOutage> outages_;
};

// The page a browser gets: the snapshot, the history's answers and the rendering.
void BM_StatusPage(benchmark::State& state) {
  Session session("", false);
  MailStatus mail;
  MetricsEndpoint endpoint(session.monitor(), session.hosts(), mail);
  fill(session, static_cast<std::size_t>(state.range(0)));
  endpoint.SetHistory(std::make_shared<ThirtyDayHistory>(session, std::chrono::system_clock::now()),
                      "");
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string page = endpoint.StatusPage();
    bytes = page.size();
    benchmark::DoNotOptimize(page.data());
  }
  state.counters["page_bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StatusPage)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varnley
