// The queue in front of one alert channel, with the retry timing every channel shares: what
// waits goes out together in one try, a failure that may pass is tried again on a fixed
// schedule for up to an hour, a lasting refusal is not. Driven by the caller's clock, so
// tests can step through an hour at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "alert/Alert.h"
#include "alert/AlertChannel.h"

namespace varnley {

struct RetrySchedule {
  // The waits after the first, second... failed try; then `every` until `limit` after the
  // first try has passed.
  std::vector<std::chrono::milliseconds> steps;
  std::chrono::milliseconds every{};
  std::chrono::milliseconds limit{};

  // 30 s, 1, 2, 5 and 10 minutes, then every 10 minutes, for an hour.
  static RetrySchedule Default();
};

// An alert not yet delivered, and when it was first tried (none: not yet).
struct PendingAlert {
  Alert alert;
  std::optional<WallTime> firstTry;
};

// Where undelivered alerts are kept, so that an alert pending when the program ends goes out
// after the next start. The queue's owner replaces the channel's whole list on each change.
class Outbox {
 public:
  virtual ~Outbox() = default;
  virtual void Keep(const std::string& channel, const std::vector<PendingAlert>& waiting) = 0;
  // What was kept for the channel, oldest first; the list is the caller's from then on.
  virtual std::vector<PendingAlert> Restore(const std::string& channel) = 0;
  // Alerts the channel gave up on: `expired` (their hour passed) or refused for good, for a
  // log of deliveries that never happened. Called on the channel's thread.
  virtual void GaveUp(const std::string& channel, const std::vector<Alert>& alerts, bool expired,
                      const std::string& reason) {
    (void)channel, (void)alerts, (void)expired, (void)reason;
  }
};

// Keeps the lists for the life of the process (a monitor stopped and started again).
class MemoryOutbox : public Outbox {
 public:
  void Keep(const std::string& channel, const std::vector<PendingAlert>& waiting) override;
  std::vector<PendingAlert> Restore(const std::string& channel) override;
  // Every channel's list, which are then no longer kept here.
  std::map<std::string, std::vector<PendingAlert>> TakeAll();

 private:
  std::mutex mutex_;
  std::map<std::string, std::vector<PendingAlert>> kept_;
};

class DeliveryQueue {
 public:
  // Alerts beyond this many waiting join the last one, so a channel that stays down costs
  // memory in proportion to the texts and nothing more.
  static constexpr std::size_t kLimit = 256;

  explicit DeliveryQueue(RetrySchedule schedule = RetrySchedule::Default());

  void Add(Alert alert);
  // Alerts kept from an earlier run. Those whose hour has passed by `now` are returned, not
  // queued.
  std::vector<Alert> Restore(std::vector<PendingAlert> kept, WallTime now);

  bool Empty() const { return pending_.empty(); }
  std::size_t Size() const { return pending_.size(); }
  // When the next try is due (now or earlier when nothing holds it back); none when empty or
  // a try is under way.
  std::optional<WallTime> NextTry() const;

  // Everything waiting, merged into one alert, when a try is due at `now`.
  std::optional<Alert> Take(WallTime now);

  struct Result {
    Delivery delivery = Delivery::sent;
    std::string reason;
    std::optional<WallTime> retryAt;  // when the batch goes out again
    std::string text;                 // the batch's text
    std::vector<Alert> expired;       // given up on: an hour has passed, or refused
  };
  // The outcome of the batch the last Take returned.
  Result Finish(const DeliveryOutcome& outcome, WallTime now);

  std::vector<PendingAlert> Snapshot() const;

 private:
  void dropFront(std::size_t count, std::vector<Alert>* into);

  RetrySchedule schedule_;
  std::deque<PendingAlert> pending_;
  std::size_t inFlight_ = 0;  // the first this many were handed out by Take
  bool trying_ = false;
  std::size_t failures_ = 0;  // failed tries of the batch at the front
  std::optional<WallTime> retryAt_;
};

}  // namespace varnley
