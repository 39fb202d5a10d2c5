// Importing a host list: reading, merging into a table that already has rows, and handing the
// result to the host table, for files ten times apart in size.
#include <benchmark/benchmark.h>

#include <string>

#include "model/HostImport.h"
#include "model/HostTable.h"

namespace varnley {
namespace {

std::string MixedList(int lines) {
  std::string content = "# inventory export\n";
  for (int i = 0; i < lines; ++i) {
    const std::string host = "10." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250) + ".1";
    switch (i % 3) {
      case 0: content += host + ":80,443\n"; break;
      case 1: content += host + " 22 8080\n"; break;
      default: content += host + ":" + std::to_string(1024 + i % 50000) + "\n"; break;
    }
  }
  return content;
}

void BM_ImportHosts(benchmark::State& state) {
  const std::string content = MixedList(static_cast<int>(state.range(0)));
  std::vector<MonitoredHost> existing;
  for (int i = 0; i < 100; ++i) existing.push_back({"10.0." + std::to_string(i) + ".1", "80,", ""});
  for (auto _ : state) {
    HostTable table;
    table.replaceAll(existing);
    ImportPreview preview = PreviewImport(content, table.snapshot());
    table.replaceAll(std::move(preview.rows));
    benchmark::DoNotOptimize(table.size());
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ImportHosts)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varnley
