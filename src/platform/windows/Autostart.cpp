#include "platform/Autostart.h"

#include <vector>

#include "platform/windows/RunKey.h"
#include "platform/windows/Wide.h"

namespace varnley {

namespace {

constexpr const wchar_t* kValueName = L"Varnley";

// The machine's Run key first (it needs administrator rights), then the user's own.
std::vector<HKEY> OpenRunKeys() {
  std::vector<HKEY> keys;
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    HKEY key = nullptr;
    if (OpenRunKey(root, &key) == ERROR_SUCCESS) keys.push_back(key);
  }
  return keys;
}

}  // namespace

LSTATUS OpenRunKey(HKEY root, HKEY* key) {
  return ::RegOpenKeyExW(root, kRunKeyPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key);
}

bool UpdateRunValue(bool run, std::span<const HKEY> keys, const std::wstring& name,
                    const std::wstring& data) {
  bool written = !run;
  bool ok = true;
  for (HKEY key : keys) {
    if (run && !written) {
      const auto bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
      const LSTATUS rc = ::RegSetValueExW(key, name.c_str(), 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(data.c_str()), bytes);
      if (rc == ERROR_SUCCESS) {
        written = true;
        continue;
      }
      if (rc != ERROR_ACCESS_DENIED) ok = false;
      continue;
    }
    const LSTATUS rc = ::RegDeleteValueW(key, name.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && rc != ERROR_ACCESS_DENIED) ok = false;
  }
  return ok && written;
}

std::string AutostartFilePath() {
  return "HKEY_LOCAL_MACHINE\\" + Narrow(kRunKeyPath) + "\\" + Narrow(kValueName);
}

std::string AutostartFileContent(const std::string& executablePath) {
  // A quote cannot be part of a Windows path; one here would end the quoted path early.
  if (executablePath.empty() || executablePath.find_first_of("\"\r\n") != std::string::npos)
    return {};
  return "\"" + executablePath + "\" -s";
}

bool UpdateStartupEntry(bool run, const std::string& executablePath) {
  const std::string content = AutostartFileContent(executablePath);
  if (run && content.empty()) return false;
  const std::vector<HKEY> keys = OpenRunKeys();
  const bool ok = !keys.empty() && UpdateRunValue(run, keys, kValueName, Wide(content));
  for (HKEY key : keys) ::RegCloseKey(key);
  return ok;
}

}  // namespace varnley
