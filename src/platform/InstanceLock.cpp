#include "platform/InstanceLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

namespace varnley {

std::string InstanceLock::DefaultPath() {
  // Only an absolute runtime folder is trusted; anything else would depend on the cwd.
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && dir[0] == '/')
    return std::string(dir) + "/Varnley.lock";
  return "/tmp/Varnley-" + std::to_string(::getuid()) + ".lock";
}

InstanceLock::InstanceLock(std::string path) : path_(std::move(path)) {}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

InstanceLock::Result InstanceLock::acquire() {
  if (fd_ >= 0) return Result::Acquired;
  // O_NOFOLLOW: in a shared /tmp a planted symlink must not make us create or lock its target.
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Result::Unavailable;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    fd_ = fd;
    return Result::Acquired;
  }
  const int err = errno;
  ::close(fd);
  return err == EWOULDBLOCK ? Result::HeldElsewhere : Result::Unavailable;
}

}  // namespace varnley
