// Program entry: the single-instance rule, the run's session, the main window, and the
// orderly end (monitoring stopped, hosts saved) however the window goes away.
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/QtMessageBoxes.h"
#include "app/SignalBridge.h"
#include "monitor/Session.h"
#include "platform/InstanceLock.h"
#include "platform/Paths.h"
#include "platform/TerminationSignals.h"

namespace varnley {
namespace {

// Stands in for the main window until the real one exists: start/stop, the 2-second tick and
// its boxes.
class PlaceholderWindow : public QWidget {
 public:
  explicit PlaceholderWindow(Session& session) : session_(session) {
    setWindowTitle(QStringLiteral("Varnley"));
    auto* layout = new QVBoxLayout(this);
    status_ = new QLabel(this);
    layout->addWidget(status_);
    auto* buttons = new QHBoxLayout;
    start_ = new QPushButton(QStringLiteral("Start Monitor"), this);
    stop_ = new QPushButton(QStringLiteral("Stop Monitor"), this);
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    layout->addLayout(buttons);
    connect(start_, &QPushButton::clicked, this, [this] { startMonitor(); });
    connect(stop_, &QPushButton::clicked, this, [this] { stopMonitor(); });
    msgTimer_.setInterval(2000);
    connect(&msgTimer_, &QTimer::timeout, this, [this] { MsgTimerTimer(); });

    try {
      session_.Create();
    } catch (const std::exception& e) {
      boxes_.show(BoxKind::Error, e.what());
    }
    if (session_.monitor().Running()) msgTimer_.start();
    refresh();
  }

 private:
  void startMonitor() {
    session_.monitor().Start();
    msgTimer_.start();
    refresh();
  }
  void stopMonitor() {
    session_.monitor().Stop();
    msgTimer_.stop();
    refresh();
  }
  void MsgTimerTimer() {
    const DispatchTexts texts = session_.monitor().Tick();
    if (!texts.down.empty()) boxes_.show(BoxKind::Warning, texts.down);
    if (!texts.up.empty()) boxes_.show(BoxKind::Information, texts.up);
  }
  void refresh() {
    const bool running = session_.monitor().Running();
    start_->setEnabled(!running);
    stop_->setEnabled(running);
    status_->setText(QStringLiteral("%1 hosts, monitoring %2")
                         .arg(session_.hosts().size())
                         .arg(running ? QStringLiteral("on") : QStringLiteral("off")));
  }

  Session& session_;
  QtMessageBoxes boxes_;
  QTimer msgTimer_;
  QLabel* status_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* stop_ = nullptr;
};

}  // namespace
}  // namespace varnley

int main(int argc, char** argv) {
  using namespace varnley;
  // Read before the toolkit sees them: it removes the options it knows from argv.
  const std::vector<std::string> args(argv, argv + argc);

  // Installed before the lock is taken: once another process can see this one, a signal
  // already takes the orderly way out (it waits in the pipe until the event loop runs).
  InstallTerminationSignalPipe();
  // Taken before the toolkit starts, so a second copy ends without a window or a word.
  InstanceLock lock;
  if (lock.acquire() == InstanceLock::Result::HeldElsewhere) return 0;

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Varnley"));
  SignalBridge signalBridge;

  Session session(SettingsPathFor(ExecutablePath()), StartedWithS(args));
  {
    PlaceholderWindow window(session);
    QObject::connect(&signalBridge, &SignalBridge::terminationRequested, &window,
                     [&window] { CloseForTermination(&window); });
    if (session.startedHidden())
      window.showMinimized();
    else
      window.show();
    app.exec();
  }
  // Nobody is left to see a box: a failed save is reported on stderr. The status stays 0,
  // as for every orderly end.
  const SaveResult saved = session.Destroy();
  if (!saved.ok) std::fprintf(stderr, "%s\n", saved.error.c_str());
  return 0;
}
