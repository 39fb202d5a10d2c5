// A second start asks the running copy to show its window: the listener and the client in
// one process, and the request reaching a form hidden in the tray.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QTest>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "WidgetSupport.h"
#include "app/ShowRequestBridge.h"
#include "app/TPortForm.h"
#include "monitor/Session.h"
#include "platform/ShowRequest.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

class ShowRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::permissions(dir.path(), fs::perms::owner_all); }
  std::string path() const { return (dir.path() / "Varnley.show").string(); }
  test::TempDir dir;
};

TEST_F(ShowRequestTest, ARequestWakesTheListenerAndIsTakenOnce) {
  ShowRequestListener listener;
  ASSERT_TRUE(listener.Listen(path())) << listener.Listen(path()).reason;
  EXPECT_FALSE(listener.TakeRequests()) << "nothing asked yet";
  struct stat st {};
  ASSERT_EQ(::lstat(path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));

  // Several starts before the window loop gets round to them: one batch, then nothing left.
  for (int i = 0; i < 3; ++i) {
    const Status asked = RequestShow(path(), Deadline::After(1s));
    EXPECT_TRUE(asked) << asked.reason;
  }
  EXPECT_TRUE(Readable(listener.descriptor(), 1000));
  EXPECT_TRUE(listener.TakeRequests());
  EXPECT_FALSE(Readable(listener.descriptor(), 0));
  EXPECT_FALSE(listener.TakeRequests());
}

TEST_F(ShowRequestTest, NoListenerFailsWithinTheDeadline) {
  const auto start = std::chrono::steady_clock::now();
  const Status asked = RequestShow(path(), Deadline::After(300ms));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(asked);
  EXPECT_NE(asked.reason.find(path()), std::string::npos) << asked.reason;
  EXPECT_GE(took, 250ms) << "a copy that is only starting gets its moment";
  EXPECT_LT(took, 1s);
}

TEST_F(ShowRequestTest, ADeadCopysSocketIsReplacedAndOnlyTheOwnIsRemoved) {
  {
    // A copy that died leaves its socket behind, with nobody listening.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  {
    ShowRequestListener listener;
    const Status listening = listener.Listen(path());
    ASSERT_TRUE(listening) << listening.reason;
    EXPECT_TRUE(RequestShow(path(), Deadline::After(1s)));
    EXPECT_TRUE(Readable(listener.descriptor(), 1000));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(path()))) << "the listener removes its socket";

  // Whatever else stands in the socket's place is left alone and refused.
  test::WriteText(path(), "notes");
  ShowRequestListener listener;
  EXPECT_FALSE(listener.Listen(path()));
  EXPECT_EQ(listener.descriptor(), -1);
  EXPECT_EQ(test::ReadText(path()), "notes");
}

TEST_F(ShowRequestTest, AFolderOthersMayEnterOrAnOverlongPathIsRefusedBothWays) {
  struct Case {
    const char* name;
    std::string path;
    fs::perms folder;
    const char* reason;
  };
  const Case cases[] = {
      {"open folder", path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
       "open to other users"},
      {"long path", (dir.path() / std::string(120, 'x')).string(), fs::perms::owner_all,
       "too long"},
      {"no folder", (dir.path() / "gone" / "Varnley.show").string(), fs::perms::owner_all,
       "No such file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::permissions(dir.path(), c.folder);
    ShowRequestListener listener;
    const Status listening = listener.Listen(c.path);
    EXPECT_FALSE(listening);
    EXPECT_NE(listening.reason.find(c.reason), std::string::npos) << listening.reason;
    EXPECT_FALSE(fs::exists(fs::symlink_status(c.path)));
    const Status asked = RequestShow(c.path, Deadline::After(100ms));
    EXPECT_FALSE(asked);
    EXPECT_NE(asked.reason.find(c.reason), std::string::npos) << asked.reason;
  }
}

class ShowRequestFormTest : public ShowRequestTest {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }
};

TEST_F(ShowRequestFormTest, AWindowHiddenInTheTrayComesBackAndAMinimisedOneToTheFront) {
  test::TempDir settings;
  Session session((settings.path() / "varnley.ini").string(), true);
  test::RecordingBoxes boxes;
  TPortForm form(session, boxes);
  form.setTrayAvailable(true);
  form.showAtStart();
  ASSERT_FALSE(form.isVisible()) << "\"-s\" with a tray starts hidden";

  ShowRequestListener listener;
  ASSERT_TRUE(listener.Listen(path()));
  ShowRequestBridge bridge(listener);
  QObject::connect(&bridge, &ShowRequestBridge::showRequested, &form, &TPortForm::BringToFront);
  ASSERT_TRUE(RequestShow(path(), Deadline::After(1s)));
  EXPECT_TRUE(test::ProcessUntil([&] { return form.isVisible(); }, 5s));
  EXPECT_FALSE(session.startedHidden());

  form.setTrayAvailable(false);
  form.showMinimized();
  ASSERT_TRUE(test::ProcessUntil([&] { return form.isMinimized(); }, 5s));
  ASSERT_TRUE(RequestShow(path(), Deadline::After(1s)));
  EXPECT_TRUE(test::ProcessUntil([&] { return !form.isMinimized(); }, 5s));
  EXPECT_TRUE(form.isVisible());
}

}  // namespace
}  // namespace varnley
