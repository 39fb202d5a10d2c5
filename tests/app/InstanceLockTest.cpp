#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "model/TempDir.h"
#include "platform/InstanceLock.h"

namespace varnley {
namespace {

using Result = InstanceLock::Result;

TEST(InstanceLock, OneHolderAtATime) {
  test::TempDir dir;
  const std::string path = dir.file("Varnley.lock");
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
  std::filesystem::create_symlink(dir.file("target"), dir.file("link.lock"));
  const std::string paths[] = {dir.file("missing/Varnley.lock"), dir.file("link.lock")};
  for (const auto& path : paths) {
    InstanceLock lock(path);
    EXPECT_EQ(lock.acquire(), Result::Unavailable) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("target")));  // the link was not followed
}

TEST(InstanceLock, DefaultPathFollowsTheRuntimeFolder) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved ? saved : "";
  const std::string fallback = "/tmp/Varnley-" + std::to_string(::getuid()) + ".lock";
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(InstanceLock::DefaultPath(), "/run/user/1000/Varnley.lock");
  ::setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
  EXPECT_EQ(InstanceLock::DefaultPath(), fallback);
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(InstanceLock::DefaultPath(), fallback);
  if (saved) ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
}

}  // namespace
}  // namespace varnley
