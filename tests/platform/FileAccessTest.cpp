#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

#include "model/TempDir.h"
#include "platform/FileAccess.h"
#include "support/OtherUser.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;
using test::ReadText;
using test::WriteText;

TEST(DecideWrite, EachKindOfFile) {
  const auto with = [](auto change) {
    FileFacts facts;
    facts.exists = true;
    change(facts);
    return DecideWrite(facts).method;
  };
  EXPECT_EQ(DecideWrite(FileFacts{}).method, WriteMethod::Replace);  // a new file
  EXPECT_EQ(with([](FileFacts&) {}), WriteMethod::Replace);
  EXPECT_EQ(with([](FileFacts& f) { f.regular = false; }), WriteMethod::Refuse);
  EXPECT_EQ(with([](FileFacts& f) { f.writable = false; }), WriteMethod::Refuse);
  // Refused even when in place would keep everything else.
  EXPECT_EQ(with([](FileFacts& f) { f.writable = false, f.links = 3; }), WriteMethod::Refuse);
  EXPECT_EQ(with([](FileFacts& f) { f.links = 2; }), WriteMethod::InPlace);
  EXPECT_EQ(with([](FileFacts& f) { f.hasAcl = true; }), WriteMethod::InPlace);
  EXPECT_EQ(with([](FileFacts& f) { f.ownerKept = false; }), WriteMethod::InPlace);
}

struct Stat {
  explicit Stat(const std::string& path) { ok = ::stat(path.c_str(), &st) == 0; }
  bool ok = false;
  struct stat st {};
};

class SafeSave : public ::testing::Test {
 protected:
  void SetUp() override {
    // Other users may pass through and, in "shared", create files.
    ::chmod(dir.path().c_str(), 0755);
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 0777);
  }
  bool save(const std::string& path, std::string* reason = nullptr) {
    return ReplaceFileAtomically(path, "new\n", reason);
  }
  std::size_t entries(const std::string& folder) const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
  }

  test::TempDir dir;
  const std::string shared = dir.file("shared");
  const std::string file = dir.file("s.ini");
};

TEST_F(SafeSave, AFileNobodyMayWriteIsRefusedAndKept) {
  WriteText(file, "old\n");
  ::chmod(file.c_str(), 0444);
  std::string reason;
  EXPECT_FALSE(save(file, &reason));
  EXPECT_EQ(reason, "no write permission");
  EXPECT_EQ(ReadText(file), "old\n");
  EXPECT_EQ(Stat(file).st.st_mode & 0777, 0444u);
  EXPECT_EQ(entries(dir.path()), 2u);  // s.ini and shared: no temporary left
}

TEST_F(SafeSave, AnotherUsersFileKeepsOwnerGroupAndMode) {
  if (!test::CanActAsOtherUser()) GTEST_SKIP() << "needs root to make another user's file";
  WriteText(file, "old\n");
  ASSERT_EQ(::chown(file.c_str(), test::kOtherUid, test::kOtherUid), 0);
  ::chmod(file.c_str(), 0640);
  ASSERT_TRUE(save(file));
  const Stat after(file);
  EXPECT_EQ(after.st.st_uid, test::kOtherUid);
  EXPECT_EQ(after.st.st_gid, test::kOtherUid);
  EXPECT_EQ(after.st.st_mode & 0777, 0640u);
  EXPECT_EQ(ReadText(file), "new\n");
}

TEST_F(SafeSave, AUserCannotReplaceAFileTheyMayNotWrite) {
  if (!test::CanActAsOtherUser()) GTEST_SKIP() << "needs root to act as another user";
  // Root's file in a folder where anyone may create and rename files.
  const std::string theirs = shared + "/s.ini";
  WriteText(theirs, "old\n");
  ::chmod(theirs.c_str(), 0644);
  EXPECT_EQ(test::AsOtherUser([&] { return save(theirs) ? 1 : 0; }), 0);
  EXPECT_EQ(ReadText(theirs), "old\n");
  EXPECT_EQ(Stat(theirs).st.st_uid, 0u);

  // One they may write stays root's: it is written in place.
  ::chmod(theirs.c_str(), 0666);
  EXPECT_EQ(test::AsOtherUser([&] { return save(theirs) ? 0 : 1; }), 0);
  EXPECT_EQ(ReadText(theirs), "new\n");
  EXPECT_EQ(Stat(theirs).st.st_uid, 0u);
  EXPECT_EQ(Stat(theirs).st.st_mode & 0777, 0666u);
  EXPECT_EQ(entries(shared), 1u);
}

TEST_F(SafeSave, AWritableFileInAFolderThatTakesNoNewFilesIsWrittenInPlace) {
  if (!test::CanActAsOtherUser()) GTEST_SKIP() << "needs root to act as another user";
  WriteText(file, "old, longer than the new text\n");
  ASSERT_EQ(::chown(file.c_str(), test::kOtherUid, test::kOtherUid), 0);
  EXPECT_EQ(test::AsOtherUser([&] { return save(file) ? 0 : 1; }), 0);
  EXPECT_EQ(ReadText(file), "new\n");  // cut to the new length
}

