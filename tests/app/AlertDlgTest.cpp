#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "WidgetSupport.h"
#include "app/TAlertDlg.h"
#include "app/TPortForm.h"
#include "model/Settings.h"
#include "monitor/Session.h"
#include "platform/Autostart.h"

namespace varnley {
namespace {

namespace fs = std::filesystem;
using Box = test::RecordingBoxes::Box;

class AlertDlgTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }
  void SetUp() override { ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1); }

  QLineEdit* edit(const char* name) { return dlg.findChild<QLineEdit*>(QLatin1String(name)); }
  QCheckBox* check(const char* name) { return dlg.findChild<QCheckBox*>(QLatin1String(name)); }
  void pressOk() {
    dlg.show();
    QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("OKBtn")), Qt::LeftButton);
  }
  bool entryExists() const { return fs::exists(AutostartFilePath()); }

  test::TempDir dir;
  test::RecordingBoxes boxes;
  TAlertDlg dlg{boxes};
};

TEST_F(AlertDlgTest, EmailSwitchEnablesItsSixControls) {
  const char* six[] = {"SMTPEdit",     "AuthCheckBox", "UserNameEdit",
                       "PasswordEdit", "EmailEdit",    "TestButton"};
  auto enabled = [this](const char* name) {
    return dlg.findChild<QWidget*>(QLatin1String(name))->isEnabled();
  };
  for (const char* name : six) EXPECT_FALSE(enabled(name)) << name;
  EXPECT_TRUE(check("AuthCheckBox")->isChecked());
  check("EmailCheckBox")->click();
  for (const char* name : six) EXPECT_TRUE(enabled(name)) << name;
  AlertSettings off;
  dlg.fill(off);
  for (const char* name : six) EXPECT_FALSE(enabled(name)) << name;
  EXPECT_EQ(edit("PasswordEdit")->echoMode(), QLineEdit::Password);
}

TEST_F(AlertDlgTest, MissingEmailFieldsStopBeforeTheStartupEntry) {
  struct Case {
    const char* server;
    const char* user;
    const char* password;
    const char* mail;
    const char* message;
    const char* field;  // where the cursor waits after the box
  } cases[] = {
      {"", "u", "p", "m", "Please fill the SMTP server.", "SMTPEdit"},
      {"s", "", "", "", "Please fill the User Name.", "UserNameEdit"},
      {"s", "u", "", "m", "Please fill the Password.", "PasswordEdit"},
      {"s", "u", "p", "", "Please fill the Receive Email.", "EmailEdit"},
  };
  for (const auto& c : cases) {
    AlertSettings settings;
    settings.sendEmail = true;
    settings.runAtLogon = true;
    settings.interval = 5;
    settings.smtpServer = c.server;
    settings.userName = c.user;
    settings.password = c.password;
    settings.receiveEmail = c.mail;
    dlg.fill(settings);
    boxes.shown.clear();
    pressOk();
    EXPECT_EQ(boxes.shown, (std::vector<Box>{{BoxKind::Information, c.message}}));
    EXPECT_TRUE(dlg.isVisible()) << c.message;
    EXPECT_EQ(dlg.focusWidget(), edit(c.field)) << c.message;
    EXPECT_FALSE(entryExists()) << "no entry before the fields pass: " << c.message;
  }
}

TEST_F(AlertDlgTest, BadIntervalIsRefusedBeforeAnythingIsWritten) {
  for (const char* interval : {"0", "-3", "abc", "2147484"}) {
    AlertSettings settings;
    settings.runAtLogon = true;
    dlg.fill(settings);
    edit("IntervalEdit")->setText(QLatin1String(interval));
    boxes.shown.clear();
    pressOk();
    EXPECT_EQ(boxes.shown,
              (std::vector<Box>{{BoxKind::Information, "Please fill the Interval Time."}}))
        << interval;
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.focusWidget(), edit("IntervalEdit"));
    EXPECT_EQ(edit("IntervalEdit")->selectedText(), QLatin1String(interval));
    EXPECT_FALSE(entryExists()) << interval;
  }
}

