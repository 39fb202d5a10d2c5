// The "Alert Settings" dialog: alert switches, the mail account, the probe interval with the
// probe's timeout, retries and ports per pass, and the start-up entry.
#pragma once

#include <QDialog>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace varnley {

struct AlertSettings;
class MessageBoxes;
class StopSource;
class TIdMessage;
class TIdSMTP;

class TAlertDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TAlertDlg(MessageBoxes& boxes, QWidget* parent = nullptr);
  ~TAlertDlg() override;

  // How long the Test button waits for the server's connect and for each whole reply.
  static constexpr int kTestWaitMs = 10000;
  void setTestWaitMs(int ms) { testWaitMs_ = ms; }
  // Whether a test mail is on its way (the Test button is disabled meanwhile).
  bool testRunning() const { return testThread_.joinable(); }

  // Every control from the settings; the email switch's enabling rule follows.
  void fill(const AlertSettings& settings);
  // The controls back into the settings; an interval, timeout, retry count or ports per pass
  // that is out of range keeps the old one.
  void takeBack(AlertSettings& settings) const;

  // Where the start-up entry's Exec line points (default: this executable).
  void setExecutablePath(std::string path) { executablePath_ = std::move(path); }

  void setVisible(bool visible) override;

 private:
  void focusFirstEmptyMailField();
  // The probe settings beside the interval, checked in this order after it.
  struct ProbeField {
    QLineEdit* edit;
    int min, max;
    const char* message;
    int AlertSettings::*value;
  };
  std::array<ProbeField, 3> probeFields() const;

  void EmailCheckBoxClick();
  void OKBtnClick();
  void TestButtonClick();
  // The security the combo box shows; a text the box has no entry for stays as it was.
  std::string securityText(const std::string& previous) const;
  void testFinished(bool sent);

  MessageBoxes& boxes_;
  std::string executablePath_;
  std::string loadedSecurity_;  // what fill() was given, kept when the box shows no choice
  // The test's own client and message, apart from the sender thread's.
  std::unique_ptr<TIdSMTP> IdSMTP;
  std::unique_ptr<TIdMessage> testMessage_;
  // The test runs on this thread, so the window keeps answering; the stop ends it early when
  // the dialog goes away.
  std::unique_ptr<StopSource> testStop_;
  std::thread testThread_;
  int testWaitMs_ = kTestWaitMs;

  QGroupBox* MessageGroupBox;
  QCheckBox* MessageCheckBox;
  QCheckBox* EmailCheckBox;
  QGroupBox* EmailGroupBox;
  QLineEdit* SMTPEdit;
  QComboBox* SecurityComboBox;  // None / STARTTLS / SSL/TLS
  QCheckBox* VerifyCheckBox;
  QCheckBox* AuthCheckBox;
  QLineEdit* UserNameEdit;
  QLineEdit* PasswordEdit;
  QLineEdit* EmailEdit;
  QPushButton* TestButton;
  QLineEdit* IntervalEdit;
  QLineEdit* TimeoutEdit;
  QLineEdit* RetriesEdit;
  QLineEdit* ParallelEdit;
  QCheckBox* RunCheckBox;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
};

}  // namespace varnley
