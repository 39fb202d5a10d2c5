// The settings loader and the host writer beside a plain line read of the same file; and the
// loader and both writers over hostile files of growing size, whose times must grow with it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "model/Settings.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;

// Hostile files drop many rows; saying so on every run would time the terminal.
class Quiet : public Diagnostics {
 public:
  void Report(Severity, std::string_view) override {}
} quiet;

std::vector<MonitoredHost> MakeHosts(std::size_t count) {
  std::vector<MonitoredHost> hosts;
  hosts.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    hosts.push_back({"10." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) +
                         "." + std::to_string(i % 256),
                     "21,80,443,8080,", ""});
  }
  return hosts;
}

// A settings file with `count` hosts, written once per size and process.
std::string FileWithHosts(std::size_t count) {
  const fs::path path = fs::temp_directory_path() / ("varnley-bench-" + std::to_string(::getpid()) +
                                                     "-" + std::to_string(count) + ".ini");
  if (!fs::exists(path)) {
    AlertSettings settings;
    settings.password = "secret";
    SaveAlertSettings(path.string(), settings);
    SaveHosts(path.string(), MakeHosts(count));
  }
  return path.string();
}

struct Cleanup {
  ~Cleanup() {
    for (std::size_t n : {10000u, 100000u}) {
      std::error_code ec;
      fs::remove(fs::temp_directory_path() / ("varnley-bench-" + std::to_string(::getpid()) + "-" +
                                              std::to_string(n) + ".ini"),
                 ec);
    }
  }
} cleanup;

void BM_ReadLinesBaseline(benchmark::State& state) {
  const std::string path = FileWithHosts(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::size_t lines = 0;
    while (std::getline(in, line)) ++lines;
    benchmark::DoNotOptimize(lines);
  }
}

void BM_SettingsLoad(benchmark::State& state) {
  const std::string path = FileWithHosts(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    AlertSettings settings;
    std::vector<MonitoredHost> hosts;
    LoadSettings(path, settings, hosts, quiet);
    if (hosts.size() != static_cast<std::size_t>(state.range(0))) state.SkipWithError("short load");
    benchmark::DoNotOptimize(hosts.data());
  }
}

// Saving what was loaded, as the program does at exit: read, update, write whole, rename.
void BM_SaveHosts(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::string path = FileWithHosts(count);
  const auto hosts = MakeHosts(count);
  for (auto _ : state)
    if (!SaveHosts(path, hosts).ok) state.SkipWithError("save failed");
}

BENCHMARK(BM_ReadLinesBaseline)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SettingsLoad)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveHosts)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Shapes that cost the most per byte: 0 one header again and again, 1 a new header each line,
// 2 a valid host in each section, 3 blank lines, 4 one huge line.
std::string HostileFile(int shape, std::size_t size) {
  const fs::path path =
      fs::temp_directory_path() / ("varnley-bench-hostile-" + std::to_string(::getpid()) + ".ini");
  std::string text = "[config]\nhostcount=99999999\n";
  if (shape == 4) text += "x=" + std::string(size, 'a') + "\n";
  for (std::size_t i = 1; text.size() < size; ++i) {
    switch (shape) {
      case 0:
        text += "[host1]\n";
        break;
      case 1:
        text += "[host" + std::to_string(i) + "]\n";
        break;
      case 2:
        text += "[host" + std::to_string(i) + "]\nhost=0.0.0.0\n";
        break;
      default:
        text += "\n";
        break;
    }
  }
  std::ofstream(path, std::ios::binary) << text;
  return path.string();
}

template <class Op>
void Hostile(benchmark::State& state, Op op) {
  const std::size_t size = static_cast<std::size_t>(state.range(1)) << 20;
  const std::string path = HostileFile(static_cast<int>(state.range(0)), size);
  for (auto _ : state) op(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  fs::remove(path);
}

void BM_HostileLoad(benchmark::State& state) {
  Hostile(state, [](const std::string& path) {
    AlertSettings settings;
    std::vector<MonitoredHost> hosts;
    LoadSettings(path, settings, hosts, quiet);
    benchmark::DoNotOptimize(hosts.data());
  });
}

void BM_HostileSaveHosts(benchmark::State& state) {
  const std::vector<MonitoredHost> hosts = MakeHosts(10);
  Hostile(state, [&](const std::string& path) { SaveHosts(path, hosts); });
}

void BM_HostileSaveAlertSettings(benchmark::State& state) {
  Hostile(state, [](const std::string& path) { SaveAlertSettings(path, AlertSettings{}); });
}

#define VARNLEY_HOSTILE(bm) \
  BENCHMARK(bm)->ArgsProduct({{0, 1, 2, 3, 4}, {2, 20}})->Unit(benchmark::kMillisecond)
VARNLEY_HOSTILE(BM_HostileLoad);
VARNLEY_HOSTILE(BM_HostileSaveHosts);
VARNLEY_HOSTILE(BM_HostileSaveAlertSettings);

}  // namespace
}  // namespace varnley