TEST_F(AlertDlgTest, ProbeFieldsAreCheckedAfterTheInterval) {
  struct Case {
    const char *interval, *timeout, *retries, *parallel;
    const char* message;  // nullptr: accepted
    const char* field;    // where the cursor waits after the box
  };
  const Case cases[] = {
      {"5", "0", "0", "1", nullptr, nullptr},
      {"5", "3600", "10", "4096", nullptr, nullptr},
      {"5", "-1", "0", "1", "Please fill the Connect Timeout.", "TimeoutEdit"},
      {"5", "3601", "0", "1", "Please fill the Connect Timeout.", "TimeoutEdit"},
      {"5", "", "0", "1", "Please fill the Connect Timeout.", "TimeoutEdit"},
      {"5", "2", "11", "1", "Please fill the Retries.", "RetriesEdit"},
      {"5", "2", "x", "1", "Please fill the Retries.", "RetriesEdit"},
      {"5", "2", "1", "0", "Please fill the Parallel Probes.", "ParallelEdit"},
      {"5", "2", "1", "4097", "Please fill the Parallel Probes.", "ParallelEdit"},
      // The first failing field only.
      {"0", "-1", "x", "0", "Please fill the Interval Time.", "IntervalEdit"},
  };
  for (const auto& c : cases) {
    dlg.fill(AlertSettings{});
    edit("IntervalEdit")->setText(QLatin1String(c.interval));
    edit("TimeoutEdit")->setText(QLatin1String(c.timeout));
    edit("RetriesEdit")->setText(QLatin1String(c.retries));
    edit("ParallelEdit")->setText(QLatin1String(c.parallel));
    boxes.shown.clear();
    dlg.setResult(QDialog::Rejected);
    pressOk();
    SCOPED_TRACE(::testing::Message()
                 << c.interval << ' ' << c.timeout << ' ' << c.retries << ' ' << c.parallel);
    if (c.message) {
      EXPECT_EQ(boxes.shown, (std::vector<Box>{{BoxKind::Information, c.message}}));
      EXPECT_TRUE(dlg.isVisible());
      EXPECT_EQ(dlg.focusWidget(), edit(c.field));
    } else {
      EXPECT_TRUE(boxes.shown.empty());
      EXPECT_EQ(dlg.result(), QDialog::Accepted);
    }
  }

  AlertSettings before;
  before.timeout = 4;
  before.retries = 1;
  before.parallel = 50;
  dlg.fill(before);
  EXPECT_EQ(edit("TimeoutEdit")->text(), QStringLiteral("4"));
  EXPECT_EQ(edit("RetriesEdit")->text(), QStringLiteral("1"));
  EXPECT_EQ(edit("ParallelEdit")->text(), QStringLiteral("50"));
  edit("TimeoutEdit")->setText(QStringLiteral("30"));
  edit("RetriesEdit")->setText(QStringLiteral("99"));
  edit("ParallelEdit")->setText(QStringLiteral("500"));
  AlertSettings after = before;
  dlg.takeBack(after);
  EXPECT_EQ(after.timeout, 30);
  EXPECT_EQ(after.retries, 1);  // out of range: the old value stays
  EXPECT_EQ(after.parallel, 500);
}

TEST_F(AlertDlgTest, NameServersAreCheckedLastWithTheirReason) {
  AlertSettings before;
  before.dns = "127.0.0.1:5353";
  dlg.fill(before);
  EXPECT_EQ(edit("DnsEdit")->text(), QStringLiteral("127.0.0.1:5353"));
  edit("DnsEdit")->setText(QStringLiteral("ns.example.com"));
  boxes.shown.clear();
  dlg.setResult(QDialog::Rejected);
  pressOk();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_NE(boxes.shown[0].text.find("\"ns.example.com\" is no name server"), std::string::npos);
  EXPECT_EQ(dlg.focusWidget(), edit("DnsEdit"));
  edit("DnsEdit")->setText(QStringLiteral("[::1]:53"));
  boxes.shown.clear();
  pressOk();
  EXPECT_TRUE(boxes.shown.empty());
  AlertSettings after = before;
  dlg.takeBack(after);
  EXPECT_EQ(after.dns, "[::1]:53");
}

