// Where the engine says what went wrong when no caller is there to hear it: a worker's failed
// pass, a sender that could not be made, a settings row dropped at load. The windowless run
// writes it to its log, the window shows what the user must know and leaves the rest on stderr.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace varnley {

// Severities as syslog numbers them, so a journal prefix is the number itself.
enum class Severity { Error = 3, Warning = 4, Notice = 5, Info = 6 };

class Diagnostics {
 public:
  virtual ~Diagnostics() = default;
  // Called from any thread; must not block for long and must not throw.
  virtual void Report(Severity severity, std::string_view text) = 0;
};

// Whole lines on stderr, line breaks inside the text turned into blanks. The default sink of
// every engine part that is given none.
Diagnostics& StderrDiagnostics();

// The result of a call at a layer's edge: ok, or the reason in the user's words.
struct Status {
  bool ok = true;
  std::string reason;

  static Status Ok() { return {}; }
  static Status Fail(std::string why) { return {false, std::move(why)}; }
  explicit operator bool() const { return ok; }
};

}  // namespace varnley
