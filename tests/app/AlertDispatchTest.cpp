// The main window's alerts with nobody at the desk: real notices left open, a flapping port,
// every change mailed through a loopback server; and the last mail's outcome on show.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QLabel>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "WidgetSupport.h"
#include "alert/MailStatus.h"
#include "alert/TEmailThread.h"
#include "app/QtMessageBoxes.h"
#include "app/TPortForm.h"
#include "monitor/Session.h"
#include "platform/StopSource.h"
#include "support/ScriptedSmtpServer.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using testing::Reply;

class AlertDispatch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }

  AlertDispatch() {
    session = std::make_unique<Session>((dir.path() / "varnley.ini").string(), false);
    session->monitor().SetProbe(
        [this](const std::string&, int, const StopSource&) { return portOpen.load(); });
    session->monitor().SetEmailWorkerFactory(TEmailThread::Factory(&status));
    form = std::make_unique<TPortForm>(*session, boxes);
    form->setTrayAvailable(false);
    form->watchMailStatus(status);
  }

  std::string deactivated() { return session->hosts().row(0)->deactivated; }
  QLabel* mailPanel() { return form->findChild<QLabel*>(QStringLiteral("MailPanel")); }

  test::TempDir dir;
  std::atomic<bool> portOpen{true};
  std::ostringstream errors;
  MailStatus status{errors};
  QtMessageBoxes boxes;
  std::unique_ptr<Session> session;
  std::unique_ptr<TPortForm> form;
};

TEST_F(AlertDispatch, AFlappingPortIsMailedInFullWhileTheBoxesStayOpen) {
  testing::ScriptedSmtpServer server(
      Reply("220 hi"),
      {Reply("250 mx"), Reply("250 reset"), Reply("250 sender"), Reply("250 rcpt"), Reply("354 go"),
       Reply("250 queued"), Reply("221 bye")},
      {.replayPerConnection = true});
  AlertSettings& s = session->settings();
  s.showMessage = s.sendEmail = true;
  s.interval = 1;
  s.smtpServer = server.address();
  s.userName = "ops";
  s.receiveEmail = "admin@example.org";
  session->hosts().append({"127.0.0.1", "7,", ""});
  form->StartToolButtonClick();

  // Nobody clicks: each change runs the window's tick (its own timer runs too) until the
  // worker has seen it, and the boxes stay where they are.
  constexpr int kFlaps = 3;
  for (int i = 0; i < kFlaps; ++i) {
    for (const bool open : {false, true}) {
      portOpen = open;
      ASSERT_TRUE(test::ProcessUntil([&] {
        form->MsgTimerTimer();
        return deactivated() == (open ? "" : "7,");
      })) << "flap "
          << i;
    }
  }
  auto subjects = [&] {
    std::vector<std::string> out;
    for (const auto& line : server.data())
      if (line.rfind("Subject: ", 0) == 0) out.push_back(line.substr(9));
    return out;
  };
  std::vector<std::string> mailed;
  ASSERT_TRUE(test::ProcessUntil(
      [&] {
        form->MsgTimerTimer();
        mailed = subjects();
        return mailed.size() >= 2 * kFlaps;
      },
      30s))
      << mailed.size() << " mails";
  for (std::size_t i = 0; i < mailed.size(); ++i)
    EXPECT_EQ(mailed[i], i % 2 ? "\"127.0.0.1:7\" is UP." : "\"127.0.0.1:7\" is DOWN.") << i;

  QMessageBox* down = boxes.openNotice(BoxKind::Warning);
  QMessageBox* up = boxes.openNotice(BoxKind::Information);
  ASSERT_TRUE(down && up);
  EXPECT_EQ(down->text().count(QStringLiteral("is DOWN.")), kFlaps);
  EXPECT_EQ(up->text().count(QStringLiteral("is UP.")), kFlaps);
  EXPECT_TRUE(test::ProcessUntil(
      [&] { return mailPanel()->text().startsWith(QStringLiteral("Mail sent ")); }));
  form->StopToolButtonClick();
  EXPECT_EQ(errors.str(), "");
}

TEST_F(AlertDispatch, AFailedMailShowsInTheStatusBarAndTheTrayTooltip) {
  const auto when = std::chrono::system_clock::now();
  const QString time = QDateTime::fromSecsSinceEpoch(std::chrono::system_clock::to_time_t(when))
                           .toString(QStringLiteral("HH:mm"));
  // Reported from the sender's own thread, as in a real run.
  std::thread([&] {
    status.Report({false, "Socket Error # 10061\r\nConnection refused.", when});
  }).join();
  ASSERT_TRUE(test::ProcessUntil([&] { return !mailPanel()->text().isEmpty(); }));
  EXPECT_EQ(mailPanel()->text(), QStringLiteral("Mail failed ") + time);
  EXPECT_EQ(mailPanel()->toolTip(), QStringLiteral("Socket Error # 10061\nConnection refused."));
  EXPECT_GE(mailPanel()->width(),
            mailPanel()->fontMetrics().horizontalAdvance(mailPanel()->text()));
  auto* tray = form->findChild<QSystemTrayIcon*>(QStringLiteral("TrayIcon"));
  ASSERT_NE(tray, nullptr);
  EXPECT_TRUE(tray->toolTip().contains(QStringLiteral("Mail failed ") + time));
  EXPECT_TRUE(tray->toolTip().contains(QStringLiteral("Connection refused.")));

  std::thread([&] { status.Report({true, "", when}); }).join();
  ASSERT_TRUE(test::ProcessUntil(
      [&] { return mailPanel()->text().startsWith(QStringLiteral("Mail sent")); }));
  EXPECT_FALSE(tray->toolTip().contains(QStringLiteral("refused")));

  // A form that goes away stops listening; later reports reach nobody.
  form.reset();
  status.Report({false, "late", when});
}

}  // namespace
}  // namespace varnley
