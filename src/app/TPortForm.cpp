#include "app/TPortForm.h"

#include <QAction>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QShortcut>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <exception>

#include "alert/ApplyAlertSettings.h"
#include "alert/MailStatus.h"
#include "app/HostTableModel.h"
#include "app/Icons.h"
#include "app/QtMessageBoxes.h"
#include "app/StatusBarDiagnostics.h"
#include "app/TAlertDlg.h"
#include "app/THostPortDlg.h"
#include "app/TImportDlg.h"
#include "alert/AlertFanout.h"
#include "app/DesktopNotifier.h"
#include "platform/Paths.h"
#ifdef VARNLEY_HAVE_HISTORY
#include <QElapsedTimer>
#include <map>

#include "app/THistoryDlg.h"
#include "history/HistoryFile.h"
#include "history/HistoryQueries.h"
#endif
#include "model/AddressCheck.h"
#include "model/HostImport.h"
#include "model/HostInput.h"
#include "platform/FileAccess.h"
#include "monitor/Session.h"
#include "platform/Autostart.h"
#include "platform/Diagnostics.h"
#include "platform/MessageBoxes.h"
#include "platform/Paths.h"

namespace varnley {

namespace {

QString q(const char* s) { return QString::fromUtf8(s); }

// A label that shows as much of its text as its width allows, cut with an ellipsis.
class ElidedLabel : public QLabel {
 public:
  using QLabel::QLabel;
  void setFullText(const QString& text) {
    full_ = text;
    elide();
  }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QLabel::resizeEvent(event);
    elide();
  }

 private:
  void elide() {
    const int width = contentsRect().width();
    setText(width > 0 ? fontMetrics().elidedText(full_, Qt::ElideRight, width) : full_);
  }
  QString full_;
};

}  // namespace

TPortForm::TPortForm(Session& session, MessageBoxes& boxes, QWidget* parent, Outbox* outbox)
    : QMainWindow(parent),
      session_(session),
      boxes_(boxes),
      executablePath_(ExecutablePath()),
      trayAvailable_(QSystemTrayIcon::isSystemTrayAvailable()),
      outbox_(outbox ? outbox : &memoryOutbox_) {
  // Boxes belong to this window: the desktop lists and stacks them with it.
  if (auto* qtBoxes = dynamic_cast<QtMessageBoxes*>(&boxes_)) qtBoxes->setOwner(this);
  buildWindow();
  try {
    session_.Create();
  } catch (const std::exception& e) {
    boxes_.show(BoxKind::Error, e.what());
  }
  model_->refresh(HostTable::kAllRows);
  setMonitoring(session_.monitor().Running());
}

TPortForm::~TPortForm() {
  fanout_.reset();  // its workers report to this form
  if (mailStatus_) mailStatus_->SetListener({});
  // A form torn down without being closed still stops the workers and saves.
  if (!closed_) {
    closed_ = true;
    const SaveResult saved = session_.Destroy();
    if (!saved.ok) log().Report(Severity::Error, saved.error);
  }
}

