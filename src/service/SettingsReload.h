// Reading the settings file again while the program runs: only a file read whole, settled and
// still shaped like settings replaces the settings that run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace varnley {

// The settings loader's own read limit: a larger file cannot be read at start either.
inline constexpr std::uint64_t kSettingsReadLimit = std::uint64_t{1} << 30;

// What a settings file holds, as far as a reload and the final save need to know.
struct FileSurvey {
  enum class State { Read, Missing, TooLarge, Unreadable };
  State state = State::Read;
  std::uint64_t fingerprint = 0;  // of the bytes, when Read: equal texts, equal fingerprints
  bool hasConfig = false;         // a [config] section header
};

// The survey of a text, and of a file read piece by piece with its size checked before any
// reading (TooLarge beyond the read limit).
FileSurvey SurveyText(std::string_view text);
FileSurvey SurveyFile(const std::string& path);

struct SettledFile {
  bool ok = false;
  std::string content;  // when ok
  std::string reason;   // when not: what the file is, for "<path> <reason>"
};

struct SettleOptions {
  // Readings at most; the file counts as settled once two in a row agree.
  int readings = 4;
  // Runs between two readings; the default waits kSettlePause. Tests change the file here.
  std::function<void()> pause;
  static constexpr std::chrono::milliseconds kSettlePause{150};
};

// The file for a reload. Refused when it is missing, larger than the read limit (told from its
// size, before any of it is read), unreadable, still changing after every reading, empty, or,
// when requireConfig, without a [config] section.
SettledFile ReadSettledSettings(const std::string& path, bool requireConfig,
                                const SettleOptions& options = {});

}  // namespace varnley
