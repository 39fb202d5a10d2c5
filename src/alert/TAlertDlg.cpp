#include "alert/TAlertDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <system_error>

#include "alert/AlertInput.h"
#include "alert/AlertMail.h"
#include "model/AlertSettings.h"
#include "platform/Autostart.h"
#include "platform/MessageBoxes.h"
#include "platform/Paths.h"
#include "platform/StopSource.h"
#include "smtp/IdMessage.h"
#include "smtp/IdSMTP.h"

namespace varnley {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }
std::string s(const QLineEdit* edit) { return edit->text().toStdString(); }

template <typename W>
W* named(W* widget, const char* name) {
  widget->setObjectName(QLatin1String(name));
  return widget;
}

QLabel* label(const char* name, const char* text, QWidget* parent) {
  return named(new QLabel(QLatin1String(text), parent), name);
}

QLineEdit* edit(const char* name, QWidget* parent) {
  auto* e = named(new QLineEdit(parent), name);
  e->setMaxLength(40);
  return e;
}

}  // namespace

TAlertDlg::TAlertDlg(MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent), boxes_(boxes), executablePath_(ExecutablePath()) {
  setObjectName(QStringLiteral("AlertDlg"));
  setWindowTitle(QStringLiteral("Alert Settings"));
  setModal(true);

  MessageGroupBox =
      named(new QGroupBox(QStringLiteral("When host port deactivated"), this), "MessageGroupBox");
  MessageCheckBox =
      named(new QCheckBox(QStringLiteral("Show one warning message"), MessageGroupBox),
            "MessageCheckBox");
  EmailCheckBox = named(new QCheckBox(QStringLiteral("Send one warning email"), MessageGroupBox),
                        "EmailCheckBox");
  EmailGroupBox =
      named(new QGroupBox(QStringLiteral("Email Setting"), MessageGroupBox), "EmailGroupBox");

  SMTPEdit = edit("SMTPEdit", EmailGroupBox);
  AuthCheckBox =
      named(new QCheckBox(QStringLiteral("SMTP server requires authentication"), EmailGroupBox),
            "AuthCheckBox");
  AuthCheckBox->setChecked(true);
  UserNameEdit = edit("UserNameEdit", EmailGroupBox);
  PasswordEdit = edit("PasswordEdit", EmailGroupBox);
  PasswordEdit->setEchoMode(QLineEdit::Password);
  EmailEdit = edit("EmailEdit", EmailGroupBox);
  TestButton = named(new QPushButton(QStringLiteral("Test"), EmailGroupBox), "TestButton");
  TestButton->setAutoDefault(false);

  auto* emailForm = new QFormLayout(EmailGroupBox);
  emailForm->addRow(label("SMTPLabel", "SMTP Server:", EmailGroupBox), SMTPEdit);
  emailForm->addRow(AuthCheckBox);
  emailForm->addRow(label("UserNameLabel", "User Name:", EmailGroupBox), UserNameEdit);
  emailForm->addRow(label("PasswordLabel", "Password:", EmailGroupBox), PasswordEdit);
  auto* mailRow = new QHBoxLayout;
  mailRow->addWidget(EmailEdit, 1);
  mailRow->addWidget(TestButton);
  emailForm->addRow(label("EmailLabel", "Receive Email:", EmailGroupBox), mailRow);

  auto* messageBox = new QVBoxLayout(MessageGroupBox);
  messageBox->addWidget(MessageCheckBox);
  messageBox->addWidget(EmailCheckBox);
  messageBox->addWidget(EmailGroupBox);

  IntervalEdit = named(new QLineEdit(this), "IntervalEdit");
  auto* intervalRow = new QHBoxLayout;
  intervalRow->addWidget(label("IntervalLabel", "Test host port Interval Time:", this));
  intervalRow->addWidget(IntervalEdit, 1);
  intervalRow->addWidget(label("SecondLabel", "(second)", this));

  // The caption is the one users know; on this system the entry is their session's autostart.
  RunCheckBox = named(new QCheckBox(QStringLiteral("Run with Windows system at startup"), this),
                      "RunCheckBox");

  OKBtn = named(new QPushButton(QStringLiteral("OK"), this), "OKBtn");
  OKBtn->setDefault(true);
  CancelBtn = named(new QPushButton(QStringLiteral("Cancel"), this), "CancelBtn");
  CancelBtn->setAutoDefault(false);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(MessageGroupBox);
  layout->addLayout(intervalRow);
  layout->addWidget(RunCheckBox);
  layout->addStretch();
  layout->addLayout(buttons);
  setFixedSize(394, 348);

  connect(EmailCheckBox, &QCheckBox::toggled, this, &TAlertDlg::EmailCheckBoxClick);
  connect(OKBtn, &QPushButton::clicked, this, &TAlertDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(TestButton, &QPushButton::clicked, this, &TAlertDlg::TestButtonClick);
  EmailCheckBoxClick();
}

void TAlertDlg::fill(const AlertSettings& settings) {
  MessageCheckBox->setChecked(settings.showMessage);
  EmailCheckBox->setChecked(settings.sendEmail);
  RunCheckBox->setChecked(settings.runAtLogon);
  IntervalEdit->setText(QString::number(settings.interval));
  SMTPEdit->setText(q(settings.smtpServer));
  UserNameEdit->setText(q(settings.userName));
  PasswordEdit->setText(q(settings.password));
  EmailEdit->setText(q(settings.receiveEmail));
  AuthCheckBox->setChecked(settings.authentication);
}

void TAlertDlg::takeBack(AlertSettings& settings) const {
  settings.showMessage = MessageCheckBox->isChecked();
  settings.sendEmail = EmailCheckBox->isChecked();
  settings.runAtLogon = RunCheckBox->isChecked();
  if (const auto interval = AcceptedInterval(s(IntervalEdit))) settings.interval = *interval;
  settings.smtpServer = s(SMTPEdit);
  settings.userName = s(UserNameEdit);
  settings.password = s(PasswordEdit);
  settings.receiveEmail = s(EmailEdit);
  settings.authentication = AuthCheckBox->isChecked();
}

void TAlertDlg::EmailCheckBoxClick() {
  // Disabled edits take the palette's inactive colours, so no explicit repaint is needed.
  const bool on = EmailCheckBox->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{SMTPEdit, AuthCheckBox, UserNameEdit,
                                                    PasswordEdit, EmailEdit})
    w->setEnabled(on);
  TestButton->setEnabled(on && !testRunning());
}

