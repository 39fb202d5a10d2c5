// Feeds the history from the monitor without a second path to the same facts: probe results
// through the worker's pass subscription (as the metrics get them), DOWN and UP derived the way
// the alert queues see them, and the alerts as the dispatch and the sender hand them on.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "history/HistoryWriter.h"
#include "monitor/Monitor.h"
#include "monitor/ProbeResults.h"

namespace varnley {

class HistoryRecorder {
 public:
  // Follows the monitor until destroyed; notices monitoring stop by itself (within about a
  // second), so a stop and a later start leave a gap of "no data" between them.
  HistoryRecorder(Monitor& monitor, HistoryWriter& writer);
  // The same over bare results; `running` (may be empty) says whether monitoring runs.
  HistoryRecorder(ProbeResults& results, HistoryWriter& writer, std::function<bool()> running = {});
  ~HistoryRecorder();
  HistoryRecorder(const HistoryRecorder&) = delete;
  HistoryRecorder& operator=(const HistoryRecorder&) = delete;

  // An alert text ("\"host:port,...\" is DOWN.") handed to a channel (HistoryWriter::kBox,
  // kMail, ...). Returns at once.
  void AlertHanded(const std::string& channel, const std::string& text);
  // What the sender made of a mail with this text.
  void MailOutcome(const std::string& text, bool sent, const std::string& reason);
  // Monitoring started or stopped (Monitor::Start clears the deactivated ports, so the first
  // pass after it begins every port afresh). Not needed when built over a Monitor.
  void MonitoringStarted();
  void MonitoringStopped();

 private:
  void passed(const std::vector<PortResult>& results);
  void watchRunning();

  ProbeResults& results_;
  HistoryWriter& writer_;
  std::function<bool()> running_;
  std::size_t subscription_ = 0;
  std::mutex mutex_;
  // UP (true) or DOWN per "host\nport" since monitoring started, as the worker last settled it.
  std::unordered_map<std::string, bool> states_;
  bool fresh_ = true;        // the next pass begins a new stretch of monitoring
  bool wasRunning_ = false;  // touched on the writer's thread only
};

// The state and the "host:port" entries an alert text names ("\"a:1,b:2\" is DOWN.").
struct AlertTextParts {
  bool down = false;
  std::vector<std::string> entries;
};
AlertTextParts ParseAlertText(const std::string& text);

}  // namespace varnley
