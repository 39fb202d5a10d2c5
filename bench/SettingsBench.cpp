// The settings loader and the host writer beside a plain line read of the same file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "model/Settings.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;

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
    LoadSettings(path, settings, hosts);
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

}  // namespace
}  // namespace varnley
