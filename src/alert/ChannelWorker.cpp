#include "alert/ChannelWorker.h"

#include <algorithm>
#include <utility>

#include "alert/MailStatus.h"

namespace varnley {

ChannelWorker::ChannelWorker(std::unique_ptr<AlertChannel> channel, MailStatus* status,
                             ChannelOptions options, NoThread)
    : channel_(std::move(channel)),
      name_(channel_->Name()),
      status_(status),
      options_(std::move(options)),
      queue_(options_.schedule) {
  if (!options_.outbox) return;
  const WallTime now = options_.clock();
  std::vector<Alert> expired = queue_.Restore(options_.outbox->Restore(name_), now);
  keep();
  // What waited too long across the restart is named, never dropped in silence.
  for (const Alert& alert : expired) {
    const std::string reason = "expired, not delivered within an hour (raised at " +
                               LocalClockText(alert.time, !SameLocalDay(alert.time, now)) + ")";
    options_.outbox->GaveUp(name_, {alert}, true, reason);
    if (status_) status_->Report({false, reason, now}, alert.text);
  }
}

ChannelWorker::ChannelWorker(std::unique_ptr<AlertChannel> channel, MailStatus* status,
                             ChannelOptions options)
    : ChannelWorker(std::move(channel), status, std::move(options), NoThread{}) {
  thread_ = std::thread([this] { run(); });
}

ChannelWorker::~ChannelWorker() {
  requestStop();
  join();
}

void ChannelWorker::Send(Alert alert) {
  std::lock_guard lock(mutex_);
  queue_.Add(std::move(alert));
  keep();
  added_ = true;
  wake_.notify_one();
}

void ChannelWorker::requestStop() {
  stop_.requestStop();
  {
    std::lock_guard lock(mutex_);
    wake_.notify_one();
  }
  channel_->Interrupt();
}

void ChannelWorker::join() {
  if (thread_.joinable()) thread_.join();
}

std::size_t ChannelWorker::Pending() {
  std::lock_guard lock(mutex_);
  return queue_.Size();
}

void ChannelWorker::keep() {
  if (options_.outbox) options_.outbox->Keep(name_, queue_.Snapshot());
}

bool ChannelWorker::runPass() {
  std::optional<Alert> batch;
  {
    std::unique_lock lock(mutex_);
    if (options_.feed) {
      const bool waiting = !queue_.Empty();
      lock.unlock();
      std::vector<Alert> fed = options_.feed(waiting);
      lock.lock();
      for (Alert& alert : fed) queue_.Add(std::move(alert));
      if (!fed.empty()) keep();
    }
    added_ = false;
    batch = queue_.Take(options_.clock());
  }
  if (!batch) return false;
  DeliveryOutcome outcome = channel_->Deliver(*batch, stop_);
  // A try cut short by Stop says nothing about the receiver: it stays pending.
  if (stop_.stopRequested() && outcome.result != Delivery::sent)
    outcome = DeliveryOutcome::Cancelled();
  const WallTime now = options_.clock();
  DeliveryQueue::Result result;
  {
    std::lock_guard lock(mutex_);
    result = queue_.Finish(outcome, now);
    keep();
  }
  report(result, now);
  return result.delivery == Delivery::sent;
}

void ChannelWorker::report(const DeliveryQueue::Result& result, WallTime now) {
  if (result.delivery == Delivery::cancelled) return;
  if (result.delivery == Delivery::sent) {
    if (status_) status_->Report({true, "", now}, result.text);
    return;
  }
  if (result.retryAt && status_) {
    status_->Report({false, result.reason, now, result.retryAt}, result.text);
  }
  if (!result.expired.empty()) {
    std::string text;
    for (const Alert& alert : result.expired) {
      if (!text.empty()) text += '\n';
      text += alert.text;
    }
    std::string reason = result.reason;
    const bool expired = result.delivery == Delivery::retry;
    if (expired) reason += " (given up: not delivered within an hour)";
    if (options_.outbox) options_.outbox->GaveUp(name_, result.expired, expired, reason);
    if (status_) status_->Report({false, std::move(reason), now}, text);
  }
}

void ChannelWorker::run() {
  while (!stop_.stopRequested()) {
    runPass();
    std::unique_lock lock(mutex_);
    // The queue's clock may be anyone's; the wait itself is real time, cut to the poll period
    // so that a clock that jumps costs at most one period.
    std::chrono::milliseconds wait = options_.pollPeriod;
    if (const std::optional<WallTime> next = queue_.NextTry()) {
      const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(
          *next == WallTime::min() ? WallTime::duration::zero() : *next - options_.clock());
      wait = std::clamp(until, std::chrono::milliseconds(0), wait);
    }
    wake_.wait_for(lock, wait, [this] { return added_ || stop_.stopRequested(); });
  }
}

}  // namespace varnley
