#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "model/TempDir.h"
#include "platform/InstanceLock.h"
#include "support/OtherUser.h"

namespace varnley {
namespace {

using Result = InstanceLock::Result;

TEST(InstanceLock, OneHolderAtATime) {
  test::TempDir dir;
  const std::string path = dir.file("lock/Varnley.lock");
  {
    InstanceLock first(path);
    ASSERT_EQ(first.acquire(), Result::Acquired);
    EXPECT_EQ(first.acquire(), Result::Acquired);  // asking again keeps it
    InstanceLock second(path);
    EXPECT_EQ(second.acquire(), Result::HeldElsewhere);
  }
  InstanceLock third(path);  // released with its holder
  EXPECT_EQ(third.acquire(), Result::Acquired);
}

TEST(InstanceLock, AFileThatCannotBeOpenedIsNotAnotherInstance) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("private"));
  std::filesystem::permissions(dir.file("private"), std::filesystem::perms::owner_all);
  std::filesystem::create_symlink(dir.file("target"), dir.file("private/link.lock"));
  const std::string paths[] = {dir.file("missing/deeper/Varnley.lock"),
                               dir.file("private/link.lock")};
  for (const auto& path : paths) {
    InstanceLock lock(path);
    EXPECT_EQ(lock.acquire(), Result::Unavailable) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("target")));  // the link was not followed
}

TEST(InstanceLock, OnePlacePerUserWhateverTheEnvironment) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved ? saved : "";
  const char* override = std::getenv("VARNLEY_INSTANCE_DIR");
  const std::string overridden = override ? override : "";
  ::unsetenv("VARNLEY_INSTANCE_DIR");
  const std::string expected = "/tmp/varnley-" + std::to_string(::geteuid()) + "/Varnley.lock";
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(InstanceLock::DefaultPath(), expected);
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(InstanceLock::DefaultPath(), expected);
  if (saved) ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
  if (override) ::setenv("VARNLEY_INSTANCE_DIR", overridden.c_str(), 1);
}

TEST(InstanceLock, MakesItsFolderPrivateAndUsesNoOtherFolder) {
  test::TempDir dir;
  {
    InstanceLock lock(dir.file("new/Varnley.lock"));
    ASSERT_EQ(lock.acquire(), Result::Acquired);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  // A folder others may write could hold a file they made: not ours to trust.
  std::filesystem::create_directory(dir.file("open"));
  std::filesystem::permissions(dir.file("open"), std::filesystem::perms::all);
  InstanceLock open(dir.file("open/Varnley.lock"));
  EXPECT_EQ(open.acquire(), Result::Unavailable);
  EXPECT_NE(open.reason().find("open to other users"), std::string::npos) << open.reason();
  EXPECT_FALSE(std::filesystem::exists(dir.file("open/Varnley.lock")));

  if (!test::CanActAsOtherUser()) GTEST_SKIP() << "needs root to make another user's folder";
  // Another user made the folder first (as anyone may in /tmp).
  std::filesystem::create_directory(dir.file("theirs"));
  ASSERT_EQ(::chown(dir.file("theirs").c_str(), test::kOtherUid, test::kOtherUid), 0);
  ::chmod(dir.file("theirs").c_str(), 0700);
  InstanceLock theirs(dir.file("theirs/Varnley.lock"));
  EXPECT_EQ(theirs.acquire(), Result::Unavailable);
  EXPECT_NE(theirs.reason().find("another user"), std::string::npos) << theirs.reason();
  // And nobody else can put a file into ours.
  InstanceLock mine(dir.file("mine/Varnley.lock"));
  ASSERT_EQ(mine.acquire(), Result::Acquired);
  ::chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(test::AsOtherUser([&] {
              return ::open(dir.file("mine/planted").c_str(), O_CREAT | O_WRONLY, 0600) < 0 ? 0 : 1;
            }),
            0);
}

// Restores the working folder when it goes.
class InFolder {
 public:
  explicit InFolder(const std::string& folder) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~InFolder() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

TEST(InstanceLock, EverySpellingOfASettingsFileGetsOneLock) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("conf"));
  std::filesystem::create_directory(dir.file("other"));
  test::WriteText(dir.file("conf/watch.ini"), "[config]\n");
  std::filesystem::create_symlink(dir.file("conf/watch.ini"), dir.file("other/link.ini"));
  std::filesystem::create_symlink("../conf", dir.file("other/confdir"));
  // A link to a file no save has written yet stands for the file it will be.
  std::filesystem::create_symlink(dir.file("conf/later.ini"), dir.file("other/later-link.ini"));
  InFolder here(dir.file("conf"));

  const std::string lock = InstanceLock::PathForSettings(dir.file("conf/watch.ini"));
  for (const std::string& spelling :
       {std::string("watch.ini"), std::string("./watch.ini"), std::string(".//watch.ini"),
        std::string("../conf/watch.ini"), dir.file("other/link.ini"),
        dir.file("other/confdir/watch.ini"), std::string("../other/link.ini")}) {
    EXPECT_EQ(InstanceLock::PathForSettings(spelling), lock) << spelling;
  }
  const std::string later = InstanceLock::PathForSettings("./later.ini");
  EXPECT_EQ(InstanceLock::PathForSettings(dir.file("other/later-link.ini")), later);
  test::WriteText(dir.file("conf/later.ini"), "");
  EXPECT_EQ(InstanceLock::PathForSettings("later.ini"), later);  // the same once it exists
  EXPECT_NE(later, lock);
  EXPECT_NE(InstanceLock::PathForSettings(dir.file("other/watch.ini")), lock);
}

TEST(InstanceLock, ASecondRunOnTheSameFileThroughALinkIsRefused) {
  test::TempDir dir;
  const char* saved = std::getenv("VARNLEY_INSTANCE_DIR");
  const std::string previous = saved ? saved : "";
  ::setenv("VARNLEY_INSTANCE_DIR", dir.file("locks").c_str(), 1);
  test::WriteText(dir.file("watch.ini"), "[config]\n");
  std::filesystem::create_symlink(dir.file("watch.ini"), dir.file("link.ini"));
  {
    InFolder here(dir.file(""));
    InstanceLock first(InstanceLock::PathForSettings("./watch.ini"));
    ASSERT_EQ(first.acquire(), Result::Acquired) << first.reason();
    InstanceLock second(InstanceLock::PathForSettings("link.ini"));
    EXPECT_EQ(second.acquire(), Result::HeldElsewhere);
  }
  if (saved) {
    ::setenv("VARNLEY_INSTANCE_DIR", previous.c_str(), 1);
  } else {
    ::unsetenv("VARNLEY_INSTANCE_DIR");
  }
}

}  // namespace
}  // namespace varnley
