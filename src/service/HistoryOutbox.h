// The outbox the window and the windowless run keep their channels' undelivered alerts in:
// in memory always, and in the history file's outbox once a history writer is attached, so
// that what was pending when the program ended goes out after the next start. The file is
// written on the writer's thread, never on the caller's; when it cannot be written the lists
// stay in memory and the writer says so.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "alert/DeliveryQueue.h"

namespace varnley {

class HistoryWriter;

class HistoryOutbox : public Outbox {
 public:
  explicit HistoryOutbox(std::function<WallTime()> clock = [] { return WallClock::now(); });

  // From now on every list is also written to the writer's file, and what the file kept from
  // the earlier run is what a channel restores first (each line marked with the time it was
  // raised, since it goes out late). The writer must outlive the attachment.
  void Attach(HistoryWriter& writer);
  // Before the writer goes; lists kept afterwards stay in memory.
  void Detach();

  void Keep(const std::string& channel, const std::vector<PendingAlert>& waiting) override;
  std::vector<PendingAlert> Restore(const std::string& channel) override;
  void GaveUp(const std::string& channel, const std::vector<Alert>& alerts, bool expired,
              const std::string& reason) override;

 private:
  std::function<WallTime()> clock_;
  std::mutex mutex_;
  HistoryWriter* writer_ = nullptr;
  MemoryOutbox memory_;                                       // this run's lists
  std::map<std::string, std::vector<PendingAlert>> earlier_;  // the file's, not yet restored
};

}  // namespace varnley
