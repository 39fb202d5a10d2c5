#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTest>
#include <QToolButton>
#include <atomic>
#include <fstream>
#include <memory>

#include "WidgetSupport.h"
#include "app/HostTableModel.h"
#include "app/TPortForm.h"
#include "model/Settings.h"
#include "monitor/Session.h"
#include "platform/StopSource.h"

namespace varnley {
namespace {

using Box = test::RecordingBoxes::Box;

class PortFormTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }

  void open(const std::string& ini = "") {
    path = (dir.path() / "varnley.ini").string();
    if (!ini.empty()) std::ofstream(path) << ini;
    session = std::make_unique<Session>(path, false);
    // No test reaches the network: every probe answers from this flag.
    session->monitor().SetProbe(
        [this](const std::string&, int, const StopSource&) { return portsOpen.load(); });
    form = std::make_unique<TPortForm>(*session, boxes);
    form->setTrayAvailable(false);
  }

  QTableView* table() { return form->findChild<QTableView*>(QStringLiteral("ListView")); }
  void select(int row) { table()->selectRow(row); }
  std::vector<MonitoredHost> rows() { return session->hosts().snapshot(); }

  // Fills the host editor once it is up, then presses OK (or Cancel).
  static void answerHostDialog(std::array<const char*, 4> octets, std::vector<const char*> add,
                               bool ok = true) {
    test::WhenModal([octets, add, ok](QWidget* dlg) {
      for (int i = 0; i < 4; ++i) {
        auto* e = dlg->findChild<QLineEdit*>(QStringLiteral("HostEdit%1").arg(i + 1));
        e->setText(QLatin1String(octets[static_cast<std::size_t>(i)]));
      }
      for (const char* port : add) {
        dlg->findChild<QLineEdit*>(QStringLiteral("PortEdit"))->setText(QLatin1String(port));
        QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("AddButton")),
                          Qt::LeftButton);
      }
      QTest::mouseClick(
          dlg->findChild<QPushButton*>(ok ? QStringLiteral("OKBtn") : QStringLiteral("CancelBtn")),
          Qt::LeftButton);
    });
  }

  test::TempDir dir;
  std::string path;
  std::atomic<bool> portsOpen{true};
  test::RecordingBoxes boxes;
  std::unique_ptr<Session> session;
  std::unique_ptr<TPortForm> form;
};

const char* kTwoHosts =
    "[config]\nhostcount=2\n[host1]\nhost=127.0.0.1\nport=22,80,\n"
    "[host2]\nhost=127.0.0.2\nport=443,\n";

TEST_F(PortFormTest, AddHostAppendsTheRow) {
  open();
  answerHostDialog({"127", "0", "0", "9"}, {"80", "443"});
  form->AddToolButtonClick();
  EXPECT_EQ(rows(), (std::vector<MonitoredHost>{{"127.0.0.9", "80,443,", ""}}));
  EXPECT_EQ(form->tableModel().rowCount(), 1);
  EXPECT_TRUE(boxes.shown.empty());

  answerHostDialog({"127", "0", "0", "10"}, {}, /*ok=*/false);
  form->AddToolButtonClick();
  EXPECT_EQ(rows().size(), 1u);
}

TEST_F(PortFormTest, AddingAKnownHostFocusesItsRow) {
  open(kTwoHosts);
  select(0);
  answerHostDialog({"127", "0", "0", "2"}, {"8080"});
  form->AddToolButtonClick();
  EXPECT_EQ(rows().size(), 2u);
  EXPECT_EQ(rows()[1].ports, "443,");
  EXPECT_EQ(table()->currentIndex().row(), 1);
  EXPECT_TRUE(table()->selectionModel()->isRowSelected(1, {}));
}

// A name or IPv6 host typed in the name edit is added in its stored form, and found again
// by that form.
TEST_F(PortFormTest, NamesAndIPv6AreAddedOnceByTheirStoredForm) {
  open();
  const auto addNamed = [](const char* host) {
    test::WhenModal([host](QWidget* dlg) {
      dlg->findChild<QLineEdit*>(QStringLiteral("HostNameEdit"))->setText(QLatin1String(host));
      dlg->findChild<QLineEdit*>(QStringLiteral("PortEdit"))->setText(QStringLiteral("80"));
      QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("AddButton")), Qt::LeftButton);
      QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("OKBtn")), Qt::LeftButton);
    });
  };
  for (const char* host : {"[::0001]", "DB.Test.", "::1", "db.test"}) {
    addNamed(host);
    form->AddToolButtonClick();
  }
  ASSERT_EQ(rows().size(), 2u);
  EXPECT_EQ(rows()[0].host, "::1");
  EXPECT_EQ(rows()[1].host, "db.test");
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PortFormTest, InvalidAddressIsRefusedWithABox) {
  open();
  answerHostDialog({"10", "0", "0", "300"}, {"80"});
  form->AddToolButtonClick();
  EXPECT_TRUE(rows().empty());
  EXPECT_EQ(boxes.shown, (std::vector<Box>{{BoxKind::Information, "\"10.0.0.300\" is invalid."}}));
}

