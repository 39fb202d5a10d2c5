#include "monitor/AlertQueues.h"

#include <thread>
#include <utility>

#include "platform/StopSource.h"
#include "platform/Text.h"

namespace varnley {

namespace {

// The busy flag as a try-lock: taking it and testing it is one atomic step, and the release
// publishes what was written under it to the next holder.
class FlagHold {
 public:
  explicit FlagHold(std::atomic<bool>& flag)
      : flag_(flag), held_(!flag.exchange(true, std::memory_order_acquire)) {}
  ~FlagHold() {
    if (held_) flag_.store(false, std::memory_order_release);
  }
  FlagHold(const FlagHold&) = delete;
  FlagHold& operator=(const FlagHold&) = delete;
  explicit operator bool() const { return held_; }

 private:
  std::atomic<bool>& flag_;
  bool held_;
};

}  // namespace

bool AlertQueues::addUnique(Queue& queue, const std::string& text) {
  FlagHold hold(queue.busy);
  if (!hold) return false;
  const auto [key, added] = queue.keys.insert(ToLowerAscii(text));
  if (!added) return true;
  try {
    queue.entries.push_back(text);
  } catch (...) {
    queue.keys.erase(key);  // keep the two in step, or the text could never be queued again
    throw;
  }
  return true;
}

bool AlertQueues::clear(Queue& queue) {
  FlagHold hold(queue.busy);
  if (!hold) return false;
  queue.entries.clear();
  queue.keys.clear();
  return true;
}

bool AlertQueues::drain(Queue& queue, std::vector<std::string>& out) {
  FlagHold hold(queue.busy);
  if (!hold) return false;
  out = std::move(queue.entries);
  queue.entries.clear();
  queue.keys.clear();
  return true;
}

namespace {

std::vector<std::string> copy(std::atomic<bool>& busy, const std::vector<std::string>& entries) {
  FlagHold hold(busy);
  if (!hold) return {};
  return entries;
}

}  // namespace

bool AlertQueues::AddDownEntry(const std::string& text) { return addUnique(down_, text); }
bool AlertQueues::AddUpEntry(const std::string& text) { return addUnique(up_, text); }

bool AlertQueues::AddEmailEntry(const std::string& text, const StopSource* stop) {
  for (;;) {
    {
      FlagHold hold(email_.busy);
      if (hold) {
        if (email_.entries.size() < kEmailQueueLimit) {
          email_.entries.push_back(text);
        } else {
          std::string& last = email_.entries.back();
          last += '\n';
          last += text;
        }
        return true;
      }
    }
    if (stop && stop->stopRequested()) return false;
    std::this_thread::yield();
  }
}

bool AlertQueues::ClearDownQueue() { return clear(down_); }
bool AlertQueues::ClearUpQueue() { return clear(up_); }
bool AlertQueues::ClearEmailQueue() { return clear(email_); }

bool AlertQueues::DrainDown(std::vector<std::string>& out) { return drain(down_, out); }
bool AlertQueues::DrainUp(std::vector<std::string>& out) { return drain(up_, out); }

// Every hold of a queue's flag is a few moves of strings, so the sender waits for it: giving up
// would leave a queued alert until the next interval, an hour with a long one.
namespace {
void AwaitFlag(std::atomic<bool>& flag) {
  while (flag.load(std::memory_order_relaxed)) std::this_thread::yield();
}
}  // namespace

bool AlertQueues::TakeEmailEntry(std::string& out) {
  for (;;) {
    AwaitFlag(email_.busy);
    FlagHold hold(email_.busy);
    if (!hold) continue;
    if (email_.entries.empty()) return false;
    out = std::move(email_.entries.front());
    email_.entries.erase(email_.entries.begin());
    return true;
  }
}

bool AlertQueues::TakeEmailEntries(std::vector<std::string>& out) {
  for (;;) {
    AwaitFlag(email_.busy);
    FlagHold hold(email_.busy);
    if (!hold) continue;
    for (std::string& entry : email_.entries) out.push_back(std::move(entry));
    email_.entries.clear();
    return true;
  }
}



std::vector<std::string> AlertQueues::downEntries() { return copy(down_.busy, down_.entries); }
std::vector<std::string> AlertQueues::upEntries() { return copy(up_.busy, up_.entries); }
std::vector<std::string> AlertQueues::emailEntries() { return copy(email_.busy, email_.entries); }

}  // namespace varnley
