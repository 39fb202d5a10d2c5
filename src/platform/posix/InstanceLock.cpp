#include "platform/InstanceLock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace varnley {

namespace {

// Whether the folder is a real folder of this user that nobody else may enter or change.
bool IsPrivateFolder(const std::string& folder, std::string& reason) {
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    reason = folder + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    reason = folder + " is not a folder";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    reason = folder + " belongs to another user";
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    reason = folder + " is open to other users";
    return false;
  }
  return true;
}

std::string RealPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return {};
  std::string out(real);
  std::free(real);
  return out;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file itself, however it was spelt: "./watch.ini", a link, "a/../watch.ini". A link
// whose target is still to be written stands for that target, where a save puts the file; a
// file not there yet is its folder's resolved path and its own name.
std::string ResolvedFile(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    if (std::string real = RealPath(path); !real.empty()) return real;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof target)) break;
    const std::string next(target, static_cast<std::size_t>(n));
    path = next.front() == '/' ? next : FolderOf(path) + "/" + next;
  }
  const std::string folder = RealPath(FolderOf(path));
  if (folder.empty()) return path;
  const auto slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder == "/" ? "/" + name : folder + "/" + name;
}

}  // namespace

std::string InstanceLock::DefaultPath() {
  if (const char* dir = std::getenv("VARNLEY_INSTANCE_DIR"); dir && dir[0] == '/')
    return std::string(dir) + "/Varnley.lock";
  return "/tmp/varnley-" + std::to_string(::geteuid()) + "/Varnley.lock";
}

std::string InstanceLock::PathForSettings(const std::string& settingsPath) {
  // The file's resolved path, hashed (FNV-1a), keeps the name short whatever the path holds.
  // Not its device and inode: every save renames a new file into its place.
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : ResolvedFile(settingsPath)) hash = (hash ^ c) * 1099511628211ull;
  char name[40];
  std::snprintf(name, sizeof name, "Varnley-%016llx.lock", static_cast<unsigned long long>(hash));
  const std::string fallback = DefaultPath();
  return fallback.substr(0, fallback.find_last_of('/') + 1) + name;
}

InstanceLock::InstanceLock(std::string path) : path_(std::move(path)) {}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

InstanceLock::Result InstanceLock::acquire() {
  if (fd_ >= 0) return Result::Acquired;
  const auto slash = path_.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    reason_ = folder + ": " + std::strerror(errno);
    return Result::Unavailable;
  }
  if (!IsPrivateFolder(folder, reason_)) return Result::Unavailable;
  // O_NOFOLLOW: a link in the lock's place must not make us create or lock its target.
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    reason_ = path_ + ": " + std::strerror(errno);
    return Result::Unavailable;
  }
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
  if (err == EWOULDBLOCK) return Result::HeldElsewhere;
  reason_ = path_ + ": " + std::strerror(err);
  return Result::Unavailable;
}

}  // namespace varnley
