#include "platform/InstanceLock.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#include "platform/windows/Wide.h"

namespace varnley {

// The name space of the mutex is the log-on session: one instance per user session.
std::string InstanceLock::DefaultPath() { return "Varnley"; }

// One mutex per settings file, named from the file's path (hashed, FNV-1a, so the name stays
// short and free of the backslashes a mutex name may not hold).
std::string InstanceLock::PathForSettings(const std::string& settingsPath) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : settingsPath) hash = (hash ^ c) * 1099511628211ull;
  char name[40];
  std::snprintf(name, sizeof name, "Varnley-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

InstanceLock::InstanceLock(std::string path) : path_(std::move(path)) {}

// The handle is kept in the int the header has for a descriptor: kernel handles stay within
// 32 bits so that 32-bit processes can share them, which HandleToLong relies on.
InstanceLock::~InstanceLock() {
  if (fd_ != -1) ::CloseHandle(::LongToHandle(fd_));
}

InstanceLock::Result InstanceLock::acquire() {
  if (fd_ != -1) return Result::Acquired;
  // Not initially owned, no security attributes: the mutex only marks that the name is taken.
  const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, Wide(path_).c_str());
  const DWORD err = ::GetLastError();
  if (mutex == nullptr) {
    // A mutex of that name that this user may not open (another user's, or another kind of
    // object): the guard cannot be used, as with an unusable lock file.
    reason_ = "mutex " + path_ + ": " + SystemErrorText(err);
    return Result::Unavailable;
  }
  if (err == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return Result::HeldElsewhere;
  }
  fd_ = ::HandleToLong(mutex);
  return Result::Acquired;
}

}  // namespace varnley
