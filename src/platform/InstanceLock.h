// The single-instance rule: an exclusive lock on a per-user file, held for the process's life.
// On Windows it is the named mutex "Varnley" (the path is the mutex's name).
#pragma once

#include <string>

namespace varnley {

class InstanceLock {
 public:
  enum class Result {
    Acquired,       // this process is the one instance
    HeldElsewhere,  // another instance runs: end at once
    Unavailable,    // the lock file could not be used (reason() says why); run without the guard
  };

  // One place per user, whatever the environment of the start: the file Varnley.lock in the
  // private folder /tmp/varnley-<uid>. (VARNLEY_INSTANCE_DIR names another folder, so that
  // tests can run copies side by side; nothing else reads it.)
  static std::string DefaultPath();
  // The lock of a windowless run on one settings file, in the same folder: one such run per
  // file, beside the one window the default lock allows. It follows the file itself, so every
  // spelling of it (relative, through links, another letter case on Windows) gets one lock.
  static std::string PathForSettings(const std::string& settingsPath);

  explicit InstanceLock(std::string path = DefaultPath());
  ~InstanceLock();  // releases the lock
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // The lock file's folder is created 0700 when missing; a folder that is not the user's own
  // and closed to everyone else (another user could have made it, and made the file in it)
  // is not used.
  Result acquire();
  const std::string& path() const { return path_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string path_;
  std::string reason_;
  int fd_ = -1;
};

}  // namespace varnley