void TPortForm::buildWindow() {
  setObjectName(QStringLiteral("PortForm"));
  setWindowTitle(q(kWindowCaption));
  setWindowIcon(ApplicationIcon());

  // Menu.
  // Access keys: Alt+O, Alt+M, Alt+H (the desktop's key for Help); F10 opens the first menu.
  QMenu* Host1 = menuBar()->addMenu(QStringLiteral("H&ost"));
  Host1->setObjectName(QStringLiteral("Host1"));
  auto item = [this](QMenu* menu, const char* name, const char* caption, QKeySequence keys,
                     void (TPortForm::*handler)()) {
    QAction* a = menu->addAction(q(caption));
    a->setObjectName(q(name));
    if (!keys.isEmpty()) a->setShortcut(keys);
    connect(a, &QAction::triggered, this, handler);
    return a;
  };
  AddHost1 = item(Host1, "AddHost1", "Add Host...", QKeySequence(Qt::CTRL | Qt::Key_A),
                  &TPortForm::AddToolButtonClick);
  EditHost1 = item(Host1, "EditHost1", "Edit Host Ports...", QKeySequence(Qt::CTRL | Qt::Key_E),
                   &TPortForm::EditToolButtonClick);
  Host1->addSeparator()->setObjectName(QStringLiteral("N3"));
  RemoveHost1 = item(Host1, "RemoveHost1", "Remove Host", {}, &TPortForm::RemoveToolButtonClick);
  Host1->addSeparator()->setObjectName(QStringLiteral("N4"));
  ImportHosts1 = item(Host1, "ImportHosts1", "Import Hosts...", {}, &TPortForm::ImportHosts1Click);
  ExportHosts1 = item(Host1, "ExportHosts1", "Export Hosts...", {}, &TPortForm::ExportHosts1Click);
  Host1->addSeparator()->setObjectName(QStringLiteral("N1"));
  Exit1 = item(Host1, "Exit1", "Exit", QKeySequence(Qt::ALT | Qt::Key_F4), &TPortForm::Exit1Click);
  QMenu* ools1 = menuBar()->addMenu(QStringLiteral("&Monitor"));
  ools1->setObjectName(QStringLiteral("ools1"));
  StartMonitor1 = item(ools1, "StartMonitor1", "Start Monitor", QKeySequence(Qt::CTRL | Qt::Key_S),
                       &TPortForm::StartToolButtonClick);
  StopMonitor1 = item(ools1, "StopMonitor1", "Stop Monitor", {}, &TPortForm::StopToolButtonClick);
  ools1->addSeparator()->setObjectName(QStringLiteral("N5"));
  AlertSettings1 =
      item(ools1, "AlertSettings1", "Alert Settings", {}, &TPortForm::SetToolButtonClick);
  History1 = item(ools1, "History1", "History...", QKeySequence(Qt::CTRL | Qt::Key_H),
                  &TPortForm::History1Click);
  QMenu* Help1 = menuBar()->addMenu(QStringLiteral("&Help"));
  Help1->setObjectName(QStringLiteral("Help1"));
  About1 = item(Help1, "About1", "About...", {}, &TPortForm::About1Click);
  auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), this);
  menuKey->setObjectName(QStringLiteral("MenuShortcut"));
  connect(menuKey, &QShortcut::activated, this, [this, Host1] {
    menuBar()->setFocus(Qt::ShortcutFocusReason);
    menuBar()->setActiveAction(Host1->menuAction());
  });

  // Toolbar in its band.
  CoolBar = new QFrame(this);
  CoolBar->setObjectName(QStringLiteral("CoolBar"));
  CoolBar->setFrameShape(QFrame::StyledPanel);
  ToolBar = new QToolBar(CoolBar);
  ToolBar->setObjectName(QStringLiteral("ToolBar"));
  ToolBar->setIconSize(QSize(24, 24));
  ToolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  ToolBar->setFloatable(false);
  ToolBar->setMovable(false);
  auto* band = new QHBoxLayout(CoolBar);
  band->setContentsMargins(2, 1, 2, 1);
  band->addWidget(ToolBar);
  band->addStretch();
  auto button = [this](const char* name, const char* caption, int image,
                       void (TPortForm::*handler)()) {
    auto* b = new QToolButton(ToolBar);
    b->setObjectName(q(name));
    b->setText(q(caption));
    b->setIcon(ImageListIcon(image));
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    // 78 x 44 at the least; wider and taller where the desktop's font needs room for the
    // caption, and the band grows with it rather than cutting it.
    b->setMinimumSize(78, 44);
    connect(b, &QToolButton::clicked, this, handler);
    ToolBar->addWidget(b);
    return b;
  };
  auto separator = [this] {
    auto* line = new QFrame(ToolBar);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setFixedWidth(8);
    ToolBar->addWidget(line);
  };
  AddToolButton = button("AddToolButton", "Add Host", 0, &TPortForm::AddToolButtonClick);
  separator();
  EditToolButton = button("EditToolButton", "Edit Host Ports", 1, &TPortForm::EditToolButtonClick);
  separator();
  RemoveToolButton =
      button("RemoveToolButton", "Remove Host", 2, &TPortForm::RemoveToolButtonClick);
  separator();
  SetToolButton = button("SetToolButton", "Alert Settings", 3, &TPortForm::SetToolButtonClick);
  separator();
  StartToolButton = button("StartToolButton", "Start Monitor", 5, &TPortForm::StartToolButtonClick);
  StopToolButton = button("StopToolButton", "Stop Monitor", 6, &TPortForm::StopToolButtonClick);
  separator();
  HistoryToolButton = button("HistoryToolButton", "History", 3, &TPortForm::History1Click);
  CoolBar->setFixedHeight(std::max(48, band->sizeHint().height()));

  // Host table.
  model_ = new HostTableModel(session_.hosts(), this);
