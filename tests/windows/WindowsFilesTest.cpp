// Reading and saving files on Windows: UTF-16 names, the replace that keeps the old file whole,
// and the cases a save must not replace. Wine keeps the files on a Linux file system and
// emulates the sharing rules; what the tests show is our handling of Windows' answers.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "model/TempDir.h"
#include "platform/FileAccess.h"
#include "platform/PathText.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

// The temporary files of saves of `file` still in its folder.
std::size_t TemporariesOf(const fs::path& file) {
  const std::wstring prefix = L"." + file.filename().wstring() + L".varnley-";
  std::size_t n = 0;
  for (const auto& entry : fs::directory_iterator(file.parent_path())) {
    if (entry.path().filename().wstring().rfind(prefix, 0) != 0) continue;
    ADD_FAILURE() << "left behind: " << Utf8FromPath(entry.path().filename());
    ++n;
  }
  return n;
}

class WindowsFiles : public ::testing::Test {
 protected:
  test::TempDir dir;
  // A name no ANSI code page holds whole: it must reach the system as UTF-16.
  const fs::path file = dir.path() / L"Überwachung-€-ωμέγα.ini";
  const std::string name = Utf8FromPath(file);
};

TEST_F(WindowsFiles, ReadsReportMissingFailedAndTooLarge) {
  std::string content, reason;
  EXPECT_EQ(ReadWholeFile(name, content, 100, &reason), ReadStatus::Missing);
  Write(file, "[config]\r\nrun=1\r\n");
  EXPECT_EQ(ReadWholeFile(name, content, 100, &reason), ReadStatus::Ok);
  EXPECT_EQ(content, "[config]\r\nrun=1\r\n");
  EXPECT_EQ(ReadWholeFile(name, content, 5, &reason), ReadStatus::Failed);
  EXPECT_TRUE(content.empty());
  EXPECT_FALSE(reason.empty());
  reason.clear();
  EXPECT_EQ(ReadWholeFile(Utf8FromPath(dir.path()), content, 100, &reason), ReadStatus::Failed);
  EXPECT_FALSE(reason.empty());

  std::string pieces;
  std::size_t size = 0;
  EXPECT_EQ(ReadFileInChunks(
                name, 100, 4,
                [&](std::string_view p) {
                  EXPECT_LE(p.size(), 4u);
                  pieces.append(p);
                },
                &size, &reason),
            ReadStatus::Ok);
  EXPECT_EQ(pieces, "[config]\r\nrun=1\r\n");
  EXPECT_EQ(size, pieces.size());
}

TEST_F(WindowsFiles, SaveCreatesAndReplacesLeavingNoTemporary) {
  std::string reason;
  ASSERT_TRUE(ReplaceFileAtomically(name, "first", &reason)) << reason;
  EXPECT_EQ(Read(file), "first");
  AtomicFileWriter writer(name);
  EXPECT_EQ(writer.method(), WriteMethod::Replace);
  writer.append("second ");
  writer.append(std::string(200000, 'x'));
  ASSERT_TRUE(writer.commit(&reason)) << reason;
  EXPECT_EQ(Read(file), "second " + std::string(200000, 'x'));
  EXPECT_EQ(TemporariesOf(file), 0u);
}

TEST_F(WindowsFiles, AFailedReplaceKeepsTheOldFileWhole) {
  Write(file, "old text");
  // Another program has the file open without letting it be replaced.
  const HANDLE holder = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::string reason;
  EXPECT_FALSE(ReplaceFileAtomically(name, "new text", &reason));
  EXPECT_NE(reason.find("replace"), std::string::npos) << reason;
  ::CloseHandle(holder);
  EXPECT_EQ(Read(file), "old text");
  // Our temporary went again. (Wine's own ReplaceFileW moves the old file aside under a name
  // of its own first, and leaves that one behind when the replace fails: not counted here.)
  EXPECT_EQ(TemporariesOf(file), 0u);
  // Once the other program lets go, the next save goes through.
  ASSERT_TRUE(ReplaceFileAtomically(name, "new text", &reason)) << reason;
  EXPECT_EQ(Read(file), "new text");
}

TEST_F(WindowsFiles, ReadOnlyIsRefusedAndHardLinksAreWrittenInPlace) {
  Write(file, "kept");
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  std::string reason;
  EXPECT_FALSE(ReplaceFileAtomically(name, "changed", &reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(Read(file), "kept");
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));

  const fs::path other = dir.path() / L"second-name.ini";
  if (!::CreateHardLinkW(other.c_str(), file.c_str(), nullptr))
    GTEST_SKIP() << "no hard links on this file system";
  AtomicFileWriter writer(name);
  EXPECT_EQ(writer.method(), WriteMethod::InPlace);
  writer.append("both names");
  ASSERT_TRUE(writer.commit(&reason)) << reason;
  EXPECT_EQ(Read(file), "both names");
  EXPECT_EQ(Read(other), "both names");
}

TEST_F(WindowsFiles, SaveRemovesTemporariesOfKilledSavesButNotOfRunningOnes) {
  const std::wstring prefix = L"." + file.filename().wstring() + L".varnley-";
  const fs::path stale = dir.path() / (prefix + L"abc123");
  const fs::path running = dir.path() / (prefix + L"def456");
  const fs::path unrelated = dir.path() / (prefix + L"notours-longer");
  Write(stale, "left by a killed save");
  Write(running, "being written");
  Write(unrelated, "someone else's");
  // A running save holds its temporary open without sharing.
  const HANDLE held = ::CreateFileW(running.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::string reason;
  ASSERT_TRUE(ReplaceFileAtomically(name, "saved", &reason)) << reason;
  ::CloseHandle(held);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(running));
  EXPECT_TRUE(fs::exists(unrelated));
}

}  // namespace
}  // namespace varnley
