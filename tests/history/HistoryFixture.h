// Test helper: a history file in a fresh folder, written through the real writer with a clock
// the test moves, and the diagnostics it said.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "history/HistoryWriter.h"
#include "model/TempDir.h"

namespace varnley::test {

// 2026-03-02 00:00:00 UTC: a Monday at midnight, so day and hour buckets start at round times.
inline constexpr HistoryTime kEpoch = 1772409600000;

struct RecordingDiagnostics : Diagnostics {
  void Report(Severity, std::string_view text) override {
    std::lock_guard lock(mutex);
    lines.emplace_back(text);
  }
  bool has(const std::string& part) {
    std::lock_guard lock(mutex);
    for (const std::string& line : lines)
      if (line.find(part) != std::string::npos) return true;
    return false;
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

struct HistoryFixture {
  HistoryFixture() : path(dir.file("test.history.sqlite")) {}

  std::unique_ptr<HistoryWriter> open(int days = kDefaultHistoryDays) {
    HistoryOptions options;
    options.path = path;
    options.days = days;
    options.clock = [this] { return clock.load(); };
    options.diagnostics = &said;
    options.eventCap = eventCap;
    options.aggregateCap = aggregateCap;
    // The tests commit through Flush, never by the passing of real time.
    options.commitEvery = std::chrono::hours(1);
    Status status;
    auto writer = HistoryWriter::Open(options, status);
    reason = status.reason;
    return writer;
  }

  void at(HistoryTime offset) { clock = kEpoch + offset; }

  static PortResult Result(int port, bool open, int micros = 500) {
    return {"127.0.0.1", port, open, std::chrono::microseconds(micros)};
  }

  TempDir dir;
  std::string path;
  std::atomic<HistoryTime> clock{kEpoch};
  RecordingDiagnostics said;
  std::string reason;
  std::size_t eventCap = 100'000;
  std::size_t aggregateCap = 200'000;
};

}  // namespace varnley::test