#ifdef VARNLEY_HAVE_HISTORY
  // Since when each deactivated port has been down, as the history kept it; read again at
  // most every five seconds, as a tooltip asks once for every cell it is shown over.
  struct DownSinceCache {
    std::unique_ptr<HistoryReader> reader;
    std::map<PortKey, HistoryTime> down;
    QElapsedTimer age;
  };
  auto cache = std::make_shared<DownSinceCache>();
  model_->setDownSince([this, cache](const std::string& host, int port) -> std::optional<QDateTime> {
    if (!cache->age.isValid() || cache->age.elapsed() > 5000) {
      cache->age.start();
      cache->down.clear();
      const std::string path = HistoryPathFor(session_.settings(), session_.settingsPath());
      if (!cache->reader && !path.empty()) {
        Status status;
        cache->reader = HistoryReader::Open(path, status);
      }
      if (cache->reader)
        for (const PortSummary& summary : cache->reader->Summaries(SystemHistoryTime()))
          if (summary.monitored && !summary.up) cache->down[summary.key] = summary.since;
    }
    const auto found = cache->down.find(PortKey{host, port});
    if (found == cache->down.end()) return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(found->second);
  });
#endif
  ListView = new QTableView(this);
  ListView->setObjectName(QStringLiteral("ListView"));
  ListView->setModel(model_);
  ListView->setShowGrid(true);
  ListView->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView->setSelectionMode(QAbstractItemView::SingleSelection);
  ListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView->setWordWrap(false);
  // Tab and Shift+Tab move on to the rest of the window; the arrows move between rows.
  ListView->setTabKeyNavigation(false);
  ListView->verticalHeader()->hide();
  // Fixed row heights let the view place 100,000 rows without measuring any of them.
  ListView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  ListView->verticalHeader()->setDefaultSectionSize(20);
  ListView->horizontalHeader()->setHighlightSections(false);
  ListView->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  ListView->setColumnWidth(0, 150);
  ListView->setColumnWidth(1, 200);
  ListView->setColumnWidth(2, 200);
  // The last column takes the rest of the width (at least its own 200 pixels).
  ListView->horizontalHeader()->setStretchLastSection(true);
  connect(ListView, &QTableView::doubleClicked, this, &TPortForm::ListViewDblClick);

  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(CoolBar);
  column->addWidget(ListView, 1);
  setCentralWidget(central);

  // Status bar: two fixed panels, and the last alert mail's outcome.
  statusBar()->setObjectName(QStringLiteral("StatusBar"));
  statusBar()->setFixedHeight(19);
  statusBar()->setSizeGripEnabled(true);
  auto panel = [this](const QString& text, int width, Qt::Alignment align) {
    auto* l = new QLabel(text, statusBar());
    l->setFixedWidth(width);
    l->setAlignment(align | Qt::AlignVCenter);
    l->setFrameShape(QFrame::Panel);
    l->setFrameShadow(QFrame::Sunken);
    statusBar()->addWidget(l);
    return l;
  };
  panel(QStringLiteral("Freeware"), 80, Qt::AlignHCenter);
  panel(q(kWebAddress), 200, Qt::AlignHCenter);
  MailPanel = panel(QString(), 50, Qt::AlignLeft);
  MailPanel->setObjectName(QStringLiteral("MailPanel"));
  MonitorPanel = panel(QString(), 50, Qt::AlignLeft);
  MonitorPanel->setObjectName(QStringLiteral("MonitorPanel"));
  // The rest of the bar: a notice too long for it is cut with an ellipsis, whole in the tip.
  NoticePanel = new ElidedLabel(statusBar());
  NoticePanel->setObjectName(QStringLiteral("NoticePanel"));
  NoticePanel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  NoticePanel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  statusBar()->addWidget(NoticePanel, 1);

  TrayIcon = new QSystemTrayIcon(TrayStateIcon(TrayState::Idle), this);
  TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
  TrayIcon->setToolTip(QStringLiteral("Varnley"));
  // Worker changes arrive a row at a time, thousands in a pass; the count follows them at
  // most four times a second.
  StateTimer = new QTimer(this);
  StateTimer->setSingleShot(true);
  StateTimer->setInterval(250);
  connect(StateTimer, &QTimer::timeout, this, &TPortForm::showState);
  auto recount = [this] {
    if (!StateTimer->isActive()) StateTimer->start();
  };
  connect(model_, &QAbstractItemModel::dataChanged, this, recount);
  connect(model_, &QAbstractItemModel::rowsInserted, this, recount);
  connect(model_, &QAbstractItemModel::rowsRemoved, this, recount);
  connect(model_, &QAbstractItemModel::modelReset, this, recount);
  connect(TrayIcon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
              TrayIconClick();
          });
  if (trayAvailable_) TrayIcon->show();

  MsgTimer = new QTimer(this);
  MsgTimer->setObjectName(QStringLiteral("MsgTimer"));
  MsgTimer->setInterval(2000);
  connect(MsgTimer, &QTimer::timeout, this, &TPortForm::MsgTimerTimer);

  HostPortDlg = new THostPortDlg(this);
  AlertDlg = new TAlertDlg(boxes_, this);
  ImportDlg = new TImportDlg(this);

  // The menu bar is outside the client area the window is sized for.
  resize(682, 446 + menuBar()->sizeHint().height());
  move(0, 0);
}

