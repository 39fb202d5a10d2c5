// The alert dialog's Test buttons: the mail's against a real server (aiosmtpd on loopback), a
// refused port and a server that accepts and then says nothing; the webhook's against a
// loopback HTTP receiver of the tests' own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "WidgetSupport.h"
#include "alert/WebhookChannel.h"
#include "app/TAlertDlg.h"
#include "model/AlertSettings.h"
#include "platform/TcpSocket.h"
#include "support/HttpReceiver.h"
#include "support/RealSmtpServer.h"
#include "support/ScriptedSmtpServer.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

using Box = test::RecordingBoxes::Box;
using namespace std::chrono_literals;

class TestButton : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }
  void SetUp() override {
    dlg.findChild<QCheckBox*>(QStringLiteral("EmailCheckBox"))->setChecked(true);
    dlg.show();
  }

  void fillAccount(const std::string& server, const char* user, const char* password,
                   const char* mail) {
    edit("SMTPEdit")->setText(QString::fromStdString(server));
    edit("UserNameEdit")->setText(QString::fromLatin1(user));
    edit("PasswordEdit")->setText(QString::fromLatin1(password));
    edit("EmailEdit")->setText(QString::fromLatin1(mail));
  }
  QLineEdit* edit(const char* name) { return dlg.findChild<QLineEdit*>(QLatin1String(name)); }
  QPushButton* testButton() { return dlg.findChild<QPushButton*>(QStringLiteral("TestButton")); }
  // Clicks Test and lets the window run until the test has reported (a box was shown).
  void clickTest() {
    const std::size_t before = boxes.shown.size();
    QTest::mouseClick(testButton(), Qt::LeftButton);
    EXPECT_TRUE(test::ProcessUntil([&] { return boxes.shown.size() > before; }, 30s));
    EXPECT_FALSE(dlg.testRunning());
  }

  test::RecordingBoxes boxes;
  TAlertDlg dlg{boxes};
};

TEST_F(TestButton, ChecksTheFieldsInOrderWhateverTheAuthenticationSwitchSays) {
  dlg.findChild<QCheckBox*>(QStringLiteral("AuthCheckBox"))->setChecked(false);
  struct Case {
    const char *server, *user, *password, *mail, *message;
  };
  for (const Case& c : {Case{"", "u", "p", "m", "Please fill the SMTP server."},
                        Case{"s", "", "", "", "Please fill the User Name."},
                        Case{"s", "u", "", "m", "Please fill the Password."},
                        Case{"s", "u", "p", "", "Please fill the Receive Email."}}) {
    boxes.shown.clear();
    fillAccount(c.server, c.user, c.password, c.mail);
    clickTest();
    EXPECT_EQ(boxes.shown, (std::vector<Box>{{BoxKind::Information, c.message}}));
  }
}

