// The dialog's Test buttons without the dialog: one test at a time on a thread of its own, so
// the window keeps answering. Each test gets a stop of its own (a stop cannot be taken back),
// and a close of the dialog ends a test still on its way at once.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "platform/Diagnostics.h"

namespace varnley {

class StopSource;

class BackgroundTest {
 public:
  BackgroundTest();
  ~BackgroundTest();  // cancels
  BackgroundTest(const BackgroundTest&) = delete;
  BackgroundTest& operator=(const BackgroundTest&) = delete;

  // Runs job(stop) on the test's thread; a job reports its result only while the stop is not
  // requested. Refused with `busy` while a test still runs, or when no thread can be started.
  Status Start(std::function<void(StopSource& stop)> job, const char* busy);
  // Whether a test was started and not yet collected by Finish().
  bool Running() const { return thread_.joinable(); }
  // Waits for the thread once its job reported (or at once if none runs).
  void Finish();
  // Ends a running test at once.
  void Cancel();

 private:
  std::unique_ptr<StopSource> stop_;
  std::thread thread_;
};

}  // namespace varnley