void TPortForm::showAtStart() {
  if (!session_.startedHidden()) {
    show();
  } else if (!trayAvailable_) {
    // With nowhere to hide, "-s" starts minimised instead of invisible.
    showMinimized();
  }
}

void TPortForm::setMonitoring(bool running) {
  for (QWidget* w : {static_cast<QWidget*>(AddToolButton), static_cast<QWidget*>(EditToolButton),
                     static_cast<QWidget*>(RemoveToolButton), static_cast<QWidget*>(SetToolButton),
                     static_cast<QWidget*>(StartToolButton)})
    w->setEnabled(!running);
  for (QAction* a :
       {AddHost1, EditHost1, RemoveHost1, ImportHosts1, ExportHosts1, AlertSettings1, StartMonitor1})
    a->setEnabled(!running);
  StopToolButton->setEnabled(running);
  StopMonitor1->setEnabled(running);
  if (running) {
    if (!fanout_) buildFanout();
    MsgTimer->start();
  } else {
    MsgTimer->stop();
    if (fanout_) {
      fanout_->Reset();
      fanout_.reset();
    }
  }
  monitoring_ = running;
  showState();
}

void TPortForm::showState() {
  StateTimer->stop();
  const int down = model_->deactivatedCount();
  const TrayState state = !monitoring_ ? TrayState::Idle
                          : down > 0   ? TrayState::Down
                                       : TrayState::Monitoring;
  const QString ports =
      down == 1 ? QStringLiteral("1 port down") : QStringLiteral("%1 ports down").arg(down);
  const QString line =
      monitoring_ ? QStringLiteral("Monitoring: ") + ports : QStringLiteral("Not monitoring");
  if (state != trayState_) TrayIcon->setIcon(TrayStateIcon(state));
  trayState_ = state;
  MonitorPanel->setText(line);
  MonitorPanel->setFixedWidth(
      std::max(50, MonitorPanel->fontMetrics().horizontalAdvance(line) + 12));
  QStringList tip{QStringLiteral("Varnley"), line};
  if (!mailLine_.isEmpty()) tip << mailLine_;
  if (!noticeText_.isEmpty()) tip << noticeText_;
  TrayIcon->setToolTip(tip.join(QLatin1Char('\n')));
}

std::optional<MonitoredHost> TPortForm::selectedHost(int& row) {
  if (session_.hosts().empty()) return std::nullopt;
  const auto rows = ListView->selectionModel()->selectedRows();
  row = rows.isEmpty() ? -1 : rows.front().row();
  auto current = row < 0 ? std::nullopt : session_.hosts().row(static_cast<std::size_t>(row));
  if (!current) boxes_.show(BoxKind::Information, kSelectHostText);
  return current;
}

void TPortForm::focusRow(int row) {
  const QModelIndex index = model_->index(row, 0);
  ListView->setCurrentIndex(index);
  ListView->selectRow(row);
  ListView->scrollTo(index);
  ListView->setFocus();
}