TEST_F(PortFormTest, EditChangesHostAndPortsButNotTheDeactivatedText) {
  open(kTwoHosts);
  session->hosts().update(0, [](MonitoredHost& h) { h.deactivated = "22,"; });
  select(0);
  test::WhenModal([](QWidget* dlg) {
    auto* list = dlg->findChild<QListWidget*>(QStringLiteral("PortListBox"));
    ASSERT_EQ(list->count(), 2);
    list->setCurrentRow(0);
    QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("DeleteButton")), Qt::LeftButton);
    dlg->findChild<QLineEdit*>(QStringLiteral("HostEdit4"))->setText(QStringLiteral("7"));
    dlg->findChild<QLineEdit*>(QStringLiteral("PortEdit"))->setText(QStringLiteral("25"));
    QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("AddButton")), Qt::LeftButton);
    QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("OKBtn")), Qt::LeftButton);
  });
  form->EditToolButtonClick();
  EXPECT_EQ(rows()[0], (MonitoredHost{"127.0.0.7", "80,25,", "22,"}));

  answerHostDialog({"127", "0", "0", "256"}, {});
  form->EditToolButtonClick();
  EXPECT_EQ(rows()[0].host, "127.0.0.7");
  EXPECT_EQ(boxes.shown, (std::vector<Box>{{BoxKind::Information, "\"127.0.0.256\" is invalid."}}));
}

TEST_F(PortFormTest, RemoveAsksAndObeysTheAnswer) {
  open(kTwoHosts);
  select(1);
  boxes.answers = {BoxButton::No, BoxButton::Yes};
  form->RemoveToolButtonClick();
  EXPECT_EQ(rows().size(), 2u);
  form->RemoveToolButtonClick();
  EXPECT_EQ(rows(), (std::vector<MonitoredHost>{{"127.0.0.1", "22,80,", ""}}));
  const Box ask{BoxKind::Confirm, "Do you sure to delete Host \"127.0.0.2\"?"};
  EXPECT_EQ(boxes.shown, (std::vector<Box>{ask, ask}));
}

TEST_F(PortFormTest, EditAndRemoveNeedASelectedRow) {
  open();
  form->EditToolButtonClick();
  form->RemoveToolButtonClick();
  EXPECT_TRUE(boxes.shown.empty()) << "an empty table asks nothing";

  session->hosts().append({"127.0.0.1", "80,", ""});
  table()->clearSelection();
  form->EditToolButtonClick();
  form->RemoveToolButtonClick();
  const Box select{BoxKind::Information, "Please select a Host."};
  EXPECT_EQ(boxes.shown, (std::vector<Box>{select, select}));
  EXPECT_EQ(rows().size(), 1u);
}

TEST_F(PortFormTest, StartDisablesExactlyTheHostAndSettingsCommandsAndStopEnablesThem) {
  open(kTwoHosts);
  const char* ten[] = {"AddToolButton",   "EditToolButton", "RemoveToolButton", "SetToolButton",
                       "StartToolButton", "AddHost1",       "EditHost1",        "RemoveHost1",
                       "ImportHosts1",    "ExportHosts1",   "AlertSettings1",   "StartMonitor1"};
  const char* stop[] = {"StopToolButton", "StopMonitor1"};
  auto enabled = [this](const char* name) {
    if (auto* b = form->findChild<QToolButton*>(QLatin1String(name))) return b->isEnabled();
    auto* a = form->findChild<QAction*>(QLatin1String(name));
    EXPECT_NE(a, nullptr) << name;
    return a && a->isEnabled();
  };
  auto check = [&](bool running) {
    for (const char* name : ten) EXPECT_EQ(enabled(name), !running) << name;
    for (const char* name : stop) EXPECT_EQ(enabled(name), running) << name;
    for (const char* name : {"Exit1", "About1"}) EXPECT_TRUE(enabled(name)) << name;
  };
  check(false);
  form->findChild<QToolButton*>(QStringLiteral("StartToolButton"))->click();
  EXPECT_TRUE(session->monitor().Running());
  check(true);

  // The table's double-click follows Edit Host Ports: no dialog while monitoring runs.
  bool opened = false;
  auto openAndReject = [&opened](QWidget* dlg) {
    opened = true;
    static_cast<QDialog*>(dlg)->reject();
  };
  QPointer<QTimer> watch = test::WhenModal(openAndReject);
  select(0);
  const QRect cell = table()->visualRect(form->tableModel().index(0, 0));
  // A dialog would run its loop inside the click, so returning without one means none opened.
  QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_FALSE(opened);
  delete watch.data();

  form->findChild<QAction*>(QStringLiteral("StopMonitor1"))->trigger();
  EXPECT_FALSE(session->monitor().Running());
  check(false);
  test::WhenModal(openAndReject);
  QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_TRUE(opened) << "stopped, the double-click edits the row";
}

