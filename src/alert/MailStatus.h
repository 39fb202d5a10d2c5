// The outcome of the last alert mail, for the window's status bar and tray tooltip, and a line
// on stderr for every mail that failed.
#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>

namespace varnley {

struct MailOutcome {
  bool sent = false;
  std::string reason;  // why it failed ("" when sent)
  std::chrono::system_clock::time_point when;
};

class MailStatus {
 public:
  // Failures are written to `errors` (stderr unless told otherwise).
  MailStatus();
  explicit MailStatus(std::ostream& errors);
  MailStatus(const MailStatus&) = delete;
  MailStatus& operator=(const MailStatus&) = delete;

  // Called by the sender after each alert mail, from its own thread.
  void Report(MailOutcome outcome);
  std::optional<MailOutcome> Last() const;

  // Runs after each report on the reporting thread, so it must only hand the news on (the
  // window posts it to its own thread). An empty function stops the calls; once it returns,
  // the old listener is not running and will not run again.
  void SetListener(std::function<void()> listener);

 private:
  std::ostream& errors_;
  mutable std::mutex mutex_;
  std::optional<MailOutcome> last_;
  std::function<void()> listener_;
};

// The reason on one line: each run of CR and LF becomes one blank.
std::string OneLine(const std::string& text);

}  // namespace varnley