void TPortForm::AddToolButtonClick() {
  HostPortDlg->clearFields();
  if (HostPortDlg->exec() != QDialog::Accepted) return;
  const std::string host = HostPortDlg->host();
  if (!IsValidHost(host)) {
    boxes_.show(BoxKind::Information, InvalidHostText(host));
    return;
  }
  if (const auto existing = session_.hosts().find(host)) {
    focusRow(static_cast<int>(*existing));
    return;
  }
  session_.hosts().append({host, HostPortDlg->ports(), ""});
}

void TPortForm::EditToolButtonClick() {
  int row = -1;
  const auto current = selectedHost(row);
  if (!current) return;
  HostPortDlg->fill(*current);
  if (HostPortDlg->exec() != QDialog::Accepted) return;
  const std::string host = HostPortDlg->host();
  if (!IsValidHost(host)) {
    boxes_.show(BoxKind::Information, InvalidHostText(host));
    return;
  }
  const std::string ports = HostPortDlg->ports();
  session_.hosts().update(static_cast<std::size_t>(row), [&](MonitoredHost& h) {
    h.host = host;
    h.ports = ports;
  });
}

void TPortForm::ImportHosts1Click() {
  const QString path = QFileDialog::getOpenFileName(
      this, QStringLiteral("Import Hosts"), QString(),
      QStringLiteral("Host lists (*.txt *.csv *.json *.list);;All files (*)"));
  if (!path.isEmpty()) importHostsFrom(path);
}

void TPortForm::importHostsFrom(const QString& path) {
  const std::vector<MonitoredHost> before = session_.hosts().snapshot();
  const ImportPreview preview = PreviewImportFile(path.toStdString(), before);
  ImportDlg->showPreview(path, preview);
  if (ImportDlg->exec() != QDialog::Accepted || preview.failure || !preview.changesTable()) return;
  session_.hosts().replaceAll(preview.rows);
  const SaveResult saved =
      SaveHosts(session_.settingsPath(), preview.rows, &session_.settings());
  if (!saved.ok) {
    session_.hosts().replaceAll(before);
    boxes_.show(BoxKind::Error, saved.error);
  }
}

void TPortForm::ExportHosts1Click() {
  QString filter;
  QString path = QFileDialog::getSaveFileName(
      this, QStringLiteral("Export Hosts"), QStringLiteral("hosts.csv"),
      QStringLiteral("CSV (*.csv);;Text (*.txt)"), &filter);
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty())
    path += filter.startsWith(QStringLiteral("Text")) ? QStringLiteral(".txt") : QStringLiteral(".csv");
  exportHostsTo(path);
}

void TPortForm::exportHostsTo(const QString& path) {
  const std::vector<MonitoredHost> rows = session_.hosts().snapshot();
  const bool csv = path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive);
  // States are known once ports were probed in this run; they stay after Stop.
  bool probed = session_.monitor().Running();
  for (std::size_t row = 0; row < rows.size() && !probed; ++row)
    probed = !session_.hosts().portStates(row).empty();
  std::string reason;
  if (!ReplaceFileAtomically(path.toStdString(),
                             csv ? ExportHostsCsv(rows, probed)
                                 : ExportHostsText(rows),
                             &reason))
    boxes_.show(BoxKind::Error, "Unable to write to " + path.toStdString());
}

void TPortForm::ListViewDblClick() {
  if (EditHost1->isEnabled()) EditToolButtonClick();
}

void TPortForm::RemoveToolButtonClick() {
  int row = -1;
  const auto current = selectedHost(row);
  if (!current) return;
  if (boxes_.show(BoxKind::Confirm, ConfirmRemoveText(current->host)) == BoxButton::Yes)
    session_.hosts().remove(static_cast<std::size_t>(row));
}