TEST_F(AlertDlgTest, SecurityChoiceRoundTripsAndAnUnknownOneIsKept) {
  auto* combo = dlg.findChild<QComboBox*>(QStringLiteral("SecurityComboBox"));
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->count(), 3);
  EXPECT_EQ(combo->itemText(2), QStringLiteral("SSL/TLS"));
  struct Case {
    const char* loaded;
    int shown;         // -1: no choice
    int chosen;        // -1: left alone
    const char* kept;  // what takeBack gives
  };
  for (const Case& c :
       {Case{"", 0, -1, ""}, Case{"STARTTLS", 1, -1, "STARTTLS"}, Case{"starttls", 1, 2, "tls"},
        Case{"tls", 2, 0, "none"}, Case{"ssl3", -1, -1, "ssl3"}, Case{"ssl3", -1, 1, "starttls"}}) {
    SCOPED_TRACE(std::string(c.loaded) + " -> " + std::to_string(c.chosen));
    AlertSettings before;
    before.security = c.loaded;
    before.verifyCertificate = c.chosen < 0;
    dlg.fill(before);
    EXPECT_EQ(combo->currentIndex(), c.shown);
    EXPECT_EQ(check("VerifyCheckBox")->isChecked(), before.verifyCertificate);
    if (c.chosen >= 0) combo->setCurrentIndex(c.chosen);
    check("VerifyCheckBox")->setChecked(true);
    AlertSettings after = before;
    dlg.takeBack(after);
    EXPECT_EQ(after.security, c.kept);
    EXPECT_TRUE(after.verifyCertificate);
  }
  // The security controls follow the email switch like the rest of the account.
  AlertSettings off;
  dlg.fill(off);
  EXPECT_FALSE(combo->isEnabled());
  EXPECT_FALSE(check("VerifyCheckBox")->isEnabled());
  check("EmailCheckBox")->click();
  EXPECT_TRUE(combo->isEnabled());
  EXPECT_TRUE(check("VerifyCheckBox")->isEnabled());
}

TEST_F(AlertDlgTest, TakeBackKeepsTheOldIntervalWhenItIsNoNumber) {
  AlertSettings before;
  before.interval = 9;
  dlg.fill(before);
  check("MessageCheckBox")->setChecked(true);
  edit("IntervalEdit")->setText(QStringLiteral("x"));
  AlertSettings after = before;
  dlg.takeBack(after);
  EXPECT_TRUE(after.showMessage);
  EXPECT_EQ(after.interval, 9);
}

class AlertCommandTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }
  void SetUp() override { ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1); }

  void open(const std::string& settingsPath) {
    session = std::make_unique<Session>(settingsPath, false);
    form = std::make_unique<TPortForm>(*session, boxes);
    form->setExecutablePath("/opt/varnley/varnley");
  }
  static bool entryExists() { return fs::exists(AutostartFilePath()); }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Ticks or clears the start-up switch and presses OK.
  static void answerRun(bool run) {
    test::WhenModal([run](QWidget* dlg) {
      dlg->findChild<QCheckBox*>(QStringLiteral("RunCheckBox"))->setChecked(run);
      QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("OKBtn")), Qt::LeftButton);
    });
  }
  static void answer(bool ok) {
    test::WhenModal([ok](QWidget* dlg) {
      dlg->findChild<QCheckBox*>(QStringLiteral("EmailCheckBox"))->setChecked(true);
      dlg->findChild<QLineEdit*>(QStringLiteral("SMTPEdit"))
          ->setText(QStringLiteral("mail.example:2525"));
      dlg->findChild<QLineEdit*>(QStringLiteral("UserNameEdit"))->setText(QStringLiteral("ops"));
      dlg->findChild<QLineEdit*>(QStringLiteral("PasswordEdit"))->setText(QStringLiteral("pw"));
      dlg->findChild<QLineEdit*>(QStringLiteral("EmailEdit"))
          ->setText(QStringLiteral("a@example.org"));
      dlg->findChild<QLineEdit*>(QStringLiteral("IntervalEdit"))->setText(QStringLiteral("30"));
      QTest::mouseClick(
          dlg->findChild<QPushButton*>(ok ? QStringLiteral("OKBtn") : QStringLiteral("CancelBtn")),
          Qt::LeftButton);
    });
  }

  test::TempDir dir;
  test::RecordingBoxes boxes;
  std::unique_ptr<Session> session;
  std::unique_ptr<TPortForm> form;
};