TEST_F(TestButton, SendsTheTestMessageThroughARealServer) {
  test::RealSmtpServer server;
  const auto before = server.messages();
  fillAccount(server.address(), test::RealSmtpServer::kUser, test::RealSmtpServer::kPassword,
              "admin@example.org");
  clickTest();
  EXPECT_EQ(boxes.shown,
            (std::vector<Box>{{BoxKind::Information,
                               "SMTP server connected and test message sent successfully."}}));
  std::string mail;
  for (const auto& p : server.messages())
    if (!before.count(p)) mail = test::RealSmtpServer::Read(p);
  EXPECT_EQ(test::RealSmtpServer::Header(mail, "Subject"), "Varnley Test Message");
  EXPECT_EQ(test::RealSmtpServer::Body(mail), "Varnley: Test Message\r\n\r\n");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(TestButton, AWrongPasswordAndARefusedPortBothReportFailure) {
  test::RealSmtpServer server;
  fillAccount(server.address(), test::RealSmtpServer::kUser, "wrong", "admin@example.org");
  clickTest();
  TcpListener gone;
  ASSERT_EQ(gone.listenLoopback(1), 0);
  const std::string refused = "127.0.0.1:" + std::to_string(gone.port());
  gone.close();
  fillAccount(refused, "u", "p", "admin@example.org");
  clickTest();
  const Box failed{BoxKind::Error, "Failed to connect SMTP server."};
  EXPECT_EQ(boxes.shown, (std::vector<Box>{failed, failed}));
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(TestButton, ASilentServerEndsInFailureInsteadOfHoldingTheDialog) {
  TcpListener silent;  // accepts (in the kernel) and never says a word
  ASSERT_EQ(silent.listenLoopback(4), 0);
  fillAccount("127.0.0.1:" + std::to_string(silent.port()), "u", "p", "admin@example.org");
  const auto start = std::chrono::steady_clock::now();
  clickTest();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(boxes.shown, (std::vector<Box>{{BoxKind::Error, "Failed to connect SMTP server."}}));
  EXPECT_LT(took, std::chrono::milliseconds(TAlertDlg::kTestWaitMs) + 5s);
}

TEST_F(TestButton, UsesTheSecurityChoiceAndTheCertificateSwitch) {
  test::RealSmtpServer server;
  ::setenv("SSL_CERT_FILE", server.caFile().c_str(), 1);
  auto* security = dlg.findChild<QComboBox*>(QStringLiteral("SecurityComboBox"));
  auto* verify = dlg.findChild<QCheckBox*>(QStringLiteral("VerifyCheckBox"));
  struct Case {
    const char* listener;
    int security;  // None, STARTTLS, SSL/TLS
    bool verify;
    bool sent;
  };
  const Box sent{BoxKind::Information, "SMTP server connected and test message sent successfully."};
  const Box failed{BoxKind::Error, "Failed to connect SMTP server."};
  for (const Case& c : {Case{"starttls", 1, true, true}, Case{"implicit", 2, true, true},
                        Case{"wrongname", 1, true, false}, Case{"wrongname", 1, false, true},
                        Case{"starttls", 0, true, false}}) {
    SCOPED_TRACE(std::string(c.listener) + " " + std::to_string(c.security));
    boxes.shown.clear();
    fillAccount("localhost:" + server.listenerPort(c.listener), test::RealSmtpServer::kUser,
                test::RealSmtpServer::kPassword, "admin@example.org");
    security->setCurrentIndex(c.security);
    verify->setChecked(c.verify);
    clickTest();
    EXPECT_TRUE(test::WaitFor([&] {
      QApplication::processEvents();
      return !boxes.shown.empty();
    }));
    EXPECT_EQ(boxes.shown, (std::vector<Box>{c.sent ? sent : failed}));
  }
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

TEST_F(TestButton, ATricklingServerIsLeftWithinTheLimitWhileTheWindowKeepsPainting) {
  // Greeting lines 100 ms apart, without end: only a limit on the whole reply stops it.
  testing::ScriptedSmtpServer server(testing::Trickle({"220-still here"}, 100, true), {});
  constexpr int kWaitMs = 1000;
  dlg.setTestWaitMs(kWaitMs);
  fillAccount(server.address(), "u", "p", "admin@example.org");
  PaintCounter counter;
  dlg.installEventFilter(&counter);
  const auto start = std::chrono::steady_clock::now();
  QTest::mouseClick(testButton(), Qt::LeftButton);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms) << "the click waits for nothing";
  EXPECT_TRUE(dlg.testRunning());
  EXPECT_FALSE(testButton()->isEnabled());
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  QTest::mouseClick(testButton(), Qt::LeftButton);  // disabled: no second test

  int paintsWhileRunning = 0;
  ASSERT_TRUE(test::ProcessUntil(
      [&] {
        if (dlg.testRunning()) {
          dlg.update();
          paintsWhileRunning = counter.paints;
        }
        return !boxes.shown.empty();
      },
      5s));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GT(paintsWhileRunning, 3) << "the window repaints while the test runs";
  EXPECT_GE(took, std::chrono::milliseconds(kWaitMs) - 50ms);
  EXPECT_LT(took, std::chrono::milliseconds(kWaitMs) + 1500ms);
  EXPECT_EQ(boxes.shown, (std::vector<Box>{{BoxKind::Error, "Failed to connect SMTP server."}}));
  EXPECT_TRUE(testButton()->isEnabled());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(TestButton, ADialogClosedDownDuringATestEndsItAtOnce) {
  TcpListener silent;
  ASSERT_EQ(silent.listenLoopback(4), 0);
  auto own = std::make_unique<TAlertDlg>(boxes);
  own->findChild<QCheckBox*>(QStringLiteral("EmailCheckBox"))->setChecked(true);
  for (const auto& [name, text] :
       {std::pair{"SMTPEdit", "127.0.0.1:" + std::to_string(silent.port())},
        std::pair{"UserNameEdit", std::string("u")}, std::pair{"PasswordEdit", std::string("p")},
        std::pair{"EmailEdit", std::string("a@x.org")}})
    own->findChild<QLineEdit*>(QLatin1String(name))->setText(QString::fromStdString(text));
  QTest::mouseClick(own->findChild<QPushButton*>(QStringLiteral("TestButton")), Qt::LeftButton);
  ASSERT_TRUE(own->testRunning());
  const auto start = std::chrono::steady_clock::now();
  own.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  QApplication::processEvents();
  EXPECT_TRUE(boxes.shown.empty()) << "no result from a dialog that is gone";
}

class WebhookTestButton : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }
  void SetUp() override {
    if (!WebhooksBuiltIn()) GTEST_SKIP() << "this build has no webhooks";
    dlg.show();
  }

  QLineEdit* url() { return dlg.findChild<QLineEdit*>(QStringLiteral("WebhookUrlEdit")); }
  QComboBox* format() { return dlg.findChild<QComboBox*>(QStringLiteral("WebhookFormatComboBox")); }
  QPushButton* button() { return dlg.findChild<QPushButton*>(QStringLiteral("WebhookTestButton")); }
  void clickTest() {
    const std::size_t before = boxes.shown.size();
    QTest::mouseClick(button(), Qt::LeftButton);
    EXPECT_TRUE(test::ProcessUntil([&] { return boxes.shown.size() > before; }, 30s));
    EXPECT_FALSE(dlg.webhookTestRunning());
    EXPECT_TRUE(button()->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  }

  test::RecordingBoxes boxes;
  TAlertDlg dlg{boxes};
};

TEST_F(WebhookTestButton, SendsWhatIsTypedInTheChosenFormatWithTheFilesHeader) {
  using testing::HttpReceiver;
  HttpReceiver receiver;
  AlertSettings settings;
  settings.webhooks[0] = {"http://127.0.0.1:1/saved", "json", "X-Token: abc", true};
  dlg.fill(settings);
  struct Case {
    int format;  // JSON, Slack, ntfy
    const char* bodyStart;
    const char* contentType;
  };
  const Case cases[] = {
      {0, "{\"event\":\"test\",\"text\":\"Varnley: Test Message\"", "application/json"},
      {1, "{\"text\":\"Varnley: Test Message\"}", "application/json"},
      {2, "Varnley: Test Message", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    boxes.shown.clear();
    const std::size_t before = receiver.count();
    url()->setText(QString::fromStdString(receiver.url("/typed?key=K")));
    format()->setCurrentIndex(c.format);
    clickTest();
    EXPECT_EQ(boxes.shown, (std::vector<Box>{{BoxKind::Information, "Test message sent."}}));
    ASSERT_EQ(receiver.count(), before + 1);
    const testing::HttpRequest got = receiver.requests().back();
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.path, "/typed?key=K") << "the typed URL, not the saved one";
    EXPECT_EQ(got.body.rfind(c.bodyStart, 0), 0u) << got.body;
    EXPECT_EQ(got.headers.count("x-token") ? got.headers.at("x-token") : "", "abc");
    if (*c.contentType) {
      EXPECT_EQ(got.headers.at("content-type"), c.contentType);
    } else {
      EXPECT_EQ(got.headers.count("title") ? got.headers.at("title") : "", "Varnley");
    }
  }
}

TEST_F(WebhookTestButton, SaysWhyWhenTheUrlIsRefusedOrTheReceiverIsNotThere) {
  TcpListener gone;
  ASSERT_EQ(gone.listenLoopback(1), 0);
  const std::string port = std::to_string(gone.port());
  gone.close();
  testing::HttpReceiver refusing(testing::Script{testing::Answer(404)});
  struct Case {
    std::string url;
    BoxKind kind;
    std::string text;  // the box's text, or its start when it ends in "..."
  };
  const std::string answered = "http://127.0.0.1:" + std::to_string(refusing.port());
  const Case cases[] = {
      {"", BoxKind::Information, "Please fill the webhook URL."},
      {"ftp://127.0.0.1/x", BoxKind::Information,
       "The webhook URL must begin with http:// or https://..."},
      {"http://127.0.0.1:" + port + "/secret", BoxKind::Error,
       "http://127.0.0.1:" + port + ": cannot connect: Connection refused"},
      {answered + "/secret", BoxKind::Error, answered + ": answered HTTP 404"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    boxes.shown.clear();
    url()->setText(QString::fromStdString(c.url));
    clickTest();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, c.kind);
    const std::string& shown = boxes.shown[0].text;
    if (c.text.size() > 3 && c.text.ends_with("...")) {
      EXPECT_EQ(shown.rfind(c.text.substr(0, c.text.size() - 3), 0), 0u) << shown;
    } else {
      EXPECT_EQ(shown, c.text);
    }
    EXPECT_EQ(shown.find("secret"), std::string::npos) << "the path may hold a token";
    if (c.kind == BoxKind::Information) {
      EXPECT_EQ(dlg.focusWidget(), url());
    }
  }
}

TEST_F(WebhookTestButton, KeepsTheWindowAnsweringAndADialogClosedDownEndsItAtOnce) {
  testing::HttpReceiver silent(testing::Script{testing::SilentAnswer()});
  auto own = std::make_unique<TAlertDlg>(boxes);
  own->show();
  own->findChild<QLineEdit*>(QStringLiteral("WebhookUrlEdit"))
      ->setText(QString::fromStdString(silent.url("/hold")));
  auto* test = own->findChild<QPushButton*>(QStringLiteral("WebhookTestButton"));
  const auto clicked = std::chrono::steady_clock::now();
  QTest::mouseClick(test, Qt::LeftButton);
  EXPECT_LT(std::chrono::steady_clock::now() - clicked, 500ms) << "the click waits for nothing";
  ASSERT_TRUE(own->webhookTestRunning());
  EXPECT_FALSE(test->isEnabled());
  QTest::mouseClick(test, Qt::LeftButton);  // disabled: no second test
  ASSERT_TRUE(silent.waitFor(1));
  // The window answers while the receiver holds the request.
  auto* notify = own->findChild<QCheckBox*>(QStringLiteral("NotifyCheckBox"));
  notify->setFocus();
  QTest::keyClick(notify, Qt::Key_Space);
  QApplication::processEvents();
  EXPECT_TRUE(notify->isChecked());
  EXPECT_TRUE(own->webhookTestRunning());
  EXPECT_EQ(silent.count(), 1u);
  const auto start = std::chrono::steady_clock::now();
  own.reset();
  // Woken by the stop itself, not by the client's next timer (some 200 ms away).
  EXPECT_LT(std::chrono::steady_clock::now() - start, 150ms);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  QApplication::processEvents();
  EXPECT_TRUE(boxes.shown.empty()) << "no result from a dialog that is gone";
}

}  // namespace
}  // namespace varnley
