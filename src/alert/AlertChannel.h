// One way an alert reaches its admin (the mail, a webhook, a desktop notification): an alert
// in, an outcome out. When and how often to try again is the queue's business, not the
// channel's.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "alert/Alert.h"

namespace varnley {

class StopSource;

enum class Delivery {
  sent,
  retry,      // a failure that may pass: no connection, a timeout, SMTP 4xx, HTTP 408/429/5xx
  refused,    // a lasting refusal: trying again would only fail again
  cancelled,  // a stop request ended the try; it says nothing about the receiver
};

struct DeliveryOutcome {
  Delivery result = Delivery::sent;
  std::string reason;  // in the user's words, never holding a secret
  // How long the receiver asked to be left alone (HTTP Retry-After).
  std::optional<std::chrono::seconds> retryAfter;

  static DeliveryOutcome Sent() { return {}; }
  static DeliveryOutcome Retry(std::string why) { return {Delivery::retry, std::move(why), {}}; }
  static DeliveryOutcome Refused(std::string why) {
    return {Delivery::refused, std::move(why), {}};
  }
  static DeliveryOutcome Cancelled() { return {Delivery::cancelled, {}, {}}; }
};

class AlertChannel {
 public:
  virtual ~AlertChannel() = default;
  // "mail", "webhook1": how status lines and counters name it.
  virtual std::string Name() const = 0;
  // One try, on the channel's own thread; returns early once `stop` is requested.
  virtual DeliveryOutcome Deliver(const Alert& alert, StopSource& stop) = 0;
  // Called from another thread right after the stop request, for a wait that the stop
  // source cannot reach by itself.
  virtual void Interrupt() {}
};

}  // namespace varnley
