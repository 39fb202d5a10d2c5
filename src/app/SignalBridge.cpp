#include "app/SignalBridge.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>

#include "platform/TerminationSignals.h"

namespace varnley {

SignalBridge::SignalBridge(QObject* parent) : QObject(parent) {
  fd_ = InstallTerminationSignalPipe();
  if (fd_ < 0) return;
  notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &SignalBridge::readSignals);
}

void SignalBridge::readSignals() {
  if (DrainTerminationSignalPipe(fd_)) Q_EMIT terminationRequested();
}

void CloseForTermination(QWidget* mainWindow) {
  // A box left open would keep its own loop, and so the program, running.
  for (int guard = 0; guard < 16; ++guard) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == mainWindow) break;
    modal->close();
    if (modal->isVisible()) modal->hide();
  }
  if (mainWindow) mainWindow->close();
  // A hidden window (started with "-s") closes without ending the loop by itself.
  QApplication::quit();
}

}  // namespace varnley
