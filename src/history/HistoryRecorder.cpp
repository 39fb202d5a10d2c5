#include "history/HistoryRecorder.h"

#include <sstream>

namespace varnley {

AlertTextParts ParseAlertText(const std::string& text) {
  AlertTextParts parts;
  const std::string suffix = " is DOWN.";
  parts.down = text.size() >= suffix.size() &&
               text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
  const auto open = text.find('"');
  const auto close = open == std::string::npos ? open : text.find('"', open + 1);
  if (close == std::string::npos) return parts;
  std::istringstream list(text.substr(open + 1, close - open - 1));
  for (std::string entry; std::getline(list, entry, ',');)
    if (!entry.empty()) parts.entries.push_back(entry);
  return parts;
}

HistoryRecorder::HistoryRecorder(Monitor& monitor, HistoryWriter& writer)
    : HistoryRecorder(monitor.probeResults(), writer, [&monitor] { return monitor.Running(); }) {}

HistoryRecorder::HistoryRecorder(ProbeResults& results, HistoryWriter& writer,
                                 std::function<bool()> running)
    : results_(results), writer_(writer), running_(std::move(running)) {
  subscription_ =
      results_.Subscribe([this](const std::vector<PortResult>& batch) { passed(batch); });
  if (running_) writer_.SetTick([this] { watchRunning(); });
}

HistoryRecorder::~HistoryRecorder() {
  if (running_) writer_.SetTick({});
  results_.Unsubscribe(subscription_);
}

void HistoryRecorder::watchRunning() {
  const bool running = running_();
  if (wasRunning_ && !running) MonitoringStopped();
  wasRunning_ = running;
}

void HistoryRecorder::MonitoringStarted() {
  std::lock_guard lock(mutex_);
  fresh_ = true;
}

void HistoryRecorder::MonitoringStopped() {
  {
    std::lock_guard lock(mutex_);
    if (fresh_) return;  // nothing recorded since the last start
    fresh_ = true;
  }
  writer_.Stopped();
}

void HistoryRecorder::passed(const std::vector<PortResult>& results) {
  std::lock_guard lock(mutex_);
  if (fresh_) {
    // Monitoring's start cleared the deactivated ports: every port begins afresh.
    writer_.ResetChanges();
    writer_.Started();
    fresh_ = false;
  }
  writer_.Probes(results, /*changes=*/true);
}

void HistoryRecorder::AlertHanded(const std::string& channel, const std::string& text) {
  const AlertTextParts parts = ParseAlertText(text);
  writer_.Alert(channel, parts.down, parts.entries, text);
}

void HistoryRecorder::MailOutcome(const std::string& text, bool sent, const std::string& reason) {
  writer_.Outcome(HistoryWriter::kMail, text, sent, reason);
}

}  // namespace varnley