TEST_F(PortFormTest, TickShowsTheDownWarningThenTheUpInformation) {
  open();
  session->settings().showMessage = true;
  form->hide();
  session->queues().AddDownEntry("10.0.0.5:80");
  session->queues().AddDownEntry("10.0.0.5:443");
  session->queues().AddUpEntry("10.0.0.6:22");
  form->MsgTimerTimer();
  EXPECT_EQ(boxes.notices,
            (std::vector<Box>{{BoxKind::Warning, "\"10.0.0.5:80,10.0.0.5:443\" is DOWN."},
                              {BoxKind::Information, "\"10.0.0.6:22\" is UP."}}));
  EXPECT_TRUE(boxes.shown.empty()) << "no alert waits for a click";
  EXPECT_TRUE(form->isVisible()) << "an alert brings the window back first";

  boxes.notices.clear();
  session->settings().showMessage = false;
  session->queues().AddDownEntry("10.0.0.5:80");
  form->MsgTimerTimer();
  EXPECT_TRUE(boxes.notices.empty());
}

TEST_F(PortFormTest, RealWorkerChangesReachTheTableAndTheBox) {
  open("[config]\ninterval=1\nmessage=1\nhostcount=1\n[host1]\nhost=127.0.0.1\nport=7,\n");
  portsOpen = false;
  form->StartToolButtonClick();
  ASSERT_TRUE(test::ProcessUntil([&] {
    return form->tableModel().data(form->tableModel().index(0, 2)).toString() ==
           QStringLiteral("7,");
  }));
  // The worker queues the change after it writes the row; the window's own 2-second timer
  // turns it into the box.
  EXPECT_TRUE(test::ProcessUntil([&] { return !boxes.notices.empty(); }));
  EXPECT_EQ(boxes.notices, (std::vector<Box>{{BoxKind::Warning, "\"127.0.0.1:7\" is DOWN."}}));
  form->StopToolButtonClick();
  // The column keeps what it showed after Stop.
  EXPECT_EQ(form->tableModel().data(form->tableModel().index(0, 2)).toString(),
            QStringLiteral("7,"));
}

TEST_F(PortFormTest, ClosingStopsMonitoringAndSavesTheHosts) {
  open(kTwoHosts);
  QSignalSpy closed(form.get(), &TPortForm::closed);
  form->StartToolButtonClick();
  session->hosts().append({"127.0.0.3", "25,", "25,"});
  form->findChild<QAction*>(QStringLiteral("Exit1"))->trigger();
  EXPECT_EQ(closed.count(), 1);
  EXPECT_FALSE(session->monitor().Running());

  AlertSettings settings;
  std::vector<MonitoredHost> hosts;
  LoadSettings(path, settings, hosts);
  EXPECT_EQ(hosts,
            (std::vector<MonitoredHost>{
                {"127.0.0.1", "22,80,", ""}, {"127.0.0.2", "443,", ""}, {"127.0.0.3", "25,", ""}}));
}

TEST_F(PortFormTest, AboutAndTrayRestore) {
  session = nullptr;
  path = (dir.path() / "varnley.ini").string();
  session = std::make_unique<Session>(path, /*startedHidden=*/true);
  session->monitor().SetProbe([](const std::string&, int, const StopSource&) { return true; });
  form = std::make_unique<TPortForm>(*session, boxes);
  form->setTrayAvailable(true);
  form->showAtStart();
  EXPECT_FALSE(form->isVisible()) << "-s with a tray starts hidden";
  EXPECT_TRUE(session->monitor().Running());

  form->TrayIconClick();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(session->startedHidden());
  form->TrayIconClick();  // visible: nothing changes
  EXPECT_TRUE(form->isVisible());

  // Minimising hides into the tray; the tray click restores it at its normal state.
  form->showMinimized();
  EXPECT_TRUE(test::ProcessUntil([&] { return !form->isVisible(); }));
  form->TrayIconClick();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->isMinimized());

  form->About1Click();
  EXPECT_EQ(boxes.shown,
            (std::vector<Box>{{BoxKind::Information,
                               "Varnley 1.0\r\nFreeware\r\nhttps://varnley.example.org/"}}));
}

