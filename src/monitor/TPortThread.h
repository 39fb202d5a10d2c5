// The port-check worker: walks the host table one port per pass and queues every change.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "model/AlertSettings.h"
#include "model/HostTable.h"
#include "monitor/AlertQueues.h"
#include "monitor/Monitor.h"
#include "platform/StopSource.h"

namespace varnley {

class TPortThread : public Worker {
 public:
  // The thread starts at once, at row 0 and port 0.
  TPortThread(HostTable& hosts, const AlertSettings& settings, AlertQueues& queues,
              Monitor::ProbeFn probe);
  // Construction without a thread, for driving passes by hand.
  struct NoThread {};
  TPortThread(HostTable& hosts, const AlertSettings& settings, AlertQueues& queues,
              Monitor::ProbeFn probe, NoThread);
  ~TPortThread() override;

  // The pause between the second and later probes that confirm a refused port.
  static constexpr std::chrono::milliseconds kRetryPause{1000};

  void requestStop() override;
  void join() override;

  // One pass of the loop, without the sleep that follows it. Never throws.
  void runPass();

  std::size_t currentRow() const { return currentRow_; }
  std::size_t currentPort() const { return currentPort_; }

 private:
  void run();
  void pass();
  // Probes a refused port again up to the configured retries; true once it accepted.
  bool confirmRefused(const std::string& host, int port);
  // Writes the change back when the row still is what was probed; true if it was written.
  bool recordDown(std::size_t row, const MonitoredHost& probed, const std::string& entry);
  bool recordUp(std::size_t row, const MonitoredHost& probed, const std::string& entry);
  void report(bool (AlertQueues::*add)(const std::string&), const std::string& text);

  HostTable& hosts_;
  const AlertSettings& settings_;
  AlertQueues& queues_;
  Monitor::ProbeFn probe_;
  StopSource stop_;
  // Touched only by the worker thread (or by the caller of runPass when there is none).
  std::size_t currentRow_ = 0;
  std::size_t currentPort_ = 0;
  std::thread thread_;
};

}  // namespace varnley
