#include <filesystem>
#include <system_error>

#include "platform/PathText.h"
#include "platform/Paths.h"

namespace varnley {

namespace fs = std::filesystem;

std::string SettingsPathFromOption(const std::string& named, const std::string& executablePath) {
  if (named.empty()) return SettingsPathFor(executablePath);
  std::error_code ec;
  const fs::path absolute = fs::absolute(PathFromUtf8(named), ec);
  if (ec) return named;
  // "./a.ini" and "a.ini" name one file, and the one-copy-per-file lock goes by the name. A
  // ".." stays: after a symbolic link it is not the folder the text before it names.
  fs::path plain;
  for (const fs::path& part : absolute)
    if (part != ".") plain /= part;
  return Utf8FromPath(plain);
}

SettingsFileState ProbeSettingsFile(const std::string& settingsPath) {
  const fs::path path = PathFromUtf8(settingsPath);
  std::error_code ec;
  if (fs::exists(path, ec)) return SettingsFileState::Present;
  if (settingsPath == FallbackSettingsPath()) return SettingsFileState::Missing;
  const fs::path folder = path.parent_path();
  if (!folder.empty() && !fs::is_directory(folder, ec)) return SettingsFileState::FolderMissing;
  return SettingsFileState::Missing;
}

}  // namespace varnley
