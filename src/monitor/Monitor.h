// Start and stop of monitoring and the 2-second dispatch that turns queued changes into alerts.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "model/AlertSettings.h"
#include "model/HostTable.h"
#include "monitor/AlertQueues.h"
#include "monitor/Probe.h"
#include "monitor/ProbeResults.h"
#include "platform/Diagnostics.h"

namespace varnley {

class StopSource;
class TPortThread;

// Where the port worker's round goes on: the next port it would probe, by host and port entry,
// with its row and port index for a table that no longer has that pair.
struct RoundPlace {
  std::string host;   // "" when the table was empty
  std::string entry;  // the port entry as stored; "" past a row's ports
  std::size_t row = 0;
  std::size_t port = 0;
};

// What one dispatch tick gives the window to show ("" when nothing is to be shown).
struct DispatchTexts {
  std::string down;  // "\"10.0.0.5:80,10.0.0.5:443\" is DOWN."
  std::string up;    // "\"10.0.0.5:80\" is UP."
};

// A worker that runs while monitoring is on (the port worker, the email sender).
class Worker {
 public:
  virtual ~Worker() = default;
  virtual void requestStop() = 0;  // returns at once
  virtual void join() = 0;         // waits for the thread to end
};

class Monitor {
 public:
  using ProbeFn = std::function<bool(const std::string& host, int port, const StopSource& stop)>;
  // Probes many ports at once; answers in the order of the targets.
  using BatchProbeFn = std::function<std::vector<PortAnswer>(const std::vector<PortTarget>& targets,
                                                             const StopSource& stop)>;
  // Makes the email sender when monitoring starts (nullptr: no sender).
  using EmailWorkerFactory =
      std::function<std::unique_ptr<Worker>(AlertQueues& queues, const AlertSettings& settings)>;

  Monitor(HostTable& hosts, const AlertSettings& settings, AlertQueues& queues);
  ~Monitor();  // stops monitoring if it runs

  // default: CheckPort with the settings' timeout. Setting it also drops the batch probe, so
  // that every port is probed with it.
  void SetProbe(ProbeFn probe);
  // default: CheckPorts with the settings' timeout.
  void SetBatchProbe(BatchProbeFn batch);
  void SetEmailWorkerFactory(EmailWorkerFactory factory);
  // Where the failures that no caller hears are said (stderr unless told otherwise): a sender
  // that cannot be made, a pass that keeps failing, a parallel setting that does not fit. The
  // sink must outlive the monitor. Takes effect at the next start.
  void SetDiagnostics(Diagnostics& diagnostics);
  Diagnostics& diagnostics() const { return *diagnostics_; }

  // Clears every row's deactivated ports and the queues, resets the position, starts the
  // workers. No effect when already running. Ports per pass are capped to what the open-file
  // limit allows (raised towards its hard limit first), said to the diagnostics when capped.
  void Start();
  // Stops both workers and returns within about a second whatever they wait on; the queues
  // are cleared, the deactivated ports stay. No effect when not running.
  void Stop();
  // Safe to ask from any thread.
  bool Running() const;

  // Stop and start again without losing anything: the workers end and start afresh, the
  // queues and the deactivated ports stay as they are, and the round goes on from the port
  // it had reached (found again by host and port), so that changes of settings underneath a
  // running monitor, however frequent, leave no port unprobed. Each has no effect unless
  // monitoring runs (Suspend) or was suspended.
  void Suspend();
  void Resume();

  // The timer's work: drain DOWN and UP, hand the message texts to the email queue when
  // sending is on, and return them for display when showing is on (always, with everyChange:
  // a log has no setting that hides it).
  DispatchTexts Tick(bool everyChange = false);

  // Hears every alert text as it is handed to a channel: "mail" from Tick, "box" from
  // BoxShown. Set before monitoring starts; called on the thread that ticks.
  using AlertHook = std::function<void(std::string_view channel, const std::string& text)>;
  void SetAlertHook(AlertHook hook) { alertHook_ = std::move(hook); }
  // The window showed this alert text in a box.
  void BoxShown(const std::string& text) {
    if (alertHook_) alertHook_("box", text);
  }

  // Every settled probe result of the port worker, pass by pass.
  ProbeResults& probeResults() { return probeResults_; }

 private:
  HostTable& hosts_;
  const AlertSettings& settings_;
  AlertQueues& queues_;
  ProbeFn probe_;
  BatchProbeFn batch_;
  EmailWorkerFactory emailWorkerFactory_;
  AlertHook alertHook_;
  Diagnostics* diagnostics_ = &StderrDiagnostics();
  std::unique_ptr<TPortThread> portThread_;
  std::unique_ptr<Worker> emailThread_;
  ProbeResults probeResults_;
  // Written only by the thread that calls Start and Stop.
  std::atomic<bool> running_ = false;
  bool suspended_ = false;
  std::optional<RoundPlace> place_;  // where a resumed round goes on

  void startWorkers();
  void stopWorkers(bool keepPlace);
};

}  // namespace varnley
