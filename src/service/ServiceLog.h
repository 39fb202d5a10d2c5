// The windowless run's log: whole lines on stderr, with the journal's priority prefixes when
// stderr is the journal.
#pragma once

#include <iosfwd>
#include <mutex>
#include <string>

namespace varnley {

class ServiceLog {
 public:
  // Priorities as syslog numbers them.
  enum class Priority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

  ServiceLog(std::ostream& out, bool priorities);

  // One line, written whole; line breaks inside the text become blanks, so nothing a host
  // name or a server holds can start a line of its own.
  void Line(Priority priority, const std::string& text);

 private:
  std::mutex mutex_;
  std::ostream& out_;
  bool priorities_;
};

}  // namespace varnley
