// Paths held as UTF-8 text in the engine, turned into file system paths and back without the
// system's narrow code page (which on Windows is not UTF-8) ever reading them.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace varnley {

inline std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace varnley
