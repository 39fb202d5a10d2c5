// Reading the settings file for a reload: which files replace the running settings, and the
// survey that tells a file's shape and whether it changed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "model/TempDir.h"
#include "service/SettingsReload.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kSettings = "[config]\ninterval=1\nhostcount=1\n[host1]\nhost=127.0.0.3\n";

TEST(SettingsReload, OnlyAWholeSettledFileOfTheSameShapeIsTaken) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;
    bool requireConfig;
    // Runs at each pause between readings, with the pause's number from 1.
    std::function<void(const std::string& path, int pause)> meanwhile;
    std::string refusal;  // part of the reason, "" when taken
    std::string taken;    // the content taken
  };
  const auto write = [](std::string text) {
    return [text](const std::string& path) { test::WriteText(path, text); };
  };
  const Case cases[] = {
      {"settled", write(kSettings + "port=3000,\n"), true, nullptr, "", kSettings + "port=3000,\n"},
      {"huge: refused by its size, before any reading",
       [](const std::string& path) {
         test::WriteText(path, kSettings);
         fs::resize_file(path, std::uintmax_t{2} << 30);  // sparse
       },
       true, nullptr, "more than a settings file may hold", ""},
      {"empty", write(""), false, nullptr, "is empty", ""},
      {"no [config] where the running settings had one", write("[host1]\nhost=127.0.0.3\n"), true,
       nullptr, "has no [config] section", ""},
      {"no [config], and the running settings had none", write("[host1]\nhost=127.0.0.3\n"), false,
       nullptr, "", "[host1]\nhost=127.0.0.3\n"},
      {"gone", [](const std::string&) {}, true, nullptr, "is gone", ""},
      {"a folder", [](const std::string& path) { fs::create_directory(path); }, true, nullptr,
       "could not be read whole", ""},
      // Caught mid-write, the port list cut mid-number: the finished file is what counts.
      {"half-written, then finished", write(kSettings + "port=30"), true,
       [](const std::string& path, int pause) {
         if (pause == 1) test::WriteText(path, kSettings + "port=3000,\n");
       },
       "", kSettings + "port=3000,\n"},
      {"still being written at every reading", write(kSettings), true,
       [](const std::string& path, int pause) {
         test::WriteText(path, kSettings + "port=" + std::to_string(pause) + "\n");
       },
       "kept changing while it was read", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string path = dir.file("hosts.ini");
    c.make(path);
    int pauses = 0;
    SettleOptions options;
    options.pause = [&] {
      ++pauses;
      if (c.meanwhile) c.meanwhile(path, pauses);
    };
    const auto start = std::chrono::steady_clock::now();
    const SettledFile file = ReadSettledSettings(path, c.requireConfig, options);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    if (c.refusal.empty()) {
      EXPECT_TRUE(file.ok) << file.reason;
      EXPECT_EQ(file.content, c.taken);
    } else {
      EXPECT_FALSE(file.ok);
      EXPECT_NE(file.reason.find(c.refusal), std::string::npos) << file.reason;
      EXPECT_EQ(file.content, "");
    }
    EXPECT_LE(pauses, options.readings - 1);
  }
}

TEST(SettingsReload, TheSurveyFindsTheConfigHeaderByTheSettingsRule) {
  const std::pair<std::string, bool> cases[] = {
      {"[config]\n", true},
      {"; note\r\n  [ CONFIG ]  ; trailing\r\nhostcount=0\r\n", true},
      {"[email]\nuser=x\n[config]", true},  // the last line without an ending
      {"[configx]\n", false},
      {"[config\n", false},  // no closing bracket: no header
      {"user=[config]\n", false},
      {"", false},
  };
  for (const auto& [text, has] : cases) EXPECT_EQ(SurveyText(text).hasConfig, has) << text;

  // Read in pieces, a header across a piece's end is found and the fingerprint is the text's.
  test::TempDir dir;
  const std::string path = dir.file("big.ini");
  const std::string text = std::string((1 << 16) - 3, ';') + "\n[config]\nhostcount=0\n";
  test::WriteText(path, text);
  const FileSurvey file = SurveyFile(path);
  EXPECT_EQ(file.state, FileSurvey::State::Read);
  EXPECT_TRUE(file.hasConfig);
  EXPECT_EQ(file.fingerprint, SurveyText(text).fingerprint);
  EXPECT_NE(file.fingerprint, SurveyText(text + " ").fingerprint);
  EXPECT_EQ(SurveyFile(dir.file("none.ini")).state, FileSurvey::State::Missing);
}

}  // namespace
}  // namespace varnley
