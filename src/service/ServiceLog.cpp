#include "service/ServiceLog.h"

#include <ostream>

#include "alert/MailStatus.h"

namespace varnley {

ServiceLog::ServiceLog(std::ostream& out, bool priorities) : out_(out), priorities_(priorities) {}

void ServiceLog::Line(Priority priority, const std::string& text) {
  std::string line;
  if (priorities_) {
    line.push_back('<');
    line.push_back(static_cast<char>('0' + static_cast<int>(priority)));
    line.push_back('>');
  }
  line.append(OneLine(text));
  line += '\n';
  std::lock_guard lock(mutex_);
  out_ << line << std::flush;
}

void ServiceLog::Report(Severity severity, std::string_view text) {
  try {
    Line(severity, std::string(text));
  } catch (...) {
    // A sink must not throw into the engine's catch sites; a lost line is all it costs.
  }
}

}  // namespace varnley
