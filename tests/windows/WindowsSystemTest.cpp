// The single-instance mutex, the start-up entry in the registry, paths and the socket error
// codes on Windows. Under Wine the registry and the mutexes are Wine's own: the tests show the
// calls and their order, not the access rules of a real Windows installation.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsock2.h>

#include <filesystem>
#include <vector>

#include "model/TempDir.h"
#include "platform/Autostart.h"
#include "platform/InstanceLock.h"
#include "platform/InternetDate.h"
#include "platform/PathText.h"
#include "platform/Paths.h"
#include "platform/SocketErrors.h"
#include "platform/TerminationSignals.h"
#include "platform/windows/RunKey.h"
#include "platform/windows/Wide.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;

TEST(WindowsInstance, TheNamedMutexAdmitsOneHolderUntilItIsReleased) {
  EXPECT_EQ(InstanceLock::DefaultPath(), "Varnley");
  const std::string name = "VarnleyTest-" + std::to_string(::GetCurrentProcessId());
  {
    InstanceLock first(name);
    ASSERT_EQ(first.acquire(), InstanceLock::Result::Acquired);
    EXPECT_EQ(first.acquire(), InstanceLock::Result::Acquired);  // asking again changes nothing
    InstanceLock second(name);
    EXPECT_EQ(second.acquire(), InstanceLock::Result::HeldElsewhere);
  }
  InstanceLock later(name);
  EXPECT_EQ(later.acquire(), InstanceLock::Result::Acquired);

  // A name another kind of object holds cannot be used as the guard: said so, never "held".
  const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, Wide(name + "-event").c_str());
  ASSERT_NE(event, nullptr);
  InstanceLock clash(name + "-event");
  EXPECT_EQ(clash.acquire(), InstanceLock::Result::Unavailable);
  EXPECT_FALSE(clash.reason().empty());
  ::CloseHandle(event);
}

// The Run keys with a value of the test's own, removed again whatever happens.
class RunKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OpenRunKey(HKEY_LOCAL_MACHINE, &machine), ERROR_SUCCESS);
    ASSERT_EQ(OpenRunKey(HKEY_CURRENT_USER, &user), ERROR_SUCCESS);
  }
  void TearDown() override {
    for (HKEY key : {machine, user}) {
      if (!key) continue;
      ::RegDeleteValueW(key, name.c_str());
      ::RegCloseKey(key);
    }
  }
  // The value's data in the key, or nothing.
  static std::wstring ValueIn(HKEY key, const std::wstring& name) {
    wchar_t data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data),
                           &size) != ERROR_SUCCESS)
      return L"<none>";
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    return data;
  }

  HKEY machine = nullptr;
  HKEY user = nullptr;
  const std::wstring name = L"VarnleyTest-" + std::to_wstring(::GetCurrentProcessId());
};

TEST_F(RunKeyTest, TheEntryGoesToTheMachineKeyAndComesOutOfBoth) {
  const std::string exe = "C:\\Program Files\\Überwachung\\varnley.exe";
  const std::string data = AutostartFileContent(exe);
  EXPECT_EQ(data, "\"C:\\Program Files\\Überwachung\\varnley.exe\" -s");
  EXPECT_EQ(AutostartFileContent(""), "");
  EXPECT_EQ(AutostartFileContent("C:\\a\"b.exe"), "");

  // A value the user's key kept from an earlier save without rights is taken out once the
  // machine's key takes the entry, so the program is not started twice.
  ASSERT_TRUE(UpdateRunValue(true, std::vector<HKEY>{user}, name, L"old"));
  ASSERT_TRUE(UpdateRunValue(true, std::vector<HKEY>{machine, user}, name, Wide(data)));
  EXPECT_EQ(ValueIn(machine, name), Wide(data));  // the whole UTF-16 path, quoted
  EXPECT_EQ(ValueIn(user, name), L"<none>");

  ASSERT_TRUE(UpdateRunValue(false, std::vector<HKEY>{machine, user}, name, L""));
  EXPECT_EQ(ValueIn(machine, name), L"<none>");
  // Removing what is not there is no failure.
  EXPECT_TRUE(UpdateRunValue(false, std::vector<HKEY>{machine, user}, name, L""));
}

TEST_F(RunKeyTest, AMachineKeyClosedToTheUserGivesWayToTheUsersKey) {
  // A handle without the right to set values is refused exactly as a user without
  // administrator rights is refused the machine's key.
  HKEY readOnly = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_QUERY_VALUE, &readOnly),
            ERROR_SUCCESS);
  EXPECT_TRUE(UpdateRunValue(true, std::vector<HKEY>{readOnly, user}, name, L"\"x.exe\" -s"));
  EXPECT_EQ(ValueIn(machine, name), L"<none>");
  EXPECT_EQ(ValueIn(user, name), L"\"x.exe\" -s");
  // Removal also reaches the user's key past the closed one.
  EXPECT_TRUE(UpdateRunValue(false, std::vector<HKEY>{readOnly, user}, name, L""));
  EXPECT_EQ(ValueIn(user, name), L"<none>");
  // A write that no key takes is reported.
  EXPECT_FALSE(UpdateRunValue(true, std::vector<HKEY>{readOnly}, name, L"\"x.exe\" -s"));
  ::RegCloseKey(readOnly);
}