void TAlertDlg::OKBtnClick() {
  if (EmailCheckBox->isChecked()) {
    if (const auto missing =
            MissingEmailField({s(SMTPEdit), s(UserNameEdit), s(PasswordEdit), s(EmailEdit)})) {
      boxes_.show(BoxKind::Information, *missing);
      return;
    }
  }
  // A start-up entry that cannot be written is not reported: the settings still apply.
  UpdateStartupEntry(RunCheckBox->isChecked(), executablePath_);
  if (!AcceptedInterval(s(IntervalEdit))) {
    boxes_.show(BoxKind::Information, kIntervalMessage);
    return;
  }
  accept();
}

TAlertDlg::~TAlertDlg() {
  if (!testRunning()) return;
  // The lookup, the connect and every reply wait end on the stop.
  testStop_->requestStop();
  testThread_.join();
  QApplication::restoreOverrideCursor();
}

void TAlertDlg::TestButtonClick() {
  if (testRunning()) return;
  const MailAccount account{s(SMTPEdit), s(UserNameEdit), s(PasswordEdit), s(EmailEdit),
                            AuthCheckBox->isChecked()};
  if (const auto missing = MissingEmailField(
          {account.smtpServer, account.userName, account.password, account.receiveEmail})) {
    boxes_.show(BoxKind::Information, *missing);
    return;
  }
  if (!IdSMTP) {
    IdSMTP = std::make_unique<TIdSMTP>();
    testMessage_ = std::make_unique<TIdMessage>();
    testStop_ = std::make_unique<StopSource>();
    IdSMTP->SetStopSource(testStop_.get());
  }
  ApplyLimits(*IdSMTP, {testWaitMs_, testWaitMs_, 0});
  TestButton->setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  try {
    // The client and the message are the thread's until it reports back.
    testThread_ = std::thread([this, account] {
      const bool sent = SendTestMail(*IdSMTP, *testMessage_, account, {});
      QMetaObject::invokeMethod(
          this, [this, sent] { testFinished(sent); }, Qt::QueuedConnection);
    });
  } catch (const std::system_error&) {
    QApplication::restoreOverrideCursor();
    EmailCheckBoxClick();
    boxes_.show(BoxKind::Error, "Failed to connect SMTP server.");
  }
}

void TAlertDlg::testFinished(bool sent) {
  if (testThread_.joinable()) testThread_.join();
  QApplication::restoreOverrideCursor();
  EmailCheckBoxClick();
  if (sent)
    boxes_.show(BoxKind::Information, "SMTP server connected and test message sent successfully.");
  else
    boxes_.show(BoxKind::Error, "Failed to connect SMTP server.");
}

void TAlertDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Centred on the desktop rather than over the main window, which may be hidden in the tray.
  if (QScreen* desktop = screen()) move(desktop->availableGeometry().center() - rect().center());
}

}  // namespace varnley
