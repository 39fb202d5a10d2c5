// The windowless run's log: whole lines on stderr, with the journal's priority prefixes when
// stderr is the journal.
#pragma once

#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/Diagnostics.h"

namespace varnley {

// Also the engine's diagnostics sink for the windowless run: what no caller hears goes to the
// same log as the alerts.
class ServiceLog final : public Diagnostics {
 public:
  // Priorities as syslog numbers them: the engine's severities.
  using Priority = Severity;

  ServiceLog(std::ostream& out, bool priorities);

  // One line, written whole; line breaks inside the text become blanks, so nothing a host
  // name or a server holds can start a line of its own.
  void Line(Priority priority, const std::string& text);
  void Report(Severity severity, std::string_view text) override;

 private:
  std::mutex mutex_;
  std::ostream& out_;
  bool priorities_;
};

}  // namespace varnley
