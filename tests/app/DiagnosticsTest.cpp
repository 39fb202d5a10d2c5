// The window's side of the diagnostics: reports from any thread reach the log, the ones the
// user must know reach the status bar and the tray tooltip.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <fstream>
#include <mutex>
#include <thread>

#include "WidgetSupport.h"
#include "app/StatusBarDiagnostics.h"
#include "app/TPortForm.h"
#include "monitor/Session.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;

class RecordingLog : public Diagnostics {
 public:
  void Report(Severity severity, std::string_view text) override {
    const std::lock_guard lock(mutex);
    lines.emplace_back(severity, std::string(text));
  }
  std::vector<std::pair<Severity, std::string>> taken() {
    const std::lock_guard lock(mutex);
    return lines;
  }
  std::mutex mutex;
  std::vector<std::pair<Severity, std::string>> lines;
};

class DiagnosticsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    session = std::make_unique<Session>((dir.path() / "varnley.ini").string(), false);
    form = std::make_unique<TPortForm>(*session, boxes);
    form->setTrayAvailable(false);
    form->setExecutablePath("/opt/varnley/varnley");
    form->watchDiagnostics(sink);
    // Wide enough that no notice of these tests is cut.
    form->resize(2400, 400);
    form->show();
  }
  QLabel* panel() { return form->findChild<QLabel*>(QStringLiteral("NoticePanel")); }
  QString trayTip() { return form->findChild<QSystemTrayIcon*>()->toolTip(); }

  test::TempDir dir;
  test::RecordingBoxes boxes;
  RecordingLog log;
  StatusBarDiagnostics sink{log};
  std::unique_ptr<Session> session;
  std::unique_ptr<TPortForm> form;
};

TEST_F(DiagnosticsTest, WorkerReportsAreLoggedAndTheOnesThatMatterShown) {
  QSignalSpy spy(&sink, &StatusBarDiagnostics::shown);
  const std::vector<std::pair<Severity, std::string>> sent{
      {Severity::Info, "monitoring 3 ports"},
      {Severity::Error, "the mail sender could not be made: no threads"},
      {Severity::Notice, "settings reloaded"},
      {Severity::Warning, "a probe pass failed 5 times: out of descriptors"}};
  std::thread worker([&] {
    for (const auto& [severity, text] : sent) sink.Report(severity, text);
  });
  worker.join();
  EXPECT_EQ(log.taken(), sent) << "everything reaches the log, at once and in order";
  EXPECT_TRUE(panel()->text().isEmpty()) << "the widgets change on their own thread only";
  ASSERT_TRUE(test::ProcessUntil([&] { return spy.size() == 2; }));
  EXPECT_EQ(spy.at(0).at(0).toString(),
            QStringLiteral("the mail sender could not be made: no threads"));
  const QString latest = QStringLiteral("a probe pass failed 5 times: out of descriptors");
  EXPECT_EQ(spy.at(1).at(0).toString(), latest);
  EXPECT_TRUE(panel()->text().endsWith(latest)) << panel()->text().toStdString();
  EXPECT_TRUE(panel()->toolTip().contains(QStringLiteral("mail sender")));
  EXPECT_TRUE(trayTip().contains(latest)) << trayTip().toStdString();
  EXPECT_FALSE(panel()->toolTip().contains(QStringLiteral("monitoring 3 ports")));
}

TEST_F(DiagnosticsTest, SettingsWarningsShowTheFirstWithTheCount) {
  const std::vector<std::string> lines{
      "settings line 12: host \"999.0.0.1\" is not a valid address; row dropped",
      "settings line 20: port \"99999\" is out of range; entry dropped",
      "settings line 31: section [host9] is beyond hostcount; section ignored"};
  form->showSettingsWarnings(lines);
  ASSERT_EQ(log.taken().size(), 3u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(log.taken()[i].first, Severity::Warning);
    EXPECT_EQ(log.taken()[i].second, lines[i]);
  }
  EXPECT_TRUE(
      panel()->text().endsWith(QString::fromStdString(lines[0]) + QStringLiteral(" (+2 more)")))
      << panel()->text().toStdString();
  for (const std::string& line : lines)
    EXPECT_TRUE(panel()->toolTip().contains(QString::fromStdString(line))) << line;

  form->resize(760, 400);
  ASSERT_TRUE(test::ProcessUntil([&] { return panel()->text().endsWith(QChar(0x2026)); }))
      << "a notice wider than the bar is cut with an ellipsis: " << panel()->text().toStdString();
  EXPECT_TRUE(panel()->toolTip().contains(QString::fromStdString(lines[0])));

  log.lines.clear();
  form->showSettingsWarnings({});
  EXPECT_TRUE(log.taken().empty());
}

TEST_F(DiagnosticsTest, AStartupEntryThatCannotBeWrittenIsSaid) {
  // A plain file where the autostart folder should be: no entry can be made, not even as root.
  std::ofstream(dir.path() / "autostart") << "x";
  test::WhenModal([](QWidget* dlg) {
    dlg->findChild<QCheckBox*>(QStringLiteral("RunCheckBox"))->setChecked(true);
    QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("OKBtn")), Qt::LeftButton);
  });
  form->SetToolButtonClick();
  ASSERT_EQ(log.taken().size(), 1u);
  EXPECT_EQ(log.taken()[0].second, "the start-up entry could not be written: " +
                                       (dir.path() / "autostart" / "Varnley.desktop").string());
  ASSERT_TRUE(test::ProcessUntil([&] { return !panel()->text().isEmpty(); }));
  EXPECT_TRUE(panel()->text().contains(QStringLiteral("start-up entry")));
  EXPECT_TRUE(session->settings().runAtLogon) << "the other settings still apply";
  EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
}  // namespace varnley
