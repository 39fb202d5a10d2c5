#include "app/TAlertDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <optional>

#include "alert/AlertInput.h"
#include "alert/AlertMail.h"
#include "app/DialogButtons.h"
#include "app/Placement.h"
#include "model/AlertSettings.h"
#include "platform/MessageBoxes.h"
#include "platform/Paths.h"
#include "platform/Text.h"

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

// The combo box's entries, in order, and the settings text each stands for.
constexpr const char* kSecurityChoices[][2] = {
    {"None", "none"}, {"STARTTLS", "starttls"}, {"SSL/TLS", "tls"}};
constexpr const char* kFormatChoices[][2] = {
    {"JSON", "json"}, {"Slack", "slack"}, {"ntfy", "ntfy"}};

// The format entry that means the same as the settings text (an empty format is json); -1
// for none, which shows no choice.
int FormatIndex(const std::string& text) {
  const std::string trimmed = Trim(text);
  for (int i = 0; i < static_cast<int>(std::size(kFormatChoices)); ++i)
    if (EqualsIgnoreCase(trimmed.empty() ? "json" : trimmed, kFormatChoices[i][1])) return i;
  return -1;
}

std::optional<std::string> ChosenFormat(const QComboBox* box) {
  const int index = box->currentIndex();
  if (index < 0 || index >= static_cast<int>(std::size(kFormatChoices))) return std::nullopt;
  return kFormatChoices[index][1];
}

QLineEdit* edit(const char* name, QWidget* parent) {
  auto* e = named(new QLineEdit(parent), name);
  e->setMaxLength(40);
  return e;
}

}  // namespace

