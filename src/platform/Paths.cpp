#include "platform/Paths.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
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

std::string SettingsPathFor(const std::string& executablePath) {
  fs::path beside = fs::path(executablePath).replace_extension(".ini");
  std::error_code ec;
  if (fs::exists(beside, ec)) return beside.string();
  const fs::path folder = beside.parent_path();
  if (!folder.empty() && ::access(folder.c_str(), W_OK) == 0) return beside.string();
  const std::string config = ConfigHome();
  if (config.empty()) return beside.string();
  return (fs::path(config) / "varnley" / "varnley.ini").string();
}

std::string ComputerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  std::string s(name);
  if (s.size() > 15) s.resize(15);
  return s;
}

}  // namespace varnley
