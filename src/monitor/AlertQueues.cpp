#include "monitor/AlertQueues.h"

#include <chrono>
#include <thread>
#include <utility>

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

bool addUnique(std::atomic<bool>& busy, std::vector<std::string>& entries,
               const std::string& text) {
  FlagHold hold(busy);
  if (!hold) return false;
  for (const auto& e : entries)
    if (EqualsIgnoreCase(e, text)) return true;
  entries.push_back(text);
  return true;
}

bool clear(std::atomic<bool>& busy, std::vector<std::string>& entries) {
  FlagHold hold(busy);
  if (!hold) return false;
  entries.clear();
  return true;
}

bool drain(std::atomic<bool>& busy, std::vector<std::string>& entries,
           std::vector<std::string>& out) {
  FlagHold hold(busy);
  if (!hold) return false;
  out = std::move(entries);
  entries.clear();
  return true;
}

std::vector<std::string> copy(std::atomic<bool>& busy, const std::vector<std::string>& entries) {
  FlagHold hold(busy);
  if (!hold) return {};
  return entries;
}

}  // namespace

bool AlertQueues::AddDownEntry(const std::string& text) {
  return addUnique(down_.busy, down_.entries, text);
}

bool AlertQueues::AddUpEntry(const std::string& text) {
  return addUnique(up_.busy, up_.entries, text);
}

void AlertQueues::AddEmailEntry(const std::string& text) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    {
      FlagHold hold(email_.busy);
      if (hold) {
        email_.entries.push_back(text);
        return;
      }
    }
    if (attempt == 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

bool AlertQueues::ClearDownQueue() { return clear(down_.busy, down_.entries); }
bool AlertQueues::ClearUpQueue() { return clear(up_.busy, up_.entries); }
bool AlertQueues::ClearEmailQueue() { return clear(email_.busy, email_.entries); }

bool AlertQueues::DrainDown(std::vector<std::string>& out) {
  return drain(down_.busy, down_.entries, out);
}

bool AlertQueues::DrainUp(std::vector<std::string>& out) { return drain(up_.busy, up_.entries, out); }

bool AlertQueues::TakeEmailEntry(std::string& out) {
  FlagHold hold(email_.busy);
  if (!hold || email_.entries.empty()) return false;
  out = std::move(email_.entries.front());
  email_.entries.erase(email_.entries.begin());
  return true;
}

std::vector<std::string> AlertQueues::downEntries() { return copy(down_.busy, down_.entries); }
std::vector<std::string> AlertQueues::upEntries() { return copy(up_.busy, up_.entries); }
std::vector<std::string> AlertQueues::emailEntries() { return copy(email_.busy, email_.entries); }

}  // namespace varnley
