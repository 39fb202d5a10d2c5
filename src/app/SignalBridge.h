// Termination signals delivered to the event loop: SIGTERM, SIGINT and SIGHUP end the program
// the way closing its window does.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace varnley {

class SignalBridge : public QObject {
  Q_OBJECT
 public:
  // Installs the signal handlers; a signal that arrives before the event loop runs is kept
  // and reported once it does.
  explicit SignalBridge(QObject* parent = nullptr);
  bool installed() const { return fd_ >= 0; }

 Q_SIGNALS:
  void terminationRequested();

 private:
  void readSignals();

  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
};

// Closes the open modal boxes, then the main window, then leaves the event loop: the same
// path as the user's Exit, so monitoring stops and the hosts are saved after it returns.
void CloseForTermination(class QWidget* mainWindow);

}  // namespace varnley
