#include "alert/DeliveryQueue.h"

#include <algorithm>
#include <utility>

namespace varnley {

using namespace std::chrono_literals;

RetrySchedule RetrySchedule::Default() { return {{30s, 1min, 2min, 5min, 10min}, 10min, 1h}; }

void MemoryOutbox::Keep(const std::string& channel, const std::vector<PendingAlert>& waiting) {
  std::lock_guard lock(mutex_);
  if (waiting.empty())
    kept_.erase(channel);
  else
    kept_[channel] = waiting;
}

std::vector<PendingAlert> MemoryOutbox::Restore(const std::string& channel) {
  std::lock_guard lock(mutex_);
  auto found = kept_.find(channel);
  if (found == kept_.end()) return {};
  std::vector<PendingAlert> kept = std::move(found->second);
  kept_.erase(found);
  return kept;
}

std::map<std::string, std::vector<PendingAlert>> MemoryOutbox::TakeAll() {
  std::lock_guard lock(mutex_);
  return std::exchange(kept_, {});
}

DeliveryQueue::DeliveryQueue(RetrySchedule schedule) : schedule_(std::move(schedule)) {}

void DeliveryQueue::Add(Alert alert) {
  // Only what is not out on a try may take more lines: the try's own batch is fixed.
  if (pending_.size() - inFlight_ >= kLimit) {
    MergeInto(pending_.back().alert, std::move(alert));
    return;
  }
  pending_.push_back({std::move(alert), std::nullopt});
}

std::vector<Alert> DeliveryQueue::Restore(std::vector<PendingAlert> kept, WallTime now) {
  std::vector<Alert> expired;
  for (PendingAlert& item : kept) {
    const WallTime start = item.firstTry.value_or(item.alert.time);
    if (now - start > schedule_.limit) {
      expired.push_back(std::move(item.alert));
      continue;
    }
    if (pending_.size() - inFlight_ >= kLimit) {
      MergeInto(pending_.back().alert, std::move(item.alert));
    } else {
      // Its hour counts from the first try of the earlier run.
      if (!item.firstTry) item.firstTry = item.alert.time;
      pending_.push_back(std::move(item));
    }
  }
  return expired;
}

std::optional<WallTime> DeliveryQueue::NextTry() const {
  if (pending_.empty() || trying_) return std::nullopt;
  if (retryAt_) return retryAt_;
  return WallTime::min();
}

std::optional<Alert> DeliveryQueue::Take(WallTime now) {
  const std::optional<WallTime> due = NextTry();
  if (!due || *due > now) return std::nullopt;
  trying_ = true;
  retryAt_.reset();
  inFlight_ = pending_.size();
  Alert batch = pending_.front().alert;
  for (std::size_t i = 0; i < inFlight_; ++i) {
    if (!pending_[i].firstTry) pending_[i].firstTry = now;
    if (i > 0) MergeInto(batch, pending_[i].alert);
  }
  return batch;
}

void DeliveryQueue::dropFront(std::size_t count, std::vector<Alert>* into) {
  for (std::size_t i = 0; i < count; ++i) {
    if (into) into->push_back(std::move(pending_.front().alert));
    pending_.pop_front();
  }
  inFlight_ -= count;
}

DeliveryQueue::Result DeliveryQueue::Finish(const DeliveryOutcome& outcome, WallTime now) {
  Result result;
  result.delivery = outcome.result;
  result.reason = outcome.reason;
  if (!trying_) return result;
  trying_ = false;
  for (std::size_t i = 0; i < inFlight_; ++i) {
    if (i > 0) result.text += '\n';
    result.text += pending_[i].alert.text;
  }
  switch (outcome.result) {
    case Delivery::sent:
      dropFront(inFlight_, nullptr);
      failures_ = 0;
      break;
    case Delivery::refused:
      dropFront(inFlight_, &result.expired);
      failures_ = 0;
      break;
    case Delivery::cancelled:
      // Tried again on the next start, as if this try had not begun.
      inFlight_ = 0;
      break;
    case Delivery::retry: {
      const std::chrono::milliseconds wait =
          outcome.retryAfter                   ? std::chrono::milliseconds(*outcome.retryAfter)
          : failures_ < schedule_.steps.size() ? schedule_.steps[failures_]
                                               : schedule_.every;
      ++failures_;
      const WallTime next = now + wait;
      // The batch is tried again only for those whose hour is not over by then.
      std::size_t expired = 0;
      while (expired < inFlight_ && next - *pending_[expired].firstTry > schedule_.limit) ++expired;
      dropFront(expired, &result.expired);
      if (inFlight_ > 0) {
        retryAt_ = next;
        result.retryAt = next;
      } else {
        failures_ = 0;
      }
      inFlight_ = 0;
      break;
    }
  }
  return result;
}

std::vector<PendingAlert> DeliveryQueue::Snapshot() const {
  return {pending_.begin(), pending_.end()};
}

}  // namespace varnley
