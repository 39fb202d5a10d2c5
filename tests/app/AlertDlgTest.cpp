#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
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

TEST_F(AlertDlgTest, NewControlsFollowTheirNeighboursInTheTabOrderAndHaveBuddies) {
  // The order Tab walks, among the controls around the new ones.
  const std::vector<std::string> expected = {
      "MessageCheckBox", "NotifyCheckBox",        "EmailCheckBox",     "EmailEdit",   "TestButton",
      "WebhookUrlEdit",  "WebhookFormatComboBox", "WebhookTestButton", "IntervalEdit"};
  std::vector<std::string> walked;
  QWidget* first = dlg.findChild<QWidget*>(QStringLiteral("MessageCheckBox"));
  QWidget* w = first;
  do {
    const std::string name = w->objectName().toStdString();
    if (std::find(expected.begin(), expected.end(), name) != expected.end() &&
        (w->focusPolicy() & Qt::TabFocus))
      walked.push_back(name);
    w = w->nextInFocusChain();
  } while (w != first);
  EXPECT_EQ(walked, expected);
  auto buddy = [this](const char* label) {
    return dlg.findChild<QLabel*>(QLatin1String(label))->buddy();
  };
  EXPECT_EQ(buddy("WebhookUrlLabel"), edit("WebhookUrlEdit"));
  EXPECT_EQ(buddy("WebhookFormatLabel"),
            dlg.findChild<QComboBox*>(QStringLiteral("WebhookFormatComboBox")));
  EXPECT_FALSE(dlg.findChild<QPushButton*>(QStringLiteral("WebhookTestButton"))->autoDefault())
      << "Enter in the URL field is OK, not Test";
}

TEST_F(AlertDlgTest, ABadWebhookUrlIsRefusedWithItsReasonAndTheCursorInTheField) {
  AlertSettings before;
  before.webhooks[0].url = "https://hooks.example.org/T0";
  dlg.fill(before);
  EXPECT_EQ(edit("WebhookUrlEdit")->text(), QStringLiteral("https://hooks.example.org/T0"));
  for (const char* url : {"ftp://hooks.example.org/x", "hooks.example.org", "http://:80/"}) {
    SCOPED_TRACE(url);
    edit("WebhookUrlEdit")->setText(QLatin1String(url));
    boxes.shown.clear();
    dlg.setResult(QDialog::Rejected);
    pressOk();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, BoxKind::Information);
    EXPECT_EQ(boxes.shown[0].text.rfind("The webhook URL ", 0), 0u) << boxes.shown[0].text;
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.focusWidget(), edit("WebhookUrlEdit"));
    EXPECT_EQ(edit("WebhookUrlEdit")->selectedText(), QLatin1String(url));
  }
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

TEST_F(AlertCommandTest, NotifyAndTheFirstWebhookAreSavedOnOkOnlyAndTheOthersKeptAsTheyStand) {
  const fs::path path = dir.path() / "varnley.ini";
  // Webhooks 2 to 4 with a comment and spellings of their own, which no save may touch.
  const std::string others =
      "[webhook2]\n; the team's chat\nurl=https://chat.example.org/hooks/SECRET2\nformat=slack\n"
      "\n[webhook3]\nurl=http://127.0.0.1:9000/in\nformat=ntfy\nheader=Authorization: Bearer T3\n"
      "\n[webhook4]\nurl=https://h4.example.org/x\nverify=0\n\n";
  const std::string file = "[config]\ninterval=7\n\n" + others +
                           "[webhook1]\nurl=http://127.0.0.1:8000/old\nheader=X-Token: abc\n";
  struct Case {
    const char* name;
    const char* url;
    int format;  // JSON, Slack, ntfy
    bool notify;
    const char* button;       // what is pressed last
    const char* refusedWith;  // the box's first words, nullptr for none
    bool saved;
  };
  const Case cases[] = {
      {"OK saves", "https://hooks.example.org/T/B/C", 1, true, "OKBtn", nullptr, true},
      {"OK with no webhook", "", 2, false, "OKBtn", nullptr, true},
      {"Cancel keeps the file", "https://hooks.example.org/T/B/C", 1, true, "CancelBtn", nullptr,
       false},
      {"a refused URL, then Cancel", "mailto:ops@example.org", 0, true, "CancelBtn",
       "The webhook URL must begin with http:// or https://", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    { std::ofstream(path, std::ios::binary) << file; }
    open(path.string());
    const AlertSettings before = session->settings();
    ASSERT_EQ(before.webhooks[0].url, "http://127.0.0.1:8000/old");
    boxes.shown.clear();
    test::WhenModal([&](QWidget* dlg) {
      EXPECT_EQ(dlg->findChild<QLineEdit*>(QStringLiteral("WebhookUrlEdit"))->text(),
                QStringLiteral("http://127.0.0.1:8000/old"));
      EXPECT_EQ(dlg->findChild<QComboBox*>(QStringLiteral("WebhookFormatComboBox"))->currentIndex(),
                0);
      EXPECT_FALSE(dlg->findChild<QCheckBox*>(QStringLiteral("NotifyCheckBox"))->isChecked());
      dlg->findChild<QCheckBox*>(QStringLiteral("NotifyCheckBox"))->setChecked(c.notify);
      dlg->findChild<QLineEdit*>(QStringLiteral("WebhookUrlEdit"))->setText(QLatin1String(c.url));
      dlg->findChild<QComboBox*>(QStringLiteral("WebhookFormatComboBox"))
          ->setCurrentIndex(c.format);
      if (c.refusedWith) {
        QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("OKBtn")), Qt::LeftButton);
        EXPECT_TRUE(dlg->isVisible()) << "the box keeps the dialog open";
      }
      QTest::mouseClick(dlg->findChild<QPushButton*>(QLatin1String(c.button)), Qt::LeftButton);
    });
    form->SetToolButtonClick();
    if (c.refusedWith) {
      ASSERT_EQ(boxes.shown.size(), 1u);
      EXPECT_EQ(boxes.shown[0].text.rfind(c.refusedWith, 0), 0u) << boxes.shown[0].text;
    } else {
      EXPECT_TRUE(boxes.shown.empty());
    }
    const std::string now = read(path);
    EXPECT_NE(now.find(others), std::string::npos) << now;
    AlertSettings stored;
    std::vector<MonitoredHost> hosts;
    LoadSettings(path.string(), stored, hosts);
    EXPECT_EQ(stored, session->settings());
    if (!c.saved) {
      EXPECT_EQ(now, file);
      EXPECT_EQ(session->settings(), before);
    } else {
      EXPECT_EQ(stored.notify, c.notify);
      EXPECT_EQ(stored.webhooks[0].url, c.url);
      EXPECT_EQ(stored.webhooks[0].format, c.format == 1 ? "slack" : "ntfy");
      EXPECT_EQ(stored.webhooks[0].header, "X-Token: abc");
      for (int n = 1; n < kWebhookCount; ++n) EXPECT_EQ(stored.webhooks[n], before.webhooks[n]);
    }
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
