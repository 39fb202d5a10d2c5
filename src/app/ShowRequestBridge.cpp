#include "app/ShowRequestBridge.h"

#include <QSocketNotifier>

#include "platform/ShowRequest.h"

namespace varnley {

ShowRequestBridge::ShowRequestBridge(ShowRequestListener& listener, QObject* parent)
    : QObject(parent), listener_(listener) {
  if (listener_.descriptor() < 0) return;
  notifier_ = new QSocketNotifier(listener_.descriptor(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &ShowRequestBridge::takeRequests);
}

void ShowRequestBridge::takeRequests() {
  if (listener_.TakeRequests()) Q_EMIT showRequested();
}

}  // namespace varnley