TEST_F(PortFormTest, CaptionsAndShortcutsOfTheCommands) {
  open();
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Varnley 1.0"));
  struct Item {
    const char* name;
    const char* caption;
    QKeySequence keys;
  } items[] = {
      {"AddHost1", "Add Host...", QKeySequence(Qt::CTRL | Qt::Key_A)},
      {"EditHost1", "Edit Host Ports...", QKeySequence(Qt::CTRL | Qt::Key_E)},
      {"RemoveHost1", "Remove Host", {}},
      {"ImportHosts1", "Import Hosts...", {}},
      {"ExportHosts1", "Export Hosts...", {}},
      {"Exit1", "Exit", QKeySequence(Qt::ALT | Qt::Key_F4)},
      {"StartMonitor1", "Start Monitor", QKeySequence(Qt::CTRL | Qt::Key_S)},
      {"StopMonitor1", "Stop Monitor", {}},
      {"AlertSettings1", "Alert Settings", {}},
      {"About1", "About...", {}},
  };
  for (const auto& item : items) {
    auto* a = form->findChild<QAction*>(QLatin1String(item.name));
    ASSERT_NE(a, nullptr) << item.name;
    EXPECT_EQ(a->text(), QLatin1String(item.caption));
    EXPECT_EQ(a->shortcut(), item.keys) << item.name;
  }
  const char* buttons[][2] = {
      {"AddToolButton", "Add Host"},        {"EditToolButton", "Edit Host Ports"},
      {"RemoveToolButton", "Remove Host"},  {"SetToolButton", "Alert Settings"},
      {"StartToolButton", "Start Monitor"}, {"StopToolButton", "Stop Monitor"}};
  for (const auto& b : buttons) {
    auto* button = form->findChild<QToolButton*>(QLatin1String(b[0]));
    ASSERT_NE(button, nullptr) << b[0];
    EXPECT_EQ(button->text(), QLatin1String(b[1]));
    EXPECT_FALSE(button->icon().isNull()) << b[0];
  }
  auto* model = &form->tableModel();
  EXPECT_EQ(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Deactivated Ports"));
}

TEST_F(PortFormTest, ImportShowsThePreviewAndOnlyImportChangesTheTableAndTheFile) {
  open(kTwoHosts);
  const std::string list = dir.file("list.csv");
  std::ofstream(list) << "port,host\n8080,127.0.0.1\n22,127.0.0.1\n70000,127.0.0.3\n9,db.example.com\n";
  const std::string before = test::ReadText(path);
  QString summary, refusals;
  auto answer = [&](bool import) {
    test::WhenModal([&, import](QWidget* dlg) {
      summary = dlg->findChild<QLabel*>(QStringLiteral("SummaryLabel"))->text();
      refusals = dlg->findChild<QPlainTextEdit*>(QStringLiteral("RefusalsMemo"))->toPlainText();
      QTest::mouseClick(dlg->findChild<QPushButton*>(import ? QStringLiteral("ImportBtn")
                                                            : QStringLiteral("CancelBtn")),
                        Qt::LeftButton);
    });
  };
  answer(false);
  form->importHostsFrom(QString::fromStdString(list));
  EXPECT_TRUE(summary.contains(QStringLiteral(
      "1 host added, 1 merged into existing rows, 0 already there; 2 ports added, 1 already "
      "there; 1 line refused")))
      << summary.toStdString();
  EXPECT_EQ(refusals, QStringLiteral("line 4: port 70000 is out of range\n"));
  EXPECT_EQ(rows().size(), 2u);
  EXPECT_EQ(test::ReadText(path), before);

  answer(true);
  form->importHostsFrom(QString::fromStdString(list));
  ASSERT_EQ(rows().size(), 3u);
  EXPECT_EQ(rows()[0].ports, "22,80,8080,");
  EXPECT_EQ(rows()[2].host, "db.example.com");
  EXPECT_NE(test::ReadText(path).find("host=db.example.com"), std::string::npos);

  form->exportHostsTo(QString::fromStdString(dir.file("out.txt")));
  EXPECT_EQ(test::ReadText(dir.file("out.txt")),
            "127.0.0.1:22,80,8080\n127.0.0.2:443\ndb.example.com:9\n");
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PortFormTest, KeyboardReachesTheWholeWindowAndItsMenus) {
  open(kTwoHosts);
  form->show();
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  table()->setFocus();
  select(0);
  QTest::keyClick(table(), Qt::Key_Tab);
  EXPECT_NE(QApplication::focusWidget(), table()) << "Tab leaves the table";
  table()->setFocus();
  QTest::keyClick(table(), Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_NE(QApplication::focusWidget(), table()) << "Shift+Tab leaves the table";
  // The arrows still walk the rows.
  table()->setFocus();
  QTest::keyClick(table(), Qt::Key_Down);
  EXPECT_EQ(table()->currentIndex().row(), 1);

  auto openMenu = [this] { return form->menuBar()->activeAction(); };
  QTest::keyClick(form.get(), Qt::Key_H, Qt::AltModifier);
  ASSERT_TRUE(test::ProcessUntil([&] { return openMenu() != nullptr; }));
  EXPECT_EQ(openMenu()->menu()->objectName(), QStringLiteral("Help1"));
  QTest::keyClick(openMenu()->menu(), Qt::Key_Escape);               // closes the menu
  if (openMenu()) QTest::keyClick(form->menuBar(), Qt::Key_Escape);  // leaves the bar
  ASSERT_TRUE(test::ProcessUntil([&] { return openMenu() == nullptr; }));
  QTest::keyClick(form.get(), Qt::Key_F10);
  ASSERT_TRUE(test::ProcessUntil([&] { return openMenu() != nullptr; }));
  EXPECT_EQ(openMenu()->menu()->objectName(), QStringLiteral("Host1"));
  EXPECT_EQ(openMenu()->menu()->title(), QStringLiteral("H&ost"));
}

TEST_F(PortFormTest, TheLastColumnTakesTheRestOfTheWidth) {
  open(kTwoHosts);
  form->resize(900, 446);
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  const int right = table()->columnViewportPosition(2) + table()->columnWidth(2);
  EXPECT_EQ(right, table()->viewport()->width());
  EXPECT_EQ(table()->columnWidth(0), 150);
  EXPECT_EQ(table()->columnWidth(1), 200);
}

TEST_F(PortFormTest, TrayAndStatusBarShowTheMonitoringStateAtAGlance) {
  open(
      "[config]\ninterval=1\nparallel=8\nhostcount=2\n[host1]\nhost=127.0.0.1\nport=7,9,\n"
      "[host2]\nhost=127.0.0.2\nport=13,\n");
  auto* tray = form->findChild<QSystemTrayIcon*>(QStringLiteral("TrayIcon"));
  auto* panel = form->findChild<QLabel*>(QStringLiteral("MonitorPanel"));
  ASSERT_TRUE(tray && panel);
  EXPECT_EQ(form->trayState(), TrayState::Idle);
  EXPECT_EQ(tray->toolTip(), QStringLiteral("Varnley\nNot monitoring"));
  EXPECT_EQ(tray->icon().pixmap(22).toImage(), ApplicationIcon().pixmap(22).toImage());

  form->StartToolButtonClick();
  EXPECT_EQ(form->trayState(), TrayState::Monitoring);
  EXPECT_EQ(tray->toolTip(), QStringLiteral("Varnley\nMonitoring: 0 ports down"));
  EXPECT_EQ(panel->text(), QStringLiteral("Monitoring: 0 ports down"));

  portsOpen = false;
  ASSERT_TRUE(test::ProcessUntil([&] { return form->trayState() == TrayState::Down; }));
  ASSERT_TRUE(test::ProcessUntil([&] {
    return tray->toolTip() == QStringLiteral("Varnley\nMonitoring: 3 ports down");
  })) << tray->toolTip().toStdString();
  EXPECT_EQ(tray->icon().pixmap(22).toImage(), TrayStateIcon(TrayState::Down).pixmap(22).toImage());
  EXPECT_NE(TrayStateIcon(TrayState::Down).pixmap(22).toImage(),
            TrayStateIcon(TrayState::Monitoring).pixmap(22).toImage());

  portsOpen = true;
  ASSERT_TRUE(test::ProcessUntil([&] { return form->trayState() == TrayState::Monitoring; }));
  EXPECT_EQ(tray->toolTip(), QStringLiteral("Varnley\nMonitoring: 0 ports down"));

  form->StopToolButtonClick();
  EXPECT_EQ(form->trayState(), TrayState::Idle);
  EXPECT_EQ(panel->text(), QStringLiteral("Not monitoring"));
}

}  // namespace
}  // namespace varnley
