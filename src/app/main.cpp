// Program entry: one instance per user, the main window, and the event loop until it closes.
#include <QApplication>
#include <string>
#include <vector>

#include "app/QtMessageBoxes.h"
#include "app/SignalBridge.h"
#include "app/TPortForm.h"
#include "monitor/Session.h"
#include "platform/InstanceLock.h"
#include "platform/Paths.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Varnley"));

  varnley::InstanceLock lock;
  if (lock.acquire() == varnley::InstanceLock::Result::HeldElsewhere) return 0;

  // The window may sit hidden in the tray while a box closes; only its own close ends the run.
  QApplication::setQuitOnLastWindowClosed(false);

  const std::vector<std::string> args(argv, argv + argc);
  varnley::QtMessageBoxes boxes;
  varnley::Session session(varnley::SettingsPathFor(varnley::ExecutablePath()),
                           varnley::StartedWithS(args));
  varnley::TPortForm form(session, boxes);
  varnley::SignalBridge bridge;
  QObject::connect(&bridge, &varnley::SignalBridge::terminationRequested, &form,
                   [&form] { varnley::CloseForTermination(&form); });
  QObject::connect(&form, &varnley::TPortForm::closed, &app, &QApplication::quit,
                   Qt::QueuedConnection);
  form.showAtStart();
  return app.exec();
}
