// Requests from a second start, delivered to the event loop: "show your window".
#pragma once

#include <QObject>

class QSocketNotifier;

namespace varnley {

class ShowRequestListener;

class ShowRequestBridge : public QObject {
  Q_OBJECT
 public:
  // Watches a listener that listens already; the listener outlives the bridge.
  explicit ShowRequestBridge(ShowRequestListener& listener, QObject* parent = nullptr);

 Q_SIGNALS:
  // Once for each batch of requests that arrived together.
  void showRequested();

 private:
  void takeRequests();

  ShowRequestListener& listener_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace varnley
