// The main window: the host table, the toolbar, the menu, the status bar, the tray icon and
// the timer that turns queued port changes into alerts.
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QStringList>
#include <QSystemTrayIcon>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "alert/DeliveryQueue.h"
#include "app/Icons.h"
#include "model/MonitoredHost.h"
#include "platform/Diagnostics.h"

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QTableView;
class QTimer;
class QToolBar;
class QToolButton;

namespace varnley {

class AlertFanout;
class DesktopNotifier;
class HostTableModel;
class MailStatus;
class MessageBoxes;
class StatusBarDiagnostics;
class Session;
class TAlertDlg;
class THostPortDlg;
class TImportDlg;

inline constexpr const char* kWebAddress = "varnley.example.org";
inline constexpr const char* kWindowCaption = "Varnley 1.0";

class TPortForm : public QMainWindow {
  Q_OBJECT

 public:
  // Loads the settings and hosts through the session (and starts monitoring with "-s").
  // Undelivered webhook alerts wait in `outbox` (none: one of the form's own, in memory).
  TPortForm(Session& session, MessageBoxes& boxes, QWidget* parent = nullptr,
            Outbox* outbox = nullptr);
  ~TPortForm() override;

  // Shows the window unless it starts hidden in the tray; without a tray it starts minimised.
  void showAtStart();
  // Whether minimising hides into the tray (default: the desktop has one).
  void setTrayAvailable(bool available) { trayAvailable_ = available; }

  // Shows the last alert mail's outcome in the status bar's last panel (the reason as its
  // tooltip) and in the tray tooltip, now and after every mail. The status outlives the form.
  void watchMailStatus(MailStatus& status);

  // Shows the diagnostics the user must know in the status bar's notice panel (the latest one,
  // its time and the text; the tooltip holds the last few) and in the tray tooltip. The sink
  // outlives the form.
  void watchDiagnostics(StatusBarDiagnostics& diagnostics);
  // Problems found while loading the settings (rows dropped and why): each on the log, the
  // first with their count in the notice panel, all of them in its tooltip.
  void showSettingsWarnings(const std::vector<std::string>& lines);

  // Where the start-up entry's Exec line points (default: this executable).
  void setExecutablePath(std::string path) { executablePath_ = std::move(path); }

  HostTableModel& tableModel() { return *model_; }
  // What the tray icon shows now.
  TrayState trayState() const { return trayState_; }
  THostPortDlg& hostPortDlg() { return *HostPortDlg; }
  TAlertDlg& alertDlg() { return *AlertDlg; }
  TImportDlg& importDlg() { return *ImportDlg; }

  void AddToolButtonClick();
  void EditToolButtonClick();
  void RemoveToolButtonClick();
  void ImportHosts1Click();
  void ExportHosts1Click();
  // The two commands after their file dialogs: the preview, then one save of the merged rows
  // (the table stays as it was when the save fails); the export by the name's type, CSV for
  // ".csv" and the text form otherwise.
  void importHostsFrom(const QString& path);
  void exportHostsTo(const QString& path);
  void SetToolButtonClick();
  void StartToolButtonClick();
  void StopToolButtonClick();
  // Opens the History window, or brings the open one forward; monitoring goes on meanwhile.
  void History1Click();
  void Exit1Click();
  void About1Click();
  void TrayIconClick();
  // A second start asked for the window: shown as a tray click shows it, and brought to the
  // front when it was only minimised or behind other windows.
  void BringToFront();
  void MsgTimerTimer();

 Q_SIGNALS:
  // After the session was shut down and the hosts saved; the program may end.
  void closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void buildWindow();
  void setMonitoring(bool running);
  void ListViewDblClick();
  // The selected row (its index in `row`); with none selected, says so in a box. An empty
  // table gives nullopt without a word.
  std::optional<MonitoredHost> selectedHost(int& row);
  void focusRow(int row);
  void showMailStatus();
  void showNotice(const QString& text, const QStringList& details);
  // Where the form's own lines go: the log only, or (report) also the notice panel when the
  // severity is one the user must know.
  Diagnostics& log() const;
  void report(Severity severity, const std::string& text);
  // The tray icon, its tooltip and the status bar's monitor panel from the monitoring state,
  // the number of ports down and the last mail's outcome.
  void showState();

  Session& session_;
  MessageBoxes& boxes_;
  std::string executablePath_;
  bool trayAvailable_;
  bool closed_ = false;
  HostTableModel* model_ = nullptr;
  MailStatus* mailStatus_ = nullptr;
  bool monitoring_ = false;
  TrayState trayState_ = TrayState::Idle;
  QString mailLine_;  // the last mail's outcome for the tray tooltip; empty before any mail
  StatusBarDiagnostics* diagnostics_ = nullptr;
  QString noticeText_;      // the notice panel's whole text
  QStringList noticeTips_;  // the latest notices, newest last

  QFrame* CoolBar;
  QToolBar* ToolBar;
  QToolButton* AddToolButton;
  QToolButton* EditToolButton;
  QToolButton* RemoveToolButton;
  QToolButton* SetToolButton;
  QToolButton* StartToolButton;
  QToolButton* StopToolButton;
  QToolButton* HistoryToolButton;
  QTableView* ListView;
  QAction* AddHost1;
  QAction* EditHost1;
  QAction* RemoveHost1;
  QAction* ImportHosts1;
  QAction* ExportHosts1;
  QAction* Exit1;
  QAction* StartMonitor1;
  QAction* StopMonitor1;
  QAction* AlertSettings1;
  QAction* History1;
  QAction* About1;
  QLabel* MailPanel;
  QLabel* MonitorPanel;
  QLabel* NoticePanel;
  QTimer* StateTimer;
  QSystemTrayIcon* TrayIcon;
  QTimer* MsgTimer;
  THostPortDlg* HostPortDlg;
  TAlertDlg* AlertDlg;
  TImportDlg* ImportDlg;
  // Webhooks, reminders and desktop notifications while monitoring runs; made at each start
  // from the settings then (they cannot change while it runs). Undelivered alerts wait in
  // the outbox across a stop and a start.
  MemoryOutbox memoryOutbox_;
  Outbox* outbox_;
  std::unique_ptr<DesktopNotifier> notifier_;
  std::unique_ptr<AlertFanout> fanout_;
  void buildFanout();
  QDialog* HistoryDlg = nullptr;  // while open
};

}  // namespace varnley