TAlertDlg::TAlertDlg(MessageBoxes& boxes, QWidget* parent) : QDialog(parent), boxes_(boxes) {
  setObjectName(QStringLiteral("AlertDlg"));
  setWindowTitle(QStringLiteral("Alert Settings"));
  setModal(true);

  MessageGroupBox =
      named(new QGroupBox(QStringLiteral("When host port deactivated"), this), "MessageGroupBox");
  MessageCheckBox =
      named(new QCheckBox(QStringLiteral("Show one warning message"), MessageGroupBox),
            "MessageCheckBox");
  NotifyCheckBox =
      named(new QCheckBox(QStringLiteral("Show a desktop notification"), MessageGroupBox),
            "NotifyCheckBox");
  NotifyCheckBox->setToolTip(
      QStringLiteral("Beside the warning message: through the desktop's notifications, or the "
                     "tray icon's balloon where there are none"));
  EmailCheckBox = named(new QCheckBox(QStringLiteral("Send one warning email"), MessageGroupBox),
                        "EmailCheckBox");
  EmailGroupBox =
      named(new QGroupBox(QStringLiteral("Email Setting"), MessageGroupBox), "EmailGroupBox");

  SMTPEdit = edit("SMTPEdit", EmailGroupBox);
  SecurityComboBox = named(new QComboBox(EmailGroupBox), "SecurityComboBox");
  for (const auto& choice : kSecurityChoices) SecurityComboBox->addItem(QLatin1String(choice[0]));
  VerifyCheckBox =
      named(new QCheckBox(QStringLiteral("Verify the server's certificate"), EmailGroupBox),
            "VerifyCheckBox");
  VerifyCheckBox->setChecked(true);
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
  emailForm->addRow(label("SecurityLabel", "Security:", EmailGroupBox), SecurityComboBox);
  emailForm->addRow(VerifyCheckBox);
  emailForm->addRow(AuthCheckBox);
  emailForm->addRow(label("UserNameLabel", "User Name:", EmailGroupBox), UserNameEdit);
  emailForm->addRow(label("PasswordLabel", "Password:", EmailGroupBox), PasswordEdit);
  auto* mailRow = new QHBoxLayout;
  mailRow->addWidget(EmailEdit, 1);
  mailRow->addWidget(TestButton);
  QLabel* emailLabel = label("EmailLabel", "Receive Email:", EmailGroupBox);
  emailForm->addRow(emailLabel, mailRow);

  WebhookGroupBox =
      named(new QGroupBox(QStringLiteral("Webhook"), MessageGroupBox), "WebhookGroupBox");
  WebhookUrlEdit = named(new QLineEdit(WebhookGroupBox), "WebhookUrlEdit");
  WebhookUrlEdit->setMaxLength(2048);
  WebhookUrlEdit->setPlaceholderText(QStringLiteral("https://HOST/PATH (empty: none)"));
  WebhookUrlEdit->setToolTip(
      QStringLiteral("Empty: none; else an http:// or https:// address. More webhooks, a header "
                     "and the certificate switch are set in the settings file."));
  WebhookFormatComboBox = named(new QComboBox(WebhookGroupBox), "WebhookFormatComboBox");
  for (const auto& choice : kFormatChoices)
    WebhookFormatComboBox->addItem(QLatin1String(choice[0]));
  WebhookTestButton =
      named(new QPushButton(QStringLiteral("Test"), WebhookGroupBox), "WebhookTestButton");
  WebhookTestButton->setAutoDefault(false);
  auto* webhookForm = new QFormLayout(WebhookGroupBox);
  QLabel* urlLabel = label("WebhookUrlLabel", "URL:", WebhookGroupBox);
  urlLabel->setBuddy(WebhookUrlEdit);
  webhookForm->addRow(urlLabel, WebhookUrlEdit);
  QLabel* formatLabel = label("WebhookFormatLabel", "Format:", WebhookGroupBox);
  formatLabel->setBuddy(WebhookFormatComboBox);
  auto* formatRow = new QHBoxLayout;
  formatRow->addWidget(WebhookFormatComboBox);
  formatRow->addStretch(1);
  formatRow->addWidget(WebhookTestButton);
  webhookForm->addRow(formatLabel, formatRow);
  // The fields start where the mail account's do, whose labels are the widest.
  for (QLabel* l : {urlLabel, formatLabel}) l->setMinimumWidth(emailLabel->sizeHint().width());

  auto* messageBox = new QVBoxLayout(MessageGroupBox);
  messageBox->addWidget(MessageCheckBox);
  messageBox->addWidget(NotifyCheckBox);
  messageBox->addWidget(EmailCheckBox);
  messageBox->addWidget(EmailGroupBox);
  messageBox->addWidget(WebhookGroupBox);

  IntervalEdit = named(new QLineEdit(this), "IntervalEdit");
  auto* intervalRow = new QHBoxLayout;
  intervalRow->addWidget(label("IntervalLabel", "Test host port Interval Time:", this));
  intervalRow->addWidget(IntervalEdit, 1);
  intervalRow->addWidget(label("SecondLabel", "(second)", this));

  TimeoutEdit = named(new QLineEdit(this), "TimeoutEdit");
  TimeoutEdit->setToolTip(QStringLiteral("0 to 3600 seconds; 0 waits as long as the system does"));
  RetriesEdit = named(new QLineEdit(this), "RetriesEdit");
  RetriesEdit->setToolTip(QStringLiteral("0 to 10 more probes before a refused port is DOWN"));
  auto* probeRow = new QHBoxLayout;
  probeRow->addWidget(label("TimeoutLabel", "Connect Timeout:", this));
  probeRow->addWidget(TimeoutEdit, 1);
  probeRow->addWidget(label("TimeoutSecondLabel", "(second)", this));
  probeRow->addWidget(label("RetriesLabel", "Retries:", this));
  probeRow->addWidget(RetriesEdit, 1);
  ParallelEdit = named(new QLineEdit(this), "ParallelEdit");
  ParallelEdit->setToolTip(QStringLiteral("1 to 4096 ports probed at once in each pass"));
  auto* parallelRow = new QHBoxLayout;
  parallelRow->addWidget(label("ParallelLabel", "Parallel Probes:", this));
  parallelRow->addWidget(ParallelEdit, 1);
  parallelRow->addWidget(label("ParallelPortsLabel", "(ports per pass)", this));
  DnsEdit = named(new QLineEdit(this), "DnsEdit");
  DnsEdit->setToolTip(
      QStringLiteral("Empty: the system's own; else ADDRESS[:PORT], comma separated"));
  auto* dnsRow = new QHBoxLayout;
  dnsRow->addWidget(label("DnsLabel", "DNS Servers:", this));
  dnsRow->addWidget(DnsEdit, 1);

  // The caption is the one users know; on this system the entry is their session's autostart.
  RunCheckBox = named(new QCheckBox(QStringLiteral("Run with Windows system at startup"), this),
                      "RunCheckBox");

  QHBoxLayout* buttons = OkCancelRow(*this, OKBtn, CancelBtn);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(MessageGroupBox);
  layout->addLayout(intervalRow);
  layout->addLayout(probeRow);
  layout->addLayout(parallelRow);
  layout->addLayout(dnsRow);
  layout->addWidget(RunCheckBox);
  layout->addStretch();
  layout->addLayout(buttons);
  // The classic size, grown where the security rows and the probe fields need more room.
  setFixedSize(QSize(394, 348).expandedTo(sizeHint()));

  connect(EmailCheckBox, &QCheckBox::toggled, this, &TAlertDlg::EmailCheckBoxClick);
  connect(OKBtn, &QPushButton::clicked, this, &TAlertDlg::OKBtnClick);
  connect(TestButton, &QPushButton::clicked, this, &TAlertDlg::TestButtonClick);
  connect(WebhookTestButton, &QPushButton::clicked, this, &TAlertDlg::WebhookTestButtonClick);
  EmailCheckBoxClick();
}

