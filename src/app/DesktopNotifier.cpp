#include "app/DesktopNotifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QStringList>
#include <QVariantMap>

#include "alert/AlertMail.h"

namespace varnley {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

}  // namespace

DesktopNotifier::DesktopNotifier(Balloon balloon, QDBusConnection bus, QObject* parent)
    : QObject(parent), balloon_(std::move(balloon)), bus_(std::move(bus)) {
  // Matched on any sender: tracking which connection owns the service's name would drop a
  // signal that arrives before the owner is known.
  if (bus_.isConnected())
    bus_.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(notificationClosed(uint, uint)));
}

bool DesktopNotifier::serviceThere() {
  if (!bus_.isConnected() || !bus_.interface()) return false;
  if (bus_.interface()->isServiceRegistered(kService)) return true;
  // A desktop may start its notification service on the first call.
  const QDBusReply<QStringList> activatable =
      bus_.interface()->call(QStringLiteral("ListActivatableNames"));
  return activatable.isValid() && activatable.value().contains(kService);
}

void DesktopNotifier::balloon(const Alert& alert, bool critical) {
  if (balloon_)
    balloon_(QString::fromLatin1(kApplicationTitle), QString::fromStdString(alert.text), critical);
}

void DesktopNotifier::Show(const Alert& alert) {
  const bool critical = alert.event != AlertEvent::up;
  if (!serviceThere()) {
    balloon(alert, critical);
    return;
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(critical ? 2 : 1));
  const uint replaces = critical ? shownDownId_ : 0;
  call << QString::fromLatin1(kApplicationTitle) << replaces << QStringLiteral("varnley")
       << QString::fromLatin1(kApplicationTitle) << QString::fromStdString(alert.text)
       << QStringList() << hints << -1;
  // The answer is awaited by the event loop, never by the dispatch.
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  ++pending_;
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, watcher, alert, critical](QDBusPendingCallWatcher*) {
            const QDBusPendingReply<uint> reply = *watcher;
            watcher->deleteLater();
            --pending_;
            if (reply.isError()) {
              balloon(alert, critical);
              return;
            }
            if (critical) shownDownId_ = reply.value();
          });
}

void DesktopNotifier::notificationClosed(uint id, uint) {
  if (id == shownDownId_) shownDownId_ = 0;
}

}  // namespace varnley
