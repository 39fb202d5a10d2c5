// Program entry: the windowless run when asked for; else the single-instance rule, the run's
// session, the main window, and the orderly end (monitoring stopped, hosts saved) however the
// window goes away.
#include <QApplication>
#include <iostream>
#include <string>
#include <vector>

#include "app/QtMessageBoxes.h"
#include "app/ShowRequestBridge.h"
#include "app/SignalBridge.h"
#include "app/StatusBarDiagnostics.h"
#include "app/TPortForm.h"
#include "platform/Diagnostics.h"
#include "platform/InstanceLock.h"
#include "platform/Paths.h"
#include "platform/ServiceEnvironment.h"
#include "platform/ShowRequest.h"
#include "platform/TerminationSignals.h"
#include "service/CommandLine.h"
#include "service/HeadlessRunner.h"
#include "service/HostListCommand.h"
#include "service/SessionAssembly.h"

int main(int argc, char** argv) {
  using namespace varnley;
  // Read before the toolkit sees them: it removes the options it knows from argv.
  const ParsedCommandLine parsed = ParseCommandLine(std::vector<std::string>(argv, argv + argc));
  if (const auto status = AnswerWithoutRunning(parsed, std::cout, std::cerr)) return *status;
  if (const auto status = RunHostListCommandIfAsked(parsed.line)) return *status;
  const CommandLine& line = parsed.line;
  // Chosen before any Qt object exists: the windowless run needs no display at all.
  if (line.headless) return RunHeadless(line);
  // Without a display the toolkit would abort with a core dump.
  if (!DisplayAvailable()) {
    std::cerr << "Varnley: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are "
                 "unset); run \"varnley --headless\" to monitor without windows.\n";
    return 1;
  }

  // Installed before the lock is taken: once another process can see this one, a signal
  // already takes the orderly way out (it waits in the pipe until the event loop runs).
  InstallTerminationSignalPipe();
  // Taken before the toolkit starts, so a second copy ends without a window of its own.
  InstanceLock lock;
  ShowRequestListener showRequests;
  switch (lock.acquire()) {
    case InstanceLock::Result::HeldElsewhere:
      // A window hidden in the tray would leave the user with no sign of the start at all.
      if (const Status asked = RequestShow(); !asked)
        std::cerr << "Varnley: already running; its window could not be shown (" << asked.reason
                  << ")\n";
      return 0;
    case InstanceLock::Result::Unavailable:
      std::cerr << "Varnley: running without the single-instance lock (" << lock.reason() << ")\n";
      break;
    case InstanceLock::Result::Acquired:
      // Listening before the window exists: a second start meanwhile waits in the queue.
      if (const Status listening = showRequests.Listen(); !listening)
        std::cerr << "Varnley: a second start cannot show this window (" << listening.reason
                  << ")\n";
      break;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Varnley"));
  // The window may sit hidden in the tray while a box closes; only its own close ends the run.
  QApplication::setQuitOnLastWindowClosed(false);
  SignalBridge signalBridge;

  QtMessageBoxes boxes;
  // Before the session, so it outlives every engine part that reports to it.
  StatusBarDiagnostics diagnostics;
  const std::string settingsPath = SettingsPathFromOption(line.configFile, ExecutablePath());
  // Held so that "--import" and "--export" know the window has this file; a windowless copy on
  // the same file keeps running as before, only said.
  InstanceLock fileLock(InstanceLock::PathForSettings(settingsPath));
  if (fileLock.acquire() == InstanceLock::Result::HeldElsewhere)
    std::cerr << "Varnley: a windowless copy also runs on " << settingsPath
              << "; whichever ends last writes its hosts\n";
  SessionAssembly run(settingsPath, line.startHidden, diagnostics);
  Session& session = run.session();
  {
    // Creating the form loads the settings (and starts monitoring with "-s"); closing it stops
    // monitoring and saves the hosts, a failed save reported on stderr.
    TPortForm form(session, boxes, nullptr, &run.outbox());
    form.watchMailStatus(run.mail());
    form.watchDiagnostics(diagnostics);
    // The form's Create opened the history the settings name; the window offers no way to
    // change that key.
    run.ListenForMetrics();
    QObject::connect(&signalBridge, &SignalBridge::terminationRequested, &form,
                     [&form] { CloseForTermination(&form); });
    QObject::connect(&form, &TPortForm::closed, &app, &QApplication::quit, Qt::QueuedConnection);
    ShowRequestBridge showBridge(showRequests);
    QObject::connect(&showBridge, &ShowRequestBridge::showRequested, &form,
                     &TPortForm::BringToFront);
    form.showAtStart();
    app.exec();
  }
  // Hosts that did not reach the file are lost: an orderly end, but not a successful one.
  const SaveResult& saved = session.finalSave();
  if (!saved.ok) {
    if (!saved.reason.empty()) std::cerr << "Varnley: " << saved.reason << '\n';
    return 1;
  }
  return 0;
}
