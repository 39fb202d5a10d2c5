#include "service/SettingsReload.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>

#include "platform/FileAccess.h"
#include "platform/PathText.h"
#include "platform/Text.h"

namespace varnley {

namespace {

constexpr std::size_t kChunkSize = 1 << 16;

// Feeds the bytes of a text in pieces; keeps the fingerprint and looks for a [config] header
// with the settings' rule (blanks around the line and the name ignored, letter case too).
class Surveyor {
 public:
  void feed(std::string_view piece) {
    for (const char c : piece) {
      survey_.fingerprint = (survey_.fingerprint ^ static_cast<unsigned char>(c)) * kPrime;
      if (c == '\n' || c == '\r') {
        endLine();
      } else if (!line_.empty() || static_cast<unsigned char>(c) > ' ') {
        // A header that counts is short; what follows its bracket does not matter.
        if (line_.size() < kLineKept) line_.push_back(c);
      }
    }
  }
  FileSurvey finish() {
    endLine();
    return survey_;
  }

 private:
  static constexpr std::uint64_t kPrime = 1099511628211ull;
  static constexpr std::size_t kLineKept = 64;

  void endLine() {
    if (!survey_.hasConfig && line_.size() > 1 && line_.front() == '[') {
      const auto close = line_.find(']');
      if (close != std::string::npos)
        survey_.hasConfig = EqualsIgnoreCase(Trimmed(line_.substr(1, close - 1)), "config");
    }
    line_.clear();
  }
  static std::string Trimmed(std::string text) {
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && static_cast<unsigned char>(text[start]) <= ' ') ++start;
    return text.substr(start);
  }

  FileSurvey survey_{FileSurvey::State::Read, 14695981039346656037ull, false};
  std::string line_;
};

// Nullopt when the size is within the limit or cannot be told (the read then says why).
std::optional<std::string> TooLarge(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(PathFromUtf8(path), ec);
  if (ec || size <= kSettingsReadLimit) return std::nullopt;
  return "is " + std::to_string(size) + " bytes, more than a settings file may hold (" +
         std::to_string(kSettingsReadLimit) + ")";
}

}  // namespace

FileSurvey SurveyText(std::string_view text) {
  Surveyor surveyor;
  surveyor.feed(text);
  return surveyor.finish();
}

FileSurvey SurveyFile(const std::string& path) {
  if (TooLarge(path)) return {FileSurvey::State::TooLarge};
  Surveyor surveyor;
  const ReadStatus status = ReadFileInChunks(
      path, kSettingsReadLimit, kChunkSize, [&](std::string_view piece) { surveyor.feed(piece); },
      nullptr, nullptr);
  switch (status) {
    case ReadStatus::Missing:
      return {FileSurvey::State::Missing};
    case ReadStatus::Failed:
      return {FileSurvey::State::Unreadable};
    case ReadStatus::Ok:
      break;
  }
  return surveyor.finish();
}

SettledFile ReadSettledSettings(const std::string& path, bool requireConfig,
                                const SettleOptions& options) {
  SettledFile file;
  const auto refuse = [&file](std::string reason) {
    file.content.clear();
    file.reason = std::move(reason);
    return file;
  };
  // An editor that writes the file in place leaves it cut for a moment (a port list cut
  // mid-number would be read as a port nobody listed): two readings must agree.
  std::optional<std::uint64_t> previous;
  for (int reading = 0; reading < std::max(options.readings, 2); ++reading) {
    if (reading > 0) {
      if (options.pause)
        options.pause();
      else
        std::this_thread::sleep_for(SettleOptions::kSettlePause);
    }
    if (auto large = TooLarge(path)) return refuse(std::move(*large));
    std::string reason;
    switch (ReadWholeFile(path, file.content, kSettingsReadLimit, &reason)) {
      case ReadStatus::Missing:
        return refuse("is gone");
      case ReadStatus::Failed:
        return refuse("could not be read whole (" + reason + ")");
      case ReadStatus::Ok:
        break;
    }
    const FileSurvey survey = SurveyText(file.content);
    if (previous && *previous == survey.fingerprint) {
      if (file.content.empty()) return refuse("is empty");
      if (requireConfig && !survey.hasConfig)
        return refuse("has no [config] section, though the settings that run came with one");
      file.ok = true;
      return file;
    }
    previous = survey.fingerprint;
  }
  return refuse("kept changing while it was read (still being written?)");
}

}  // namespace varnley
