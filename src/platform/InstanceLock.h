// The single-instance rule: an exclusive lock on a per-user file, held for the process's life.
#pragma once

#include <string>

namespace varnley {

class InstanceLock {
 public:
  enum class Result {
    Acquired,       // this process is the one instance
    HeldElsewhere,  // another instance runs: end at once
    Unavailable,    // the lock file could not be opened; run without the guard
  };

  // $XDG_RUNTIME_DIR/Varnley.lock, or /tmp/Varnley-<uid>.lock without that variable.
  static std::string DefaultPath();

  explicit InstanceLock(std::string path = DefaultPath());
  ~InstanceLock();  // releases the lock
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  Result acquire();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace varnley
