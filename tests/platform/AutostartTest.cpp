#include "platform/Autostart.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "model/TempDir.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;

std::string ExecLine(const std::string& content) {
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Exec=", 0) == 0) return line;
  return {};
}

TEST(AutostartContent, QuotesThePathTheWayDesktopEntriesWant) {
  struct Case {
    const char* path;
    const char* exec;
  } cases[] = {
      {"/opt/varnley/varnley", R"(Exec="/opt/varnley/varnley" -s)"},
      {"/home/a b/varnley", R"(Exec="/home/a b/varnley" -s)"},
      {"/x/100%/v", R"(Exec="/x/100%%/v" -s)"},
      {"/x/$HOME/v", R"(Exec="/x/\\$HOME/v" -s)"},
      {"/x/a\"b/v", R"(Exec="/x/a\\"b/v" -s)"},
      {"/x/a\\b/v", R"(Exec="/x/a\\\\b/v" -s)"},
  };
  for (const auto& c : cases) EXPECT_EQ(ExecLine(AutostartFileContent(c.path)), c.exec);
  // A line break would end the Exec line early and smuggle in keys of its own.
  EXPECT_EQ(AutostartFileContent("/x/evil\nHidden=true"), "");
  EXPECT_EQ(AutostartFileContent(""), "");
}

class AutostartFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    const char* old = std::getenv("XDG_CONFIG_HOME");
    saved_ = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (saved_) ::setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
    else ::unsetenv("XDG_CONFIG_HOME");
  }
  std::string read() const {
    std::ifstream in(AutostartFilePath());
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  test::TempDir temp_;
  fs::path dir_;
  std::optional<std::string> saved_;
};

TEST_F(AutostartFile, WrittenOverwrittenAndRemoved) {
  const fs::path file = dir_ / "autostart" / "Varnley.desktop";
  EXPECT_EQ(AutostartFilePath(), file.string());

  ASSERT_TRUE(UpdateStartupEntry(true, "/opt/a/varnley"));
  EXPECT_EQ(ExecLine(read()), R"(Exec="/opt/a/varnley" -s)");
  ASSERT_TRUE(UpdateStartupEntry(true, "/opt/b/varnley"));
  EXPECT_EQ(ExecLine(read()), R"(Exec="/opt/b/varnley" -s)");
  EXPECT_FALSE(fs::exists(file.string() + ".tmp"));

  EXPECT_TRUE(UpdateStartupEntry(false, "/opt/b/varnley"));
  EXPECT_FALSE(fs::exists(file));
  // Removing what is not there is no failure and creates nothing.
  EXPECT_TRUE(UpdateStartupEntry(false, "/opt/b/varnley"));
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(AutostartFile, FailureIsReportedToTheCallerOnly) {
  // A file where the folder should be: the entry cannot be written, and nothing throws.
  std::ofstream(dir_ / "autostart") << "not a folder";
  EXPECT_FALSE(UpdateStartupEntry(true, "/opt/a/varnley"));
}

}  // namespace
}  // namespace varnley
