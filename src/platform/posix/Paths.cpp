#include "platform/Paths.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace varnley {

namespace fs = std::filesystem;

std::string ExecutablePath() {
  std::error_code ec;
  auto p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string ConfigHome() {
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/') return x;
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.config";
  return {};
}

std::string FallbackSettingsPath() {
  const std::string config = ConfigHome();
  return config.empty() ? std::string() : config + "/varnley/varnley.ini";
}

std::string SettingsPathFor(const std::string& executablePath) {
  fs::path beside = fs::path(executablePath).replace_extension(".ini");
  std::error_code ec;
  if (fs::exists(beside, ec)) return beside.string();
  const fs::path folder = beside.parent_path();
  if (!folder.empty() && ::access(folder.c_str(), W_OK) == 0) return beside.string();
  const std::string fallback = FallbackSettingsPath();
  return fallback.empty() ? beside.string() : fallback;
}

bool PrepareSettingsFolder(const std::string& settingsPath, std::string* reason) {
  if (settingsPath.empty() || settingsPath != FallbackSettingsPath()) return true;
  const std::string folder = fs::path(settingsPath).parent_path().string();
  // Each missing folder from the top down, so every one of them gets the private mode.
  for (std::size_t slash = 1; slash != std::string::npos;) {
    slash = folder.find('/', slash + 1);
    const std::string part = folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) == 0 || errno == EEXIST) continue;
    if (reason) *reason = "create folder " + part + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string ComputerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  std::string s(name);
  if (s.size() > 15) s.resize(15);
  return s;
}

}  // namespace varnley
