#include "platform/Diagnostics.h"

#include <cstdio>
#include <mutex>

namespace varnley {

namespace {

class StderrSink final : public Diagnostics {
 public:
  void Report(Severity, std::string_view text) override {
    std::string line(text);
    for (char& c : line)
      if (c == '\r' || c == '\n') c = ' ';
    line += '\n';
    const std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }

 private:
  std::mutex mutex_;
};

}  // namespace

Diagnostics& StderrDiagnostics() {
  static StderrSink sink;
  return sink;
}

}  // namespace varnley