void TPortForm::SetToolButtonClick() {
  AlertDlg->fill(session_.settings());
  if (AlertDlg->exec() != QDialog::Accepted) return;
  const AppliedAlertSettings applied = ApplyAlertSettings(AlertDlg->input(), session_.settings(),
                                                          session_.settingsPath(), executablePath_);
  if (applied.refusal) {
    boxes_.show(BoxKind::Information, applied.refusal->message);
    return;
  }
  if (!applied.startupEntryWritten) {
    const std::string where = AutostartFilePath();
    report(Severity::Warning, std::string("the start-up entry could not be ") +
                                  (session_.settings().runAtLogon ? "written" : "removed") +
                                  (where.empty() ? std::string() : ": " + where));
  }
  if (!applied.saved.ok) boxes_.show(BoxKind::Error, applied.saved.error);
}

void TPortForm::StartToolButtonClick() {
  session_.monitor().Start();
  setMonitoring(session_.monitor().Running());
}

void TPortForm::StopToolButtonClick() {
  session_.monitor().Stop();
  setMonitoring(false);
}

void TPortForm::Exit1Click() { close(); }

void TPortForm::About1Click() {
  boxes_.show(BoxKind::Information,
              std::string(kWindowCaption) + "\r\nFreeware\r\nhttps://" + kWebAddress + "/");
}

void TPortForm::TrayIconClick() {
  if (isVisible()) return;
  session_.clearStartedHidden();
  show();
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  // Raised in front of the other windows without staying on top.
  raise();
  activateWindow();
}

void TPortForm::BringToFront() {
  if (!isVisible()) {
    TrayIconClick();
    return;
  }
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  raise();
  activateWindow();
}

void TPortForm::History1Click() {
#ifdef VARNLEY_HAVE_HISTORY
  const std::string path = HistoryPathFor(session_.settings(), session_.settingsPath());
  if (path.empty()) {
    boxes_.show(BoxKind::Information, "The history is off (history=off in the settings file).");
    return;
  }
  if (!HistoryDlg) {
    auto* dialog = new THistoryDlg(path, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QObject::destroyed, this, [this] { HistoryDlg = nullptr; });
    HistoryDlg = dialog;
  }
  HistoryDlg->show();
  HistoryDlg->raise();
  HistoryDlg->activateWindow();
#else
  boxes_.show(BoxKind::Information, "This build keeps no history.");
#endif
}

void TPortForm::MsgTimerTimer() {
  DispatchTexts texts;
  try {
    texts = session_.monitor().Tick(true);
  } catch (const std::exception& e) {
    // The next tick tries again; the user hears of it rather than of nothing at all.
    report(Severity::Error, std::string("alerts could not be dispatched: ") + e.what());
    return;
  }
  if (fanout_) {
    fanout_->Dispatch(texts.down, texts.up);
    fanout_->Tick();
  }
  if (!session_.settings().showMessage) return;
  // The boxes do not wait for anyone: the next tick, and the mail, go on while they are open.
  if (!texts.down.empty()) {
    TrayIconClick();
    boxes_.notify(BoxKind::Warning, texts.down);
    session_.monitor().BoxShown(texts.down);
  }
  if (!texts.up.empty()) {
    TrayIconClick();
    boxes_.notify(BoxKind::Information, texts.up);
    session_.monitor().BoxShown(texts.up);
  }
}

void TPortForm::buildFanout() {
  fanout_.reset();
  const AlertSettings& settings = session_.settings();
  FanoutOptions options;
  options.source = ComputerName();
  options.outbox = outbox_;
  auto fanout = std::make_unique<AlertFanout>(settings, std::move(options));
  fanout->AddSink(MailReminderSink(session_.queues(), settings));
  fanout->SetReasonLookup([&hosts = session_.hosts()] { return hosts.downReasonsByPort(); });
  if (settings.notify) {
    if (!notifier_) {
      DesktopNotifier::Balloon balloon;
      if (trayAvailable_)
        balloon = [this](const QString& title, const QString& text, bool critical) {
          TrayIcon->showMessage(title, text,
                                critical ? QSystemTrayIcon::Critical : QSystemTrayIcon::Information);
        };
      notifier_ = std::make_unique<DesktopNotifier>(std::move(balloon));
    }
    fanout->AddSink([notifier = notifier_.get()](const Alert& alert) { notifier->Show(alert); });
  }
  for (int n = 1; n <= kWebhookCount; ++n)
    fanout->webhookStatus(n).SetOutcomeHook(
        [this, name = "webhook" + std::to_string(n)](const MailOutcome& outcome,
                                                      const std::string& text) {
          const std::string line = OutcomeLine(name, outcome, text);
          // Told on the channel's thread; the status bar changes on this one.
          QMetaObject::invokeMethod(
              this,
              [this, line, sent = outcome.sent] {
                report(sent ? Severity::Info : Severity::Warning, line);
              },
              Qt::QueuedConnection);
        });
  fanout_ = std::move(fanout);
}

