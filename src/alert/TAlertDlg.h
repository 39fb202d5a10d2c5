// The "Alert Settings" dialog: alert switches, the mail account, the probe interval and the
// start-up entry.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class QCheckBox;
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
  // The controls back into the settings; an interval that is no number keeps the old one.
  void takeBack(AlertSettings& settings) const;

  // Where the start-up entry's Exec line points (default: this executable).
  void setExecutablePath(std::string path) { executablePath_ = std::move(path); }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void EmailCheckBoxClick();
  void OKBtnClick();
  void TestButtonClick();
  void testFinished(bool sent);

  MessageBoxes& boxes_;
  std::string executablePath_;
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
  QCheckBox* AuthCheckBox;
  QLineEdit* UserNameEdit;
  QLineEdit* PasswordEdit;
  QLineEdit* EmailEdit;
  QPushButton* TestButton;
  QLineEdit* IntervalEdit;
  QCheckBox* RunCheckBox;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
};

}  // namespace varnley
