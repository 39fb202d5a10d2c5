#include "platform/InstanceLock.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#include "platform/windows/Wide.h"

namespace varnley {

// The name space of the mutex is the log-on session: one instance per user session.
std::string InstanceLock::DefaultPath() { return "Varnley"; }

namespace {

// The file itself, however it was spelt: the full path, through links and junctions when the
// file is there, in one letter case (the file system ignores case).
std::wstring ResolvedFile(const std::string& path) {
  const std::wstring given = Wide(path);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) {
      full = given;
      break;
    }
    const bool fits = n < full.size();
    full.resize(fits ? n : n + 1);
    if (fits) break;
  }
  const HANDLE file =
      ::CreateFileW(full.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    std::wstring final(MAX_PATH, L'\0');
    DWORD n = ::GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                          FILE_NAME_NORMALIZED);
    if (n >= final.size()) {
      final.resize(n + 1);
      n = ::GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                      FILE_NAME_NORMALIZED);
    }
    ::CloseHandle(file);
    if (n > 0 && n < final.size()) {
      final.resize(n);
      // Without the long-path prefix the answer reads as the full path of a file not yet
      // there, so the lock stays the same once the first save has made the file.
      if (final.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        final = L"\\" + final.substr(7);
      } else if (final.rfind(L"\\\\?\\", 0) == 0) {
        final = final.substr(4);
      }
      full = final;
    }
  }
  if (!full.empty()) ::CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
  return full;
}

}  // namespace

// One mutex per settings file, named from the file's resolved path (hashed, FNV-1a, so the
// name stays short and free of the backslashes a mutex name may not hold).
std::string InstanceLock::PathForSettings(const std::string& settingsPath) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : Narrow(ResolvedFile(settingsPath))) hash = (hash ^ c) * 1099511628211ull;
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