void TPortForm::watchMailStatus(MailStatus& status) {
  if (mailStatus_) mailStatus_->SetListener({});
  mailStatus_ = &status;
  // Reported on the sender's thread; the widgets change on this one.
  status.SetListener([this] {
    QMetaObject::invokeMethod(
        this, [this] { showMailStatus(); }, Qt::QueuedConnection);
  });
  showMailStatus();
}

void TPortForm::showMailStatus() {
  const auto last = mailStatus_ ? mailStatus_->Last() : std::nullopt;
  if (!last) return;
  const QDateTime when =
      QDateTime::fromSecsSinceEpoch(std::chrono::system_clock::to_time_t(last->when));
  const QString text =
      (last->sent ? QStringLiteral("Mail sent ") : QStringLiteral("Mail failed ")) +
      when.toString(QStringLiteral("HH:mm"));
  const QString reason = last->sent
                             ? QStringLiteral("The last alert mail was sent at ") +
                                   when.toString(QStringLiteral("HH:mm:ss")) + QLatin1Char('.')
                             : QString::fromStdString(last->reason)
                                   .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  MailPanel->setText(text);
  MailPanel->setToolTip(reason);
  MailPanel->setFixedWidth(std::max(50, MailPanel->fontMetrics().horizontalAdvance(text) + 12));
  mailLine_ = text + (last->sent ? QString() : QStringLiteral(": ") + reason);
  showState();
}

void TPortForm::watchDiagnostics(StatusBarDiagnostics& diagnostics) {
  if (diagnostics_) disconnect(diagnostics_, nullptr, this, nullptr);
  diagnostics_ = &diagnostics;
  connect(&diagnostics, &StatusBarDiagnostics::shown, this,
          [this](const QString& text) { showNotice(text, {text}); });
  connect(&diagnostics, &QObject::destroyed, this, [this] { diagnostics_ = nullptr; });
}

Diagnostics& TPortForm::log() const {
  return diagnostics_ ? diagnostics_->log() : StderrDiagnostics();
}

void TPortForm::report(Severity severity, const std::string& text) {
  if (diagnostics_) {
    diagnostics_->Report(severity, text);
    return;
  }
  // Without a window sink the form's own reports still reach stderr and the panel.
  StderrDiagnostics().Report(severity, text);
  if (StatusBarDiagnostics::Shown(severity)) {
    const QString line = QString::fromStdString(text);
    showNotice(line, {line});
  }
}

void TPortForm::showSettingsWarnings(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  QStringList all;
  for (const std::string& line : lines) {
    log().Report(Severity::Warning, line);
    all << QString::fromStdString(line);
  }
  QString text = all.front();
  if (all.size() > 1) text += QStringLiteral(" (+%1 more)").arg(all.size() - 1);
  showNotice(text, all);
}

void TPortForm::showNotice(const QString& text, const QStringList& details) {
  constexpr qsizetype kTipLines = 10;
  const QString when = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss "));
  noticeText_ = when + text;
  for (const QString& detail : details) noticeTips_ << when + detail;
  if (noticeTips_.size() > kTipLines) noticeTips_.remove(0, noticeTips_.size() - kTipLines);
  NoticePanel->setToolTip(noticeTips_.join(QLatin1Char('\n')));
  static_cast<ElidedLabel*>(NoticePanel)->setFullText(noticeText_);
  showState();
}

void TPortForm::closeEvent(QCloseEvent* event) {
  if (!closed_) {
    closed_ = true;
    MsgTimer->stop();
    const SaveResult saved = session_.Destroy();
    if (!saved.ok) log().Report(Severity::Error, saved.error);
    TrayIcon->hide();
  }
  event->accept();
  Q_EMIT closed();
}

void TPortForm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && trayAvailable_) {
    // Hidden once the minimise has finished, so the window leaves the taskbar for the tray.
    QTimer::singleShot(0, this, [this] {
      if (isMinimized()) hide();
    });
  }
}

}  // namespace varnley
