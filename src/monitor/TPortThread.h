// The port-check worker: walks the host table one port per pass and queues every change.
#pragma once

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

// A ports or deactivated text as a line list: "80,443," gives {"80","443"}, "80,,443," keeps
// the empty entry between the commas, "" gives nothing.
std::vector<std::string> SplitPortList(const std::string& text);
// The reverse: every entry followed by ",".
std::string JoinPortList(const std::vector<std::string>& entries);
// The integer value of one ports entry; 0 for anything that is not a plain decimal number.
long long PortEntryValue(const std::string& entry);

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

  void requestStop() override;
  void join() override;

  // One pass of the loop, without the sleep that follows it. Never throws.
  void runPass();

  std::size_t currentRow() const { return currentRow_; }
  std::size_t currentPort() const { return currentPort_; }

 private:
  void run();
  void pass();
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
