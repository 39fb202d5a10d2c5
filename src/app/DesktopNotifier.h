// Alerts as desktop notifications through the freedesktop notification service on the session
// bus: DOWN (and its reminders) with critical urgency, each new one replacing the last DOWN
// still shown, UP with normal urgency. Without the service, the tray's message balloon; the
// call never waits on the bus.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>

#include "alert/Alert.h"

namespace varnley {

class DesktopNotifier : public QObject {
  Q_OBJECT

 public:
  // (title, text, critical): the tray icon's showMessage; empty when there is no tray.
  using Balloon = std::function<void(const QString& title, const QString& text, bool critical)>;

  explicit DesktopNotifier(Balloon balloon = {},
                           QDBusConnection bus = QDBusConnection::sessionBus(),
                           QObject* parent = nullptr);

  // From the GUI thread, for each alert of the fan-out.
  void Show(const Alert& alert);

  // The id of the DOWN notification a new one would replace (0: none shown).
  uint shownDownId() const { return shownDownId_; }
  // Notify calls whose answer has not come back yet.
  int pendingCalls() const { return pending_; }

 private Q_SLOTS:
  void notificationClosed(uint id, uint reason);

 private:
  bool serviceThere();
  void balloon(const Alert& alert, bool critical);

  Balloon balloon_;
  QDBusConnection bus_;
  uint shownDownId_ = 0;
  int pending_ = 0;
};

}  // namespace varnley
