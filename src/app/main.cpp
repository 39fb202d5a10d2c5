// Program entry: the single-instance rule, the run's session, the main window, and the
// orderly end (monitoring stopped, hosts saved) however the window goes away.
#include <QApplication>
#include <string>
#include <vector>

#include "alert/MailStatus.h"
#include "alert/TEmailThread.h"
#include "app/QtMessageBoxes.h"
#include "app/SignalBridge.h"
#include "app/TPortForm.h"
#include "monitor/Session.h"
#include "platform/InstanceLock.h"
#include "platform/Paths.h"
#include "platform/TerminationSignals.h"

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
  // The window may sit hidden in the tray while a box closes; only its own close ends the run.
  QApplication::setQuitOnLastWindowClosed(false);
  SignalBridge signalBridge;

  QtMessageBoxes boxes;
  MailStatus mailStatus;
  Session session(SettingsPathFor(ExecutablePath()), StartedWithS(args));
  session.monitor().SetEmailWorkerFactory(TEmailThread::Factory(&mailStatus));
  {
    // Creating the form loads the settings (and starts monitoring with "-s"); closing it stops
    // monitoring and saves the hosts, a failed save reported on stderr. The status stays 0,
    // as for every orderly end.
    TPortForm form(session, boxes);
    form.watchMailStatus(mailStatus);
    QObject::connect(&signalBridge, &SignalBridge::terminationRequested, &form,
                     [&form] { CloseForTermination(&form); });
    QObject::connect(&form, &TPortForm::closed, &app, &QApplication::quit, Qt::QueuedConnection);
    form.showAtStart();
    app.exec();
  }
  return 0;
}
