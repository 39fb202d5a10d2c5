// The outcome of the last alert of one channel (the mail, a webhook), for the window's status
// bar and tray tooltip, and a line on stderr for every try that failed.
#pragma once

#include <chrono>
#include <cstdint>
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
  // When a failure that may pass is tried again (none: it is not).
  std::optional<std::chrono::system_clock::time_point> retryAt = std::nullopt;
};

// "mail sent: <text>", "webhook1 failed: <reason>, retry at 14:03", or for a failure that is
// not tried again "webhook1 failed: <reason>; not delivered: <text>". On one line.
std::string OutcomeLine(const std::string& channel, const MailOutcome& outcome,
                        const std::string& text);

class MailStatus {
 public:
  // Failures are written to `errors` (stderr unless told otherwise).
  MailStatus();
  explicit MailStatus(std::ostream& errors);
  // A channel other than the mail ("webhook1"): its lines on `errors` are OutcomeLine's.
  MailStatus(std::ostream& errors, std::string channel);
  MailStatus(const MailStatus&) = delete;
  MailStatus& operator=(const MailStatus&) = delete;

  const std::string& Channel() const { return channel_; }

  // Called by the sender after each alert mail (its text in `alertText`), from its own thread.
  void Report(MailOutcome outcome, const std::string& alertText = "");
  std::optional<MailOutcome> Last() const;

  struct Totals {
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
  };
  // Every outcome reported so far.
  Totals Count() const;

  // Runs after each report with the outcome and the alert's text, on the reporting thread and
  // under the same rule as the listener; for a log of every mail. Failures then go to it
  // instead of to `errors`.
  using OutcomeHook = std::function<void(const MailOutcome& outcome, const std::string& text)>;
  void SetOutcomeHook(OutcomeHook hook);

  // Runs after each report on the reporting thread, so it must only hand the news on (the
  // window posts it to its own thread). An empty function stops the calls; once it returns,
  // the old listener is not running and will not run again.
  void SetListener(std::function<void()> listener);

 private:
  std::ostream& errors_;
  std::string channel_;
  mutable std::mutex mutex_;
  std::optional<MailOutcome> last_;
  std::function<void()> listener_;
  OutcomeHook hook_;
  Totals totals_;
};

// The reason on one line: each run of CR and LF becomes one blank.
std::string OneLine(const std::string& text);

}  // namespace varnley