TEST_F(SafeSave, HardLinksStayOneFile) {
  WriteText(file, "old\n");
  const std::string other = dir.file("other-name.ini");
  ASSERT_EQ(::link(file.c_str(), other.c_str()), 0);
  const ino_t inode = Stat(file).st.st_ino;
  AtomicFileWriter writer(file);
  EXPECT_EQ(writer.method(), WriteMethod::InPlace);
  writer.append("new\n");
  ASSERT_TRUE(writer.commit(nullptr));
  EXPECT_EQ(Stat(file).st.st_ino, inode);
  EXPECT_EQ(Stat(file).st.st_nlink, 2u);
  EXPECT_EQ(ReadText(other), "new\n");
}

// A POSIX access list in its extended-attribute form: the owner, the "nobody" user, the group,
// the mask and others.
std::string AccessList() {
  std::string acl;
  const auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) acl += static_cast<char>(v >> (8 * i) & 0xFF);
  };
  const auto entry = [&](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
    acl += static_cast<char>(tag & 0xFF);
    acl += static_cast<char>(tag >> 8);
    acl += static_cast<char>(perm & 0xFF);
    acl += static_cast<char>(perm >> 8);
    u32(id);
  };
  u32(2);  // version
  entry(0x01, 6, 0xFFFFFFFF);
  entry(0x02, 6, test::kOtherUid);
  entry(0x04, 4, 0xFFFFFFFF);
  entry(0x10, 6, 0xFFFFFFFF);
  entry(0x20, 0, 0xFFFFFFFF);
  return acl;
}

TEST_F(SafeSave, AnAccessListIsKept) {
  WriteText(file, "old\n");
  const std::string acl = AccessList();
  if (::setxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
    GTEST_SKIP() << "this file system takes no access lists";
  AtomicFileWriter writer(file);
  EXPECT_EQ(writer.method(), WriteMethod::InPlace);
  writer.append("new\n");
  ASSERT_TRUE(writer.commit(nullptr));
  EXPECT_EQ(ReadText(file), "new\n");
  EXPECT_GT(::getxattr(file.c_str(), "system.posix_acl_access", nullptr, 0), 0);
}

TEST_F(SafeSave, ADanglingLinkGetsItsTargetCreated) {
  fs::create_directory(dir.file("real"));
  const std::pair<std::string, std::string> links[] = {
      {dir.file("abs.ini"), dir.file("real/abs-target.ini")},
      {dir.file("rel.ini"), "real/rel-target.ini"},  // relative to the link's folder
  };
  for (const auto& [link, target] : links) {
    fs::create_symlink(target, link);
    ASSERT_TRUE(save(link)) << link;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), target);
    EXPECT_EQ(ReadText(link), "new\n");
    EXPECT_EQ(Stat(link).st.st_mode & 0777, 0600u);
  }
  // A link into a folder that is not there fails; nothing takes the link's place.
  fs::create_symlink(dir.file("missing/x.ini"), dir.file("broken.ini"));
  EXPECT_FALSE(save(dir.file("broken.ini")));
  EXPECT_TRUE(fs::is_symlink(dir.file("broken.ini")));
}

TEST_F(SafeSave, AKilledSavesTemporaryGoesAtTheNextSave) {
  WriteText(file, "old\n");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    AtomicFileWriter writer(file);
    writer.append(std::string(200000, 'x'));  // past the buffer: on disk
    ::write(ready[1], "r", 1);
    ::pause();
    ::_exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  // While that save runs, its temporary is left alone.
  ASSERT_EQ(entries(dir.path()), 3u);
  ASSERT_TRUE(save(file));
  EXPECT_EQ(entries(dir.path()), 3u);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(entries(dir.path()), 3u);  // killed: left behind
  ASSERT_TRUE(save(file));
  EXPECT_EQ(entries(dir.path()), 2u);
  EXPECT_EQ(ReadText(file), "new\n");
}

TEST_F(SafeSave, OnlyOurOwnUnheldTemporariesAreRemoved) {
  WriteText(file, "old\n");
  const char* removed[] = {".s.ini.varnley-AbC123", ".varnley-Xyz789"};
  const char* kept[] = {".t.ini.varnley-AbC123",  // another file's
                        ".s.ini.varnley-AbC12",   // not the pattern
                        ".s.ini.varnley-AbC12!", "s.ini.varnley-AbC123", ".varnley-AbC123.bak"};
  for (const char* name : removed) WriteText(dir.file(name), "x");
  for (const char* name : kept) WriteText(dir.file(name), "x");
  fs::create_directory(dir.file(".varnley-Dir123"));
  ASSERT_TRUE(save(file));
  for (const char* name : removed) EXPECT_FALSE(fs::exists(dir.file(name))) << name;
  for (const char* name : kept) EXPECT_TRUE(fs::exists(dir.file(name))) << name;
  EXPECT_TRUE(fs::exists(dir.file(".varnley-Dir123")));

  if (!test::CanActAsOtherUser()) return;
  const std::string foreign = dir.file(".s.ini.varnley-Other1");
  WriteText(foreign, "x");
  ASSERT_EQ(::chown(foreign.c_str(), test::kOtherUid, test::kOtherUid), 0);
  ASSERT_TRUE(save(file));
  EXPECT_TRUE(fs::exists(foreign));
}

}  // namespace
}  // namespace varnley
