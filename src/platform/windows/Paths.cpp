#include "platform/Paths.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/PathText.h"
#include "platform/windows/Wide.h"

namespace varnley {

namespace fs = std::filesystem;

namespace {

std::wstring Environment(const wchar_t* name) {
  const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD n = ::GetEnvironmentVariableW(name, value.data(), size);
  value.resize(n < size ? n : 0);
  return value;
}

// Whether this user may create files in the folder: asked by making one, since access lists,
// not attribute bits, decide it.
bool FolderTakesFiles(const fs::path& folder) {
  // A name of this process and thread alone: two starts at once must not take each other's
  // file for a folder that refuses them.
  const fs::path probe =
      folder / (L".varnley-write-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(::GetCurrentThreadId()));
  const HANDLE h = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

}  // namespace

std::string ExecutablePath() {
  // Long paths do not fit MAX_PATH: grow until the name is no longer cut short.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return Narrow(std::wstring_view(buffer.data(), n));
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string ConfigHome() { return Narrow(Environment(L"APPDATA")); }

std::string FallbackSettingsPath() {
  const std::string config = ConfigHome();
  return config.empty() ? std::string()
                        : Utf8FromPath(PathFromUtf8(config) / L"Varnley" / L"varnley.ini");
}

std::string SettingsPathFor(const std::string& executablePath) {
  const fs::path beside = PathFromUtf8(executablePath).replace_extension(L".ini");
  std::error_code ec;
  if (fs::exists(beside, ec)) return Utf8FromPath(beside);
  const fs::path folder = beside.parent_path();
  if (!folder.empty() && FolderTakesFiles(folder)) return Utf8FromPath(beside);
  const std::string fallback = FallbackSettingsPath();
  return fallback.empty() ? Utf8FromPath(beside) : fallback;
}

bool PrepareSettingsFolder(const std::string& settingsPath, std::string* reason) {
  if (settingsPath.empty() || settingsPath != FallbackSettingsPath()) return true;
  // The per-user application data folder is private to the user already; the new folder
  // inherits its access list.
  const fs::path folder = PathFromUtf8(settingsPath).parent_path();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!ec) return true;
  if (reason) *reason = "create folder " + Utf8FromPath(folder) + ": " + ec.message();
  return false;
}

std::string ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size)) return {};
  std::string s = Narrow(std::wstring_view(name, size));
  if (s.size() > 15) s.resize(15);
  return s;
}

}  // namespace varnley