TEST(WindowsPaths, ExecutableSettingsAndFallbackFolder) {
  const std::string exe = ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(PathFromUtf8(exe).is_absolute());
  EXPECT_EQ(PathFromUtf8(exe).extension(), L".exe");
  EXPECT_TRUE(fs::exists(PathFromUtf8(exe)));

  test::TempDir dir;
  // A folder that takes files gets the file beside the executable.
  const std::string beside = Utf8FromPath(dir.path() / L"Prüfung.exe");
  EXPECT_EQ(SettingsPathFor(beside), Utf8FromPath(dir.path() / L"Prüfung.ini"));
  // One that does not (here: one that is not there) sends it to the user's folder.
  const std::string nowhere = Utf8FromPath(dir.path() / L"missing" / L"varnley.exe");
  const std::string fallback = FallbackSettingsPath();
  ASSERT_FALSE(fallback.empty());
  EXPECT_EQ(PathFromUtf8(fallback).filename(), L"varnley.ini");
  EXPECT_EQ(PathFromUtf8(fallback).parent_path().parent_path(), PathFromUtf8(ConfigHome()));
  EXPECT_EQ(SettingsPathFor(nowhere), fallback);
  std::string reason;
  EXPECT_TRUE(PrepareSettingsFolder(fallback, &reason)) << reason;
  EXPECT_TRUE(fs::is_directory(PathFromUtf8(fallback).parent_path()));

  // "--config" with a name outside the ANSI code page is made absolute without losing it.
  const std::string given = SettingsPathFromOption("Übung€.ini", exe);
  EXPECT_TRUE(PathFromUtf8(given).is_absolute());
  EXPECT_EQ(PathFromUtf8(given).filename(), L"Übung€.ini");

  const std::string computer = ComputerName();
  EXPECT_FALSE(computer.empty());
  EXPECT_LE(computer.size(), 15u);
}

TEST(WindowsSystem, TheErrorTableUsesTheRealWinsockCodes) {
  EXPECT_EQ(kWsaNotASocket, WSAENOTSOCK);
  EXPECT_EQ(kWsaConnAborted, WSAECONNABORTED);
  EXPECT_EQ(kWsaConnReset, WSAECONNRESET);
  EXPECT_EQ(kWsaShutdown, WSAESHUTDOWN);
  EXPECT_EQ(kWsaConnRefused, WSAECONNREFUSED);
  EXPECT_EQ(kWsaHostNotFound, WSAHOST_NOT_FOUND);
  EXPECT_EQ(kWsaTryAgain, WSATRY_AGAIN);
  EXPECT_EQ(SocketErrorText(WSAETIMEDOUT), "Connection timed out.");
  EXPECT_EQ(SocketErrorText(WSAEADDRINUSE), "Address already in use.");
}

TEST(WindowsSystem, DateCarriesTheZoneOffsetOfItsLocalTime) {
  // The offset printed must be the one that turns the printed local time back into `when`.
  const std::time_t when = 1700000000;  // 2023-11-14 22:13:20 UTC
  const std::string date = InternetDate(when);
  ASSERT_EQ(date.size(), 31u) << date;
  tm parsed{};
  parsed.tm_mday = std::stoi(date.substr(5, 2));
  parsed.tm_year = std::stoi(date.substr(12, 4)) - 1900;
  parsed.tm_mon = 10;  // November
  EXPECT_EQ(date.substr(8, 3), "Nov");
  parsed.tm_hour = std::stoi(date.substr(17, 2));
  parsed.tm_min = std::stoi(date.substr(20, 2));
  parsed.tm_sec = std::stoi(date.substr(23, 2));
  const int sign = date[26] == '-' ? -1 : 1;
  const int offset = sign * (std::stoi(date.substr(27, 2)) * 60 + std::stoi(date.substr(29, 2)));
  EXPECT_EQ(::_mkgmtime(&parsed) - offset * 60, when) << date;
}

TEST(WindowsSystem, ConsoleControlEventBecomesAReadableWakeUp) {
  const int fd = InstallTerminationSignalPipe();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(InstallTerminationSignalPipe(), fd);  // installed once
  EXPECT_FALSE(DrainTerminationSignalPipe(fd));
  if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0))
    GTEST_SKIP() << "no console to send a control event to (Wine's bare console takes none)";
  // The handler runs on a thread of its own: wait for its byte.
  const SOCKET s = static_cast<SOCKET>(static_cast<unsigned>(fd));
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval tv{5, 0};
  ASSERT_EQ(::select(0, &readable, nullptr, nullptr, &tv), 1);
  EXPECT_TRUE(DrainTerminationSignalPipe(fd));
  EXPECT_FALSE(DrainTerminationSignalPipe(fd));
}

}  // namespace
}  // namespace varnley
