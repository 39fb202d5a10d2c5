// The port-check worker: walks the host table a slice of ports per pass, probes the slice at
// once and queues every change.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "model/AlertSettings.h"
#include "model/HostTable.h"
#include "monitor/AlertQueues.h"
#include "monitor/Monitor.h"
#include "monitor/ProbeResults.h"
#include "platform/Diagnostics.h"
#include "platform/StopSource.h"

namespace varnley {

class TPortThread : public Worker {
 public:
  // The pause between the second and later probes that confirm a refused port.
  static constexpr std::chrono::milliseconds kRetryPause{1000};

  // The thread starts at once, at row 0 and port 0. A pass takes the next `parallel` ports
  // (no more than maxParallel) and probes them with batch; without batch, one after another
  // with probe. Each pass's settled results go to `results` when given.
  TPortThread(HostTable& hosts, const AlertSettings& settings, AlertQueues& queues,
              Monitor::ProbeFn probe, Monitor::BatchProbeFn batch = {},
              std::size_t maxParallel = kMaxParallel, const ProbeResults* results = nullptr);
  // Construction without a thread, for driving passes by hand, or for setting the worker up
  // before launch() starts its thread.
  struct NoThread {};
  TPortThread(HostTable& hosts, const AlertSettings& settings, AlertQueues& queues,
              Monitor::ProbeFn probe, NoThread, Monitor::BatchProbeFn batch = {},
              std::size_t maxParallel = kMaxParallel, const ProbeResults* results = nullptr);
  ~TPortThread() override;

  void requestStop() override;
  void join() override;

  // Where a pass that keeps failing is said (stderr unless told otherwise). Before launch().
  void setDiagnostics(Diagnostics& diagnostics) { diagnostics_ = &diagnostics; }
  // Starts the thread of a worker made with NoThread; no effect when it has one.
  void launch();

  // The next port the round would probe. After join(), or between runPass calls. A pass cut
  // short by a stop request probed nothing that counts, so its ports are still ahead.
  RoundPlace place() const;
  // Before launch() or the first runPass: the round goes on from where an earlier worker
  // left it, found by host and port in the table as it is at the next pass.
  void resumeAt(RoundPlace place) { resumeAt_ = std::move(place); }

  // One pass of the loop, without the sleep that follows it. Never throws.
  void runPass();

  std::size_t currentRow() const { return currentRow_; }
  std::size_t currentPort() const { return currentPort_; }

 private:
  // One port of a pass: where it is, the row as it was when the slice was taken, and what
  // the probes found.
  struct Step {
    std::size_t row;
    std::size_t copy;  // index into Slice::rows
    std::string entry;
    int port;
    bool known;  // in the row's deactivated ports
    bool open = false;
    std::chrono::nanoseconds duration{0};  // of the last probe
    std::string reason{};   // the batch's, of the last probe
    std::string address{};
    bool unresolved = false;
  };
  struct Slice {
    std::vector<MonitoredHost> rows;
    std::vector<Step> steps;
  };

  // How soon a report tries again when the queue's flag is held.
  static constexpr std::chrono::milliseconds kQueueRetryPause{1};

  void run();
  void pass();
  Slice takeSlice(std::size_t count);
  // Probes the given steps of the slice and sets their `open`; false when stopped meanwhile.
  bool probe(Slice& slice, const std::vector<std::size_t>& which);
  // Probes refused ports that are not down yet again, up to the configured retries, until each
  // has answered or run out of retries; false when stopped meanwhile.
  bool confirmRefused(Slice& slice);
  // Writes the change back when the row still is what was probed; true if it was written.
  bool recordDown(std::size_t row, const MonitoredHost& probed, const std::string& entry);
  bool recordUp(std::size_t row, const MonitoredHost& probed, const std::string& entry);
  void report(bool (AlertQueues::*add)(const std::string&), const std::string& text);
  void publish(const Slice& slice) const;
  void passFailed(std::string_view what) noexcept;
  void goOnFrom(const std::vector<MonitoredHost>& rows, const RoundPlace& place);

  HostTable& hosts_;
  const AlertSettings& settings_;
  AlertQueues& queues_;
  Monitor::ProbeFn probe_;
  Monitor::BatchProbeFn batch_;
  std::size_t maxParallel_;
  const ProbeResults* results_;
  Diagnostics* diagnostics_ = &StderrDiagnostics();
  // The failures already said, so that one that repeats every pass is said once.
  std::vector<std::string> failuresSaid_;
  StopSource stop_;
  // Touched only by the worker thread (or by the caller of runPass when there is none).
  std::size_t currentRow_ = 0;
  std::size_t currentPort_ = 0;
  std::optional<RoundPlace> resumeAt_;
  std::thread thread_;
};

}  // namespace varnley
