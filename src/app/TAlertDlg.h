// The "Alert Settings" dialog: alert switches, the mail account, the first webhook, the probe
// interval with the probe's timeout, retries and ports per pass, and the start-up entry.
#pragma once

#include <QDialog>
#include <string>

#include "alert/AlertInput.h"
#include "alert/TestMailer.h"
#include "alert/TestWebhookSender.h"
#include "model/AlertSettings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace varnley {

class MessageBoxes;

class TAlertDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TAlertDlg(MessageBoxes& boxes, QWidget* parent = nullptr);
  ~TAlertDlg() override;

  // How long the Test button waits for the server's connect and for each whole reply.
  static constexpr int kTestWaitMs = static_cast<int>(TestMailer::kWait.count());
  void setTestWaitMs(int ms) { mailer_.setWait(std::chrono::milliseconds(ms)); }
  // Whether a test mail is on its way (the Test button is disabled meanwhile).
  bool testRunning() const { return mailer_.Running(); }
  // The same for the Webhook group's Test button.
  void setWebhookLimits(WebhookLimits limits) { webhookTester_.setLimits(limits); }
  bool webhookTestRunning() const { return webhookTester_.Running(); }

  // Every control from the settings; the email switch's enabling rule follows.
  void fill(const AlertSettings& settings);
  // What the controls hold. OK closes the dialog only when CheckAlertInput takes all of it;
  // nothing is written until the caller applies it.
  AlertInput input() const;
  // The controls back into the settings; an interval, timeout, retry count or ports per pass
  // that is out of range keeps the old one.
  void takeBack(AlertSettings& settings) const;

  void setVisible(bool visible) override;

 private:
  QLineEdit* fieldEdit(AlertField field) const;
  void refuse(const InputRefusal& refusal);

  void EmailCheckBoxClick();
  void OKBtnClick();
  void TestButtonClick();
  void testFinished(bool sent);
  void WebhookTestButtonClick();
  void webhookTestFinished(const DeliveryOutcome& outcome);

  MessageBoxes& boxes_;
  std::string loadedSecurity_;  // what fill() was given, kept when the box shows no choice
  TestMailer mailer_;
  WebhookSettings loadedWebhook_;  // the first webhook as fill() was given it
  TestWebhookSender webhookTester_;

  QGroupBox* MessageGroupBox;
  QCheckBox* MessageCheckBox;
  QCheckBox* EmailCheckBox;
  QCheckBox* NotifyCheckBox;
  QGroupBox* EmailGroupBox;
  QLineEdit* SMTPEdit;
  QComboBox* SecurityComboBox;  // None / STARTTLS / SSL/TLS
  QCheckBox* VerifyCheckBox;
  QCheckBox* AuthCheckBox;
  QLineEdit* UserNameEdit;
  QLineEdit* PasswordEdit;
  QLineEdit* EmailEdit;
  QPushButton* TestButton;
  QGroupBox* WebhookGroupBox;
  QLineEdit* WebhookUrlEdit;
  QComboBox* WebhookFormatComboBox;  // json / slack / ntfy
  QPushButton* WebhookTestButton;
  QLineEdit* IntervalEdit;
  QLineEdit* TimeoutEdit;
  QLineEdit* RetriesEdit;
  QLineEdit* ParallelEdit;
  QLineEdit* DnsEdit;
  QCheckBox* RunCheckBox;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
};

}  // namespace varnley
