// A diagnostics sink that keeps every report, for tests that check what a failure said.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Diagnostics.h"

namespace varnley::test {

class RecordingDiagnostics final : public Diagnostics {
 public:
  void Report(Severity severity, std::string_view text) override {
    const std::lock_guard lock(mutex_);
    reports_.emplace_back(severity, std::string(text));
  }
  std::vector<std::pair<Severity, std::string>> reports() const {
    const std::lock_guard lock(mutex_);
    return reports_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<Severity, std::string>> reports_;
};

}  // namespace varnley::test