TEST_F(AlertCommandTest, ConfirmedSettingsAreTakenBackAndSaved) {
  const std::string path = (dir.path() / "varnley.ini").string();
  open(path);
  answer(/*ok=*/false);
  form->SetToolButtonClick();
  EXPECT_EQ(session->settings(), AlertSettings{});
  EXPECT_FALSE(fs::exists(path));

  answer(/*ok=*/true);
  form->SetToolButtonClick();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(session->settings().interval, 30);
  AlertSettings stored;
  std::vector<MonitoredHost> hosts;
  LoadSettings(path, stored, hosts);
  EXPECT_EQ(stored, session->settings());
  EXPECT_EQ(stored.smtpServer, "mail.example:2525");
  EXPECT_TRUE(stored.sendEmail);
}

TEST_F(AlertCommandTest, OkWritesAndRemovesTheStartupEntry) {
  open((dir.path() / "varnley.ini").string());
  answerRun(true);
  form->SetToolButtonClick();
  EXPECT_TRUE(boxes.shown.empty());
  const std::string content = read(AutostartFilePath());
  EXPECT_NE(content.find("Exec=\"/opt/varnley/varnley\" -s\n"), std::string::npos) << content;
  EXPECT_TRUE(session->settings().runAtLogon);

  answerRun(false);
  form->SetToolButtonClick();
  EXPECT_FALSE(entryExists());
  answerRun(false);  // unchecked with no entry: nothing shown, nothing written
  form->SetToolButtonClick();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_FALSE(entryExists());
}

TEST_F(AlertCommandTest, CancelAfterAValidationBoxChangesNothing) {
  const fs::path path = dir.path() / "varnley.ini";
  // Each field the dialog refuses, with the start-up switch turned the other way first.
  struct Case {
    bool entryBefore;
    const char* field;
    const char* text;
  };
  for (const Case& c : {Case{false, "IntervalEdit", "0"}, Case{true, "IntervalEdit", "x"},
                        Case{false, "TimeoutEdit", "3601"}, Case{true, "ParallelEdit", "0"}}) {
    SCOPED_TRACE(std::string(c.field) + "=" + c.text);
    const std::string file = std::string("; kept as it is\n[config]\nrun=") +
                             (c.entryBefore ? "1" : "0") + "\ninterval=7\n";
    { std::ofstream(path, std::ios::binary) << file; }
    open(path.string());
    fs::remove(AutostartFilePath());
    if (c.entryBefore) {
      ASSERT_TRUE(UpdateStartupEntry(true, "/opt/varnley/varnley"));
    }
    const std::string entry = c.entryBefore ? read(AutostartFilePath()) : "";
    const AlertSettings before = session->settings();
    boxes.shown.clear();
    test::WhenModal([&](QWidget* dlg) {
      dlg->findChild<QCheckBox*>(QStringLiteral("RunCheckBox"))->setChecked(!c.entryBefore);
      dlg->findChild<QLineEdit*>(QLatin1String(c.field))->setText(QLatin1String(c.text));
      QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("OKBtn")), Qt::LeftButton);
      ASSERT_TRUE(dlg->isVisible()) << "the box keeps the dialog open";
      QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("CancelBtn")), Qt::LeftButton);
    });
    form->SetToolButtonClick();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, BoxKind::Information);
    EXPECT_EQ(entryExists(), c.entryBefore);
    if (c.entryBefore) {
      EXPECT_EQ(read(AutostartFilePath()), entry);
    }
    EXPECT_EQ(read(path), file);
    EXPECT_EQ(session->settings(), before);
    form.reset();
    session.reset();
  }
}

TEST_F(AlertCommandTest, FailedSaveIsShownNotSwallowed) {
  // A plain file where the folder should be: no write can succeed, not even as root.
  std::ofstream(dir.path() / "blocker") << "x";
  const std::string path = (dir.path() / "blocker" / "varnley.ini").string();
  open(path);
  answer(/*ok=*/true);
  form->SetToolButtonClick();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].kind, BoxKind::Error);
  EXPECT_EQ(boxes.shown[0].text, "Unable to write to " + path);
  EXPECT_EQ(session->settings().interval, 30) << "memory keeps the new values";
}

}  // namespace
}  // namespace varnley
