#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>

#include "model/Settings.h"
#include "model/TempDir.h"
#include "platform/Paths.h"
#include "support/OtherUser.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;

// Sets or clears environment variables for one test and puts them back afterwards.
class ScopedEnv {
 public:
  void set(const char* name, const std::optional<std::string>& value) {
    if (const char* old = std::getenv(name))
      saved_.emplace_back(name, std::string(old));
    else
      saved_.emplace_back(name, std::nullopt);
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        ::unsetenv(it->first.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// An installed copy: the executable's folder belongs to root and takes no files from the user.
class SettingsPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(bin);
    fs::permissions(dir.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::create_directories(home);
    if (test::CanActAsOtherUser()) {
      ASSERT_EQ(::chown(home.c_str(), test::kOtherUid, test::kOtherUid), 0);
    } else {
      fs::permissions(bin, fs::perms::owner_read | fs::perms::owner_exec);
    }
  }
  void TearDown() override { fs::permissions(bin, fs::perms::owner_all); }

  // What SettingsPathFor gives the user who cannot write the executable's folder.
  bool pathForUserIs(const std::string& expected) {
    const auto check = [&] {
      const std::string got = SettingsPathFor(exe);
      if (got != expected) std::cerr << "got " << got << ", expected " << expected << '\n';
      return got == expected ? 0 : 1;
    };
    return (test::CanActAsOtherUser() ? test::AsOtherUser(check) : check()) == 0;
  }

  test::TempDir dir;
  const std::string bin = dir.file("bin");
  const std::string exe = dir.file("bin/varnley");
  const std::string home = dir.file("home");
  ScopedEnv env;
};

TEST_F(SettingsPathTest, BesideTheExecutableWhenItsFolderIsWritable) {
  if (!test::CanActAsOtherUser()) fs::permissions(bin, fs::perms::owner_all);
  EXPECT_EQ(SettingsPathFor(exe), dir.file("bin/varnley.ini"));
  EXPECT_EQ(SettingsPathFor(dir.file("bin/varnley.exe")), dir.file("bin/varnley.ini"));
}

TEST_F(SettingsPathTest, ReadOnlyFolderFallsBackToTheConfigHome) {
  env.set("HOME", home);
  env.set("XDG_CONFIG_HOME", home + "/xdg");
  EXPECT_TRUE(pathForUserIs(home + "/xdg/varnley/varnley.ini"));
  env.set("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_TRUE(pathForUserIs(home + "/.config/varnley/varnley.ini"));
  env.set("XDG_CONFIG_HOME", "relative/xdg");  // only an absolute config home counts
  EXPECT_TRUE(pathForUserIs(home + "/.config/varnley/varnley.ini"));
}

TEST_F(SettingsPathTest, ReadOnlyFolderWithAFileThereKeepsThatFile) {
  if (!test::CanActAsOtherUser()) fs::permissions(bin, fs::perms::owner_all);
  test::WriteText(dir.file("bin/varnley.ini"), "[config]\n");
  if (!test::CanActAsOtherUser())
    fs::permissions(bin, fs::perms::owner_read | fs::perms::owner_exec);
  env.set("XDG_CONFIG_HOME", home + "/xdg");
  EXPECT_TRUE(pathForUserIs(dir.file("bin/varnley.ini")));
}

TEST_F(SettingsPathTest, ConfigOptionNamesTheFileOutright) {
  const std::string cwd = fs::current_path().string();
  const std::pair<std::string, std::string> cases[] = {
      {"/etc/v.ini", "/etc/v.ini"},
      {"rel.ini", cwd + "/rel.ini"},
      {"./rel.ini", cwd + "/rel.ini"},
      {"./sub/./rel.ini", cwd + "/sub/rel.ini"},
      {"sub/../rel.ini", cwd + "/sub/../rel.ini"},
      {"", SettingsPathFor(exe)},  // no file named: the usual place
  };
  for (const auto& [named, expected] : cases)
    EXPECT_EQ(SettingsPathFromOption(named, exe), expected) << named;
}

TEST_F(SettingsPathTest, AFileNotThereYetIsToldApartFromOneThatCannotBe) {
  env.set("XDG_CONFIG_HOME", home + "/xdg");
  test::WriteText(dir.file("there.ini"), "");
  const std::pair<std::string, SettingsFileState> cases[] = {
      {dir.file("there.ini"), SettingsFileState::Present},
      {dir.file("new.ini"), SettingsFileState::Missing},
      {dir.file("no/such/folder/v.ini"), SettingsFileState::FolderMissing},
      {dir.file("there.ini/v.ini"), SettingsFileState::FolderMissing},  // a file, no folder
      // The per-user folder is made by the first save: only the file is missing.
      {FallbackSettingsPath(), SettingsFileState::Missing},
  };
  for (const auto& [path, state] : cases) EXPECT_EQ(ProbeSettingsFile(path), state) << path;
}

TEST_F(SettingsPathTest, FirstSaveCreatesThePrivateFolderAndTheHostsComeBack) {
  env.set("HOME", home);
  env.set("XDG_CONFIG_HOME", home + "/deep/xdg");
  const auto run = [&] {
    const std::string path = SettingsPathFor(exe);
    if (path != home + "/deep/xdg/varnley/varnley.ini") return 1;
    if (!SaveHosts(path, {{"10.0.0.5", "80,", ""}}).ok) return 2;
    if (ModeOf(home + "/deep") != 0700 || ModeOf(home + "/deep/xdg/varnley") != 0700) return 3;
    if (ModeOf(path) != 0600) return 4;
    AlertSettings settings;
    std::vector<MonitoredHost> hosts;
    LoadSettings(SettingsPathFor(exe), settings, hosts);
    return hosts == std::vector<MonitoredHost>{{"10.0.0.5", "80,", ""}} ? 0 : 5;
  };
  EXPECT_EQ(test::CanActAsOtherUser() ? test::AsOtherUser(run) : run(), 0);
}

TEST_F(SettingsPathTest, OnlyTheFallbackFolderIsCreated) {
  env.set("XDG_CONFIG_HOME", home + "/xdg");
  // A file the user named is theirs to place: a missing folder is an error, not created.
  const std::string named = dir.file("no/such/folder/v.ini");
  const SaveResult result = SaveHosts(named, {});
  EXPECT_FALSE(result.ok);
  EXPECT_FALSE(fs::exists(dir.file("no")));
  // A folder in the way of the per-user one is reported.
  fs::create_directories(home + "/xdg");
  test::WriteText(home + "/xdg/varnley", "a file, not a folder");
  const SaveResult blocked = SaveHosts(FallbackSettingsPath(), {});
  EXPECT_FALSE(blocked.ok);
  EXPECT_EQ(blocked.error, "Unable to write to " + home + "/xdg/varnley/varnley.ini");
  EXPECT_FALSE(blocked.reason.empty());
}

}  // namespace
}  // namespace varnley