void TAlertDlg::fill(const AlertSettings& settings) {
  const AlertInput in = InputFromSettings(settings);
  MessageCheckBox->setChecked(in.showMessage);
  NotifyCheckBox->setChecked(in.notify);
  EmailCheckBox->setChecked(in.sendEmail);
  RunCheckBox->setChecked(in.runAtLogon);
  IntervalEdit->setText(q(in.interval));
  TimeoutEdit->setText(q(in.timeout));
  RetriesEdit->setText(q(in.retries));
  ParallelEdit->setText(q(in.parallel));
  DnsEdit->setText(q(in.dns));
  SMTPEdit->setText(q(in.email.smtpServer));
  UserNameEdit->setText(q(in.email.userName));
  PasswordEdit->setText(q(in.email.password));
  EmailEdit->setText(q(in.email.receiveEmail));
  AuthCheckBox->setChecked(in.authentication);
  loadedSecurity_ = settings.security;
  loadedWebhook_ = settings.webhooks[0];
  WebhookUrlEdit->setText(q(in.webhook.url));
  // An unknown format shows no choice and is kept, as the security is.
  WebhookFormatComboBox->setCurrentIndex(FormatIndex(in.webhook.format.value_or("")));
  const std::optional<TIdUseTLS> security = MailSecurity(settings.security);
  // An unknown text shows no choice, and OK keeps it: the user decides, not the dialog.
  int index = -1;
  for (int i = 0; i < static_cast<int>(std::size(kSecurityChoices)); ++i)
    if (security && MailSecurity(kSecurityChoices[i][1]) == security) index = i;
  SecurityComboBox->setCurrentIndex(index);
  VerifyCheckBox->setChecked(in.verifyCertificate);
}

AlertInput TAlertDlg::input() const {
  AlertInput in;
  in.showMessage = MessageCheckBox->isChecked();
  in.notify = NotifyCheckBox->isChecked();
  in.sendEmail = EmailCheckBox->isChecked();
  in.runAtLogon = RunCheckBox->isChecked();
  in.interval = s(IntervalEdit);
  in.timeout = s(TimeoutEdit);
  in.retries = s(RetriesEdit);
  in.parallel = s(ParallelEdit);
  in.dns = s(DnsEdit);
  in.email = {s(SMTPEdit), s(UserNameEdit), s(PasswordEdit), s(EmailEdit)};
  in.authentication = AuthCheckBox->isChecked();
  const int index = SecurityComboBox->currentIndex();
  if (index >= 0 && index < static_cast<int>(std::size(kSecurityChoices)))
    in.security = kSecurityChoices[index][1];
  in.verifyCertificate = VerifyCheckBox->isChecked();
  in.webhook = {s(WebhookUrlEdit), ChosenFormat(WebhookFormatComboBox)};
  return in;
}

void TAlertDlg::takeBack(AlertSettings& settings) const { TakeBackAlertInput(input(), settings); }

void TAlertDlg::EmailCheckBoxClick() {
  // Disabled edits take the palette's inactive colours, so no explicit repaint is needed.
  const bool on = EmailCheckBox->isChecked();
  for (QWidget* w :
       std::initializer_list<QWidget*>{SMTPEdit, SecurityComboBox, VerifyCheckBox, AuthCheckBox,
                                       UserNameEdit, PasswordEdit, EmailEdit})
    w->setEnabled(on);
  TestButton->setEnabled(on && !testRunning());
}

