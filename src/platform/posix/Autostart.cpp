#include "platform/Autostart.h"


#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/Paths.h"

namespace varnley {

namespace fs = std::filesystem;

namespace {

// A quoted Exec argument escapes ", `, $ and \ with a backslash; the value as a whole then
// escapes every backslash once more, and "%" is doubled so it is no field code.
std::string QuoteExecArgument(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$') {
      quoted += "\\\\";
      quoted += c;
    } else if (c == '\\') {
      quoted += "\\\\\\\\";
    } else if (c == '%') {
      quoted += "%%";
    } else {
      quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

}  // namespace

std::string AutostartFilePath() {
  const std::string config = ConfigHome();
  if (config.empty()) return {};
  return (fs::path(config) / "autostart" / "Varnley.desktop").string();
}

std::string AutostartFileContent(const std::string& executablePath) {
  if (executablePath.empty() || executablePath.find_first_of("\r\n") != std::string::npos)
    return {};
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Varnley\n"
         "Comment=Watch TCP ports and warn when they stop answering\n"
         "Exec=" +
         QuoteExecArgument(executablePath) +
         " -s\n"
         "Icon=varnley\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool UpdateStartupEntry(bool run, const std::string& executablePath) {
  const std::string path = AutostartFilePath();
  if (path.empty()) return false;
  std::error_code ec;
  if (!run) {
    fs::remove(path, ec);
    return !ec;
  }
  const std::string content = AutostartFileContent(executablePath);
  if (content.empty()) return false;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (ec) return false;
  // Written beside and renamed over, so a full disk never leaves half an entry behind.
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << content;
    out.flush();
    if (!out) {
      out.close();
      fs::remove(temp, ec);
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

}  // namespace varnley
