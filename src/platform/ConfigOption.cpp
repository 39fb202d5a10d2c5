#include <filesystem>
#include <system_error>

#include "platform/PathText.h"
#include "platform/Paths.h"

namespace varnley {

namespace fs = std::filesystem;

std::string SettingsPathFromArgs(const std::vector<std::string>& args,
                                 const std::string& executablePath) {
  constexpr std::string_view kOption = "--config";
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string file;
    if (args[i] == kOption && i + 1 < args.size())
      file = args[i + 1];
    else if (args[i].size() > kOption.size() + 1 && args[i].rfind(kOption, 0) == 0 &&
             args[i][kOption.size()] == '=')
      file = args[i].substr(kOption.size() + 1);
    if (file.empty()) continue;
    std::error_code ec;
    const fs::path absolute = fs::absolute(PathFromUtf8(file), ec);
    return ec ? file : Utf8FromPath(absolute);
  }
  return SettingsPathFor(executablePath);
}

}  // namespace varnley