QLineEdit* TAlertDlg::fieldEdit(AlertField field) const {
  switch (field) {
    case AlertField::SmtpServer:
      return SMTPEdit;
    case AlertField::UserName:
      return UserNameEdit;
    case AlertField::Password:
      return PasswordEdit;
    case AlertField::ReceiveEmail:
      return EmailEdit;
    case AlertField::Interval:
      return IntervalEdit;
    case AlertField::Timeout:
      return TimeoutEdit;
    case AlertField::Retries:
      return RetriesEdit;
    case AlertField::Parallel:
      return ParallelEdit;
    case AlertField::Dns:
      return DnsEdit;
    case AlertField::WebhookUrl:
      return WebhookUrlEdit;
  }
  return IntervalEdit;
}

void TAlertDlg::refuse(const InputRefusal& refusal) {
  boxes_.show(BoxKind::Information, refusal.message);
  // After the box the cursor waits in the field the box asked for.
  QLineEdit* field = fieldEdit(refusal.field);
  field->setFocus(Qt::OtherFocusReason);
  field->selectAll();
}

void TAlertDlg::OKBtnClick() {
  // Only the check: the caller applies what was accepted, so Cancel after a box leaves the
  // start-up entry and the file alone.
  if (const auto refusal = CheckAlertInput(input())) {
    refuse(*refusal);
    return;
  }
  accept();
}

TAlertDlg::~TAlertDlg() {
  if (testRunning()) {
    mailer_.Cancel();
    QApplication::restoreOverrideCursor();
  }
  if (webhookTestRunning()) {
    webhookTester_.Cancel();
    QApplication::restoreOverrideCursor();
  }
}

void TAlertDlg::TestButtonClick() {
  if (testRunning()) return;
  const AlertInput in = input();
  // The account alone is checked, whatever the switches and the interval say.
  if (const auto refusal = CheckMailAccount(in.email)) {
    refuse(*refusal);
    return;
  }
  TestButton->setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const Status started = mailer_.Start(TestAccount(in, loadedSecurity_), [this](bool sent) {
    QMetaObject::invokeMethod(
        this, [this, sent] { testFinished(sent); }, Qt::QueuedConnection);
  });
  if (!started) {
    QApplication::restoreOverrideCursor();
    EmailCheckBoxClick();
    boxes_.show(BoxKind::Error, "Failed to connect SMTP server.");
  }
}

void TAlertDlg::testFinished(bool sent) {
  mailer_.Finish();
  QApplication::restoreOverrideCursor();
  EmailCheckBoxClick();
  if (sent)
    boxes_.show(BoxKind::Information, "SMTP server connected and test message sent successfully.");
  else
    boxes_.show(BoxKind::Error, "Failed to connect SMTP server.");
}

void TAlertDlg::WebhookTestButtonClick() {
  if (webhookTestRunning()) return;
  const AlertInput in = input();
  std::optional<std::string> problem = WebhookUrlProblem(in.webhook.url);
  if (!problem && Trim(in.webhook.url).empty()) problem = "Please fill the webhook URL.";
  if (problem) {
    refuse({AlertField::WebhookUrl, *problem});
    return;
  }
  WebhookTestButton->setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const Status started = webhookTester_.Start(
      TestWebhook(in, loadedWebhook_), ComputerName(), [this](const DeliveryOutcome& outcome) {
        QMetaObject::invokeMethod(
            this, [this, outcome] { webhookTestFinished(outcome); }, Qt::QueuedConnection);
      });
  if (!started) {
    QApplication::restoreOverrideCursor();
    WebhookTestButton->setEnabled(true);
    boxes_.show(BoxKind::Error, "The test message could not be started: " + started.reason);
  }
}

void TAlertDlg::webhookTestFinished(const DeliveryOutcome& outcome) {
  webhookTester_.Finish();
  QApplication::restoreOverrideCursor();
  WebhookTestButton->setEnabled(true);
  if (outcome.result == Delivery::sent)
    boxes_.show(BoxKind::Information, "Test message sent.");
  else
    boxes_.show(BoxKind::Error,
                outcome.reason.empty() ? "The test message was not sent." : outcome.reason);
}

void TAlertDlg::setVisible(bool visible) {
  // Centred on the desktop rather than over the main window, which may be hidden in the tray;
  // placed before it maps, since a move while it maps lands a frame's height lower on some
  // desktops.
  if (visible && !isVisible()) CentreOnScreen(*this);
  QDialog::setVisible(visible);
}

}  // namespace varnley
